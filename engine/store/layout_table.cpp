// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/layout_table.h"

#include "engine/byte_view.h"

namespace engine::store {
namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

void LayoutTable::Set(int32_t id, std::vector<DataExtent> extents) {
  if (extents.size() > kMaxExtents) return;
  m_layouts[id] = std::move(extents);
  m_unwritten.push_back(id);
}

const std::vector<DataExtent>* LayoutTable::Find(int32_t id) const {
  auto it = m_layouts.find(id);
  return it == m_layouts.end() ? nullptr : &it->second;
}

void LayoutTable::Clear() {
  m_layouts.clear();
  m_unwritten.clear();
}

std::vector<uint8_t> LayoutTable::TakeUnwritten() {
  std::vector<uint8_t> out;
  for (int32_t id : m_unwritten) {
    const std::vector<DataExtent>* extents = Find(id);
    if (extents == nullptr) continue;
    Put32(out, static_cast<uint32_t>(id));
    Put32(out, static_cast<uint32_t>(extents->size()));
    for (const DataExtent& e : *extents) {
      Put64(out, e.first);
      Put64(out, e.count);
    }
  }
  m_unwritten.clear();
  return out;
}

void LayoutTable::LoadFrom(const uint8_t* bytes, size_t byteCount) {
  Clear();
  const ByteView view(bytes, bytes == nullptr ? 0 : byteCount);
  size_t at = 0;
  while (view.Has(at, kHeaderBytes)) {
    const auto id = static_cast<int32_t>(view.U32(at));
    const uint32_t count = view.U32(at + 4);
    if (count > kMaxExtents || !view.Has(at + kHeaderBytes, size_t{count} * kExtentBytes)) break;
    std::vector<DataExtent> extents(count);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t e = at + kHeaderBytes + size_t{i} * kExtentBytes;
      extents[i] = DataExtent{view.U64(e), view.U64(e + 8)};
    }
    m_layouts[id] = std::move(extents);
    at += kHeaderBytes + size_t{count} * kExtentBytes;
  }
}

}  // namespace engine::store
