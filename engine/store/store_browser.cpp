// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/store_browser.h"

namespace engine::store {

ScanStore& StoreBrowser::NewStore() {
  m_store = std::make_unique<ScanStore>();
  m_store->SetSearchCallback(m_searchFn, m_searchUserData);
  return *m_store;
}

Status StoreBrowser::KeyOf(const ItemRecord* folder, int32_t depth, uint64_t* key) {
  if (depth < 0 || (folder == nullptr && depth != 0)) return kStatusInvalidParameter;
  if (!m_store || !m_store->IsOpen()) return kStatusInvalidParameter;
  if (Status s = m_store->FlushStore(); s != kStatusOk) return s;
  *key =
      folder == nullptr ? m_rootKey : FolderKey(static_cast<uint32_t>(depth), static_cast<uint32_t>(folder->locator));
  return kStatusOk;
}

Status StoreBrowser::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  uint64_t key = 0;
  if (Status s = KeyOf(folder, depth, &key); s != kStatusOk) return s;
  return m_store->ListChildren(key, out);
}

Status StoreBrowser::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  if (outCount == nullptr) return kStatusInvalidParameter;
  *outCount = 0;
  uint64_t key = 0;
  if (Status s = KeyOf(folder, depth, &key); s != kStatusOk) return s;
  return m_store->CountFiles(key, outCount);
}

uint64_t StoreBrowser::GetItemCount() const {
  return m_store && m_store->IsOpen() ? static_cast<uint64_t>(m_store->RecordCount()) : 0;
}

Status StoreBrowser::GetItemPath(const ItemRecord* item, std::string& out) {
  out.clear();
  if (item == nullptr || !m_store || !m_store->IsOpen()) return kStatusInvalidParameter;
  if (Status s = m_store->FlushStore(); s != kStatusOk) return s;
  return m_store->GetItemPath(*item, out);
}

Status StoreBrowser::SetSearchCallback(SearchProgressFn fn, void* userData) {
  m_searchFn = fn;
  m_searchUserData = userData;
  if (m_store) m_store->SetSearchCallback(fn, userData);
  return kStatusOk;
}

int32_t StoreBrowser::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  if (!m_store || !m_store->IsOpen()) return 0;
  return m_store->Search(pattern, out);
}

}  // namespace engine::store
