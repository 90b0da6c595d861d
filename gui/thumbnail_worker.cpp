// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/thumbnail_worker.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QThread>

#include "app/main_window_model.h"
#include "app/result_table.h"
#include "gui/icons.h"
#include "jobs/data_folder_guard.h"
#include "platform/folders.h"

namespace gui {
namespace {

// Thumbnails kept ready to draw; the others are decoded again from their
// compressed copy when they scroll back into view.
constexpr size_t kDrawnCapacity = 600;
constexpr int kJpegQuality = 85;

}  // namespace

CThumbnailWorker::CThumbnailWorker(app::ThumbnailTools tools, QObject* parent)
    : QObject(parent), m_tools(std::move(tools)) {
  for (const QByteArray& format : QImageReader::supportedImageFormats()) m_readable.insert(format.toLower());
  // The formats' usual other names.
  if (m_readable.count("jpeg")) m_readable.insert({"jpg", "jpe", "jfif"});
  if (m_readable.count("tiff")) m_readable.insert("tif");
  m_readable.erase("svg");  // drawings, not photos: a found SVG is a text file to read as text
  m_readable.erase("svgz");
  const qreal scale = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
  m_side = static_cast<int>(kThumbnailSide * std::max<qreal>(1.0, scale));
  // Decoding is most of the work: decoders beside the thread that reads the next file.
  // One core stays free for the window, so scrolling stays smooth while they work.
  m_decoders.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
  m_maxDecoding = 2 * m_decoders.maxThreadCount();
  m_thread = std::thread([this] { Run(); });
}

CThumbnailWorker::~CThumbnailWorker() {
  m_queue.Stop();
  {
    std::lock_guard lock(m_slotMutex);
    m_stopping = true;
  }
  m_slotFree.notify_all();
  if (m_thread.joinable()) m_thread.join();
  m_decoders.waitForDone();  // their calls to this window are dropped with it
}

void CThumbnailWorker::NewSession() {
  {
    app::CThumbnailHold hold(m_queue);  // the item in hand is given up and dropped
    m_queue.Clear();
    m_session.fetch_add(1);
  }
  m_made.clear();
  m_failed.clear();
  m_drawn.clear();
  m_drawnIndex.clear();
}

bool CThumbnailWorker::HasThumbnailKind(const engine::ItemRecord& item) const {
  return app::ThumbnailKindOf(item, m_tools, [this](std::string_view extension) {
           return m_readable.count(QByteArray(extension.data(), static_cast<qsizetype>(extension.size()))) != 0;
         }) != app::ThumbnailKind::kNone;
}

void CThumbnailWorker::Want(const std::vector<jobs::FoundItem>& items) {
  std::vector<app::ThumbnailRequest> requests;
  const uint64_t session = m_session.load();
  for (const jobs::FoundItem& found : items) {
    const uint64_t key = app::CheckedKey(found.item);
    if (m_made.count(key) != 0 || m_failed.count(key) != 0 || !HasThumbnailKind(found.item)) continue;
    requests.push_back({key, session, found});
  }
  m_queue.Want(std::move(requests));
}

QPixmap CThumbnailWorker::Thumbnail(const engine::ItemRecord& item) {
  const uint64_t key = app::CheckedKey(item);
  if (auto it = m_drawnIndex.find(key); it != m_drawnIndex.end()) {
    m_drawn.splice(m_drawn.begin(), m_drawn, it->second);
    return it->second->second;
  }
  auto made = m_made.find(key);
  if (made == m_made.end()) return {};
  const QImage image = QImage::fromData(made->second);
  if (image.isNull()) return {};
  return Remember(key, image);
}

QPixmap CThumbnailWorker::Remember(uint64_t key, const QImage& image) {
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setDevicePixelRatio(static_cast<qreal>(m_side) / kThumbnailSide);
  m_drawn.emplace_front(key, pixmap);
  m_drawnIndex[key] = m_drawn.begin();
  while (m_drawn.size() > kDrawnCapacity) {
    m_drawnIndex.erase(m_drawn.back().first);
    m_drawn.pop_back();
  }
  return pixmap;
}

void CThumbnailWorker::OnMade(quint64 session, quint64 key, const QByteArray& bytes, const QImage& image) {
  if (session != m_session.load()) return;  // made for an earlier scan
  m_made[key] = bytes;
  Remember(key, image);  // on screen now: drawn without decoding it again
  emit Ready(key);
}

void CThumbnailWorker::OnFailed(quint64 session, quint64 key) {
  if (session != m_session.load()) return;
  m_failed.insert(key);
  emit Ready(key);
}

QImage CThumbnailWorker::Decode(const std::string& bytes, app::ThumbnailKind) const {
  QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QBuffer buffer(&data);
  if (!buffer.open(QIODevice::ReadOnly)) return {};
  QImageReader reader(&buffer);
  reader.setAutoTransform(true);  // a camera's orientation
  reader.setQuality(25);          // the fast DCT: a thumbnail shows no difference
  const QSize size = reader.size();
  if (size.isValid() && (size.width() > m_side || size.height() > m_side)) {
    reader.setScaledSize(size.scaled(m_side, m_side, Qt::KeepAspectRatio));
  }
  QImage image = reader.read();
  if (image.isNull()) return {};
  if (image.width() > m_side || image.height() > m_side) {
    image = image.scaled(m_side, m_side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  return image;
}

void CThumbnailWorker::Run() {
  uint64_t guardedSession = 0;
  std::set<const jobs::ScanSource*> guarded;  // sources whose data folder was checked this session
  app::ThumbnailRequest request;
  while (m_queue.Take(&request)) {
    const uint64_t key = request.key;
    const uint64_t session = request.session;
    if (session != m_session.load() || !request.item.source) {
      request = {};
      m_queue.Done(true);
      continue;
    }
    const std::function<bool()> stop = [this, key] { return !m_queue.StillWanted(key); };
    const app::RowMark mark = app::MarkOf(request.item);
    const app::ThumbnailKind kind = app::ThumbnailKindOf(request.item.item, m_tools, [this](std::string_view e) {
      return m_readable.count(QByteArray(e.data(), static_cast<qsizetype>(e.size()))) != 0;
    });
    auto bytes = std::make_shared<std::string>();
    std::string problem;
    platform::Status status = platform::kErrorBusy;
    {
      jobs::ScanSource& source = *request.item.source;
      std::unique_lock busy(source.inUse, std::try_to_lock);
      if (busy.owns_lock()) {
        if (guardedSession != session) {
          guarded.clear();
          guardedSession = session;
        }
        status = platform::kStatusOk;
        // The copies go to the data folder: never onto the medium being recovered.
        if (guarded.insert(&source).second) {
          std::string movedFrom, movedTo;
          status = jobs::KeepDataFolderOffSources({request.item.source}, &movedFrom, &movedTo);
        }
        std::string folder;
        if (status == platform::kStatusOk) status = platform::SessionFolder(&folder);
        if (status == platform::kStatusOk) {
          status = app::ThumbnailBytes(request.item, kind, m_tools, folder + "thumbnails", stop, bytes.get(), &problem);
        }
      }
    }
    request = {};  // the session's source is not kept a moment longer
    // Stopped, or the source was busy: asked for again when it is on screen again.
    const bool givenUp = status == platform::kStatusCancelled || status == platform::kErrorBusy;
    m_queue.Done(!givenUp);
    if (givenUp) continue;
    if (status != platform::kStatusOk) {
      QMetaObject::invokeMethod(
          this, [this, session, key] { OnFailed(session, key); }, Qt::QueuedConnection);
      continue;
    }
    // The engine is free again; the picture is decoded beside the next read.
    if (!AcquireDecodeSlot()) break;
    m_decoders.start([this, session, key, kind, mark, bytes] {
      QImage image = Decode(*bytes, kind);
      if (!image.isNull()) {
        // A damaged, overwritten or reassembled file wears its mark on the thumbnail, as on its icon.
        image =
            image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        if (mark != app::RowMark::kNone) {
          QPainter p(&image);
          if (mark == app::RowMark::kDamaged) PaintDamagedMark(&p, QRectF(image.rect()));
          if (mark == app::RowMark::kOverwritten) PaintOverwrittenMark(&p, QRectF(image.rect()));
          if (mark == app::RowMark::kReassembled) PaintReassembledMark(&p, QRectF(image.rect()));
        }
      }
      const QByteArray compressed = Compress(image);
      if (compressed.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [this, session, key] { OnFailed(session, key); }, Qt::QueuedConnection);
      } else {
        QMetaObject::invokeMethod(
            this, [this, session, key, compressed, image] { OnMade(session, key, compressed, image); },
            Qt::QueuedConnection);
      }
      ReleaseDecodeSlot();
    });
  }
}

bool CThumbnailWorker::AcquireDecodeSlot() {
  std::unique_lock lock(m_slotMutex);
  m_slotFree.wait(lock, [this] { return m_stopping || m_decoding < m_maxDecoding; });
  if (m_stopping) return false;
  ++m_decoding;
  return true;
}

void CThumbnailWorker::ReleaseDecodeSlot() {
  {
    std::lock_guard lock(m_slotMutex);
    --m_decoding;
  }
  m_slotFree.notify_all();
}

QByteArray CThumbnailWorker::Compress(const QImage& image) {
  QByteArray compressed;
  if (image.isNull()) return compressed;
  QBuffer out(&compressed);
  out.open(QIODevice::WriteOnly);
  const bool alpha = image.hasAlphaChannel();
  if (!image.save(&out, alpha ? "PNG" : "JPEG", alpha ? -1 : kJpegQuality)) compressed.clear();
  return compressed;
}

}  // namespace gui
