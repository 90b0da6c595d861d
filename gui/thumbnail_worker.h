// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QPixmap>
#include <QThreadPool>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/thumbnail_queue.h"
#include "app/thumbnail_source.h"
#include "jobs/scan_source.h"

namespace gui {

// Makes the thumbnails of found pictures and videos off the window thread
// (one thread reads the files through their engines, one per core decodes
// and shrinks them) and keeps them for the scan session: compressed, every one made so far,
// and the latest few hundred ready to draw. The window says which items it
// wants (Want: the rows on screen, then the next screen); what it no longer
// wants is dropped, and an item being made is given up (its copy stopped,
// its helper ended). A new scan (NewSession) drops every thumbnail; before
// a job or a listing uses a source, the window holds the worker (Queue(),
// app::CThumbnailHold), so the thread never uses an engine at the same time.
// Window thread only, except the thread itself.
class CThumbnailWorker final : public QObject {
  Q_OBJECT

 public:
  // Thumbnails fit a square of this many pixels (times the screen's scale).
  static constexpr int kThumbnailSide = 128;

  explicit CThumbnailWorker(app::ThumbnailTools tools, QObject* parent = nullptr);
  ~CThumbnailWorker() override;

  // Forgets every thumbnail and request (a new scan, or the views emptied):
  // the thread holds no found item afterwards.
  void NewSession();
  // Wants the thumbnails of items, most wanted first; the ones made, or
  // that cannot be made, are left out.
  void Want(const std::vector<jobs::FoundItem>& items);
  // The thumbnail of item, with the mark of a damaged, overwritten or reassembled file;
  // null when there is none (yet).
  QPixmap Thumbnail(const engine::ItemRecord& item);
  // Whether item gets a thumbnail at all (a picture the window reads, or a video).
  bool HasThumbnailKind(const engine::ItemRecord& item) const;
  // Thumbnails made in this session so far.
  size_t MadeCount() const { return m_made.size(); }
  app::CThumbnailQueue& Queue() { return m_queue; }

 signals:
  // A thumbnail became ready (window thread).
  void Ready(quint64 key);

 private:
  void Run();
  // Bounds the pictures read and waiting for a decoder; false when stopping.
  bool AcquireDecodeSlot();
  void ReleaseDecodeSlot();
  static QByteArray Compress(const QImage& image);
  void OnMade(quint64 session, quint64 key, const QByteArray& bytes, const QImage& image);
  // Keeps image ready to draw (the latest few hundred).
  QPixmap Remember(uint64_t key, const QImage& image);
  void OnFailed(quint64 session, quint64 key);
  QImage Decode(const std::string& bytes, app::ThumbnailKind kind) const;

  app::ThumbnailTools m_tools;
  std::set<QByteArray> m_readable;  // the picture formats the window reads, lower case
  int m_side = kThumbnailSide;      // in device pixels
  app::CThumbnailQueue m_queue;
  std::atomic<uint64_t> m_session{1};
  // Window thread: every thumbnail made (compressed) and the ones that cannot be made.
  std::unordered_map<uint64_t, QByteArray> m_made;
  std::set<uint64_t> m_failed;
  // The latest thumbnails ready to draw, newest first.
  std::list<std::pair<uint64_t, QPixmap>> m_drawn;
  std::unordered_map<uint64_t, std::list<std::pair<uint64_t, QPixmap>>::iterator> m_drawnIndex;
  QThreadPool m_decoders;  // decodes and shrinks the pictures read
  std::mutex m_slotMutex;
  std::condition_variable m_slotFree;
  int m_decoding = 0;  // pictures read and not yet decoded
  int m_maxDecoding = 2;
  bool m_stopping = false;
  std::thread m_thread;  // reads through the engines, one file at a time
};

}  // namespace gui
