// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/thumbnail_queue.h"

namespace app {

void CThumbnailQueue::Want(std::vector<ThumbnailRequest> requests) {
  std::deque<ThumbnailRequest> dropped;  // released outside the lock
  {
    std::lock_guard lock(m_mutex);
    dropped.swap(m_pending);
    m_wanted.clear();
    m_askedAgain.clear();
    for (ThumbnailRequest& r : requests) {
      if (!m_wanted.insert(r.key).second) continue;
      // The item in hand stays wanted when it is asked for again: it is queued
      // again only when the worker gives it up (Done).
      if (m_inHand && r.key == m_inHandKey) {
        m_askedAgain.push_back(std::move(r));
        continue;
      }
      m_pending.push_back(std::move(r));
    }
  }
  m_changed.notify_all();
}

size_t CThumbnailQueue::Pending() const {
  std::lock_guard lock(m_mutex);
  return m_pending.size();
}

bool CThumbnailQueue::Take(ThumbnailRequest* out) {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [this] { return m_stopped || (m_holds == 0 && !m_pending.empty()); });
  if (m_stopped) return false;
  *out = std::move(m_pending.front());
  m_pending.pop_front();
  m_inHand = true;
  m_inHandKey = out->key;
  return true;
}

void CThumbnailQueue::Done(bool made) {
  std::vector<ThumbnailRequest> dropped;  // released outside the lock
  {
    std::lock_guard lock(m_mutex);
    m_inHand = false;
    if (!made && !m_askedAgain.empty() && !m_stopped) {
      m_pending.push_front(std::move(m_askedAgain.front()));
    } else {
      m_wanted.erase(m_inHandKey);
    }
    dropped.swap(m_askedAgain);
  }
  m_changed.notify_all();
}

bool CThumbnailQueue::StillWanted(uint64_t key) const {
  std::lock_guard lock(m_mutex);
  return !m_stopped && m_holds == 0 && m_wanted.count(key) != 0;
}

void CThumbnailQueue::Hold() {
  std::unique_lock lock(m_mutex);
  ++m_holds;
  m_changed.wait(lock, [this] { return !m_inHand; });
}

void CThumbnailQueue::Release() {
  {
    std::lock_guard lock(m_mutex);
    if (m_holds > 0) --m_holds;
  }
  m_changed.notify_all();
}

void CThumbnailQueue::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_pending.clear();
    m_wanted.clear();
    m_askedAgain.clear();
  }
  m_changed.notify_all();
}

}  // namespace app
