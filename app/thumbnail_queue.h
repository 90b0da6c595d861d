// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include "jobs/scan_source.h"

namespace app {

// One thumbnail to make: the found file, its key (CheckedKey: unique in a
// scan session) and the session it belongs to (results of an older session
// are dropped by the window).
struct ThumbnailRequest {
  uint64_t key = 0;
  uint64_t session = 0;
  jobs::FoundItem item;
};

// The thumbnails the grid wants, between the window thread and the worker
// that makes them. The window says what it wants now (the rows on screen
// first, then the next screen); whatever it no longer wants is dropped at
// once, and the worker learns through StillWanted that the item in its
// hands can be given up. Hold pauses the worker and waits until it holds
// no item (so no engine is in use and no found item of the session is
// kept): before any job or listing uses a source, and before a new scan.
// Thread-safe; one worker takes from it.
class CThumbnailQueue {
 public:
  // Window thread: replaces what is wanted, most wanted first (repeated keys
  // count once).
  void Want(std::vector<ThumbnailRequest> requests);
  void Clear() { Want({}); }
  size_t Pending() const;

  // Worker: waits for the next request and takes it in hand; false once
  // Stop was called.
  bool Take(ThumbnailRequest* out);
  // Worker: the item in hand is done with; made says whether its thumbnail
  // was made (or cannot be made). When it was given up while the window
  // asked for it again, it is queued again, first.
  void Done(bool made);
  // Worker, while making key: false when the window no longer wants it, or
  // holds the worker.
  bool StillWanted(uint64_t key) const;

  // Pauses the worker after its current item (it is asked to give it up)
  // and waits until it holds nothing. Holds nest; each needs its Release.
  void Hold();
  void Release();
  // Ends Take for good (the worker leaves).
  void Stop();

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<ThumbnailRequest> m_pending;
  std::set<uint64_t> m_wanted;
  bool m_inHand = false;
  uint64_t m_inHandKey = 0;
  std::vector<ThumbnailRequest> m_askedAgain;  // the item in hand, asked for again meanwhile
  int m_holds = 0;
  bool m_stopped = false;
};

// Holds a queue's worker for a scope (see CThumbnailQueue::Hold).
class CThumbnailHold {
 public:
  explicit CThumbnailHold(CThumbnailQueue& queue) : m_queue(queue) { m_queue.Hold(); }
  ~CThumbnailHold() { m_queue.Release(); }
  CThumbnailHold(const CThumbnailHold&) = delete;
  CThumbnailHold& operator=(const CThumbnailHold&) = delete;

 private:
  CThumbnailQueue& m_queue;
};

}  // namespace app
