// SPDX-License-Identifier: GPL-3.0-or-later
// The thumbnail grid of the desktop wizard over real cards: FAT32 images
// with deleted JPEG photos (ImageMagick, mkfs.fat, mtools), scanned, shown
// as thumbnails in a 1280 x 800 window on the offscreen platform.
//
//   thumbnail_grid_bench [PHOTOS]          (default 10000)
//
// Prints: the time to fill the first screen with thumbnails from camera-size
// photos (12 MP) and from small ones; then, over PHOTOS small photos, the
// time to draw a frame while scrolling through all of them (the window
// thread's part: frames per second) and the time to fill the last screen
// after a jump to the end. The photo files repeat a few pictures under
// their own names: every one is read from the card and decoded.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QListView>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/language_config.h"
#include "app/text_table.h"
#include "gui/dialogs.h"
#include "gui/main_wnd.h"
#include "gui/thumbnail_model.h"
#include "gui/thumbnail_worker.h"
#include "platform/disk_table.h"

namespace {

class BenchDialogs final : public gui::IDialogs {
 public:
  explicit BenchDialogs(QString image) : m_image(std::move(image)) {}
  jobs::Answer Ask(QWidget*, jobs::MessageKind, const QString&) override { return jobs::Answer::kOk; }
  QString ChooseImageFile(QWidget*) override { return m_image; }
  QString ChooseOutputFolder(QWidget*, const QString&) override { return {}; }
  QString ChooseImageTarget(QWidget*, const QString&) override { return {}; }
  void OpenFolder(const QString&) override {}

 private:
  QString m_image;
};

bool Run(const QString& program, const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  p.start(program, args);
  if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    std::fprintf(stderr, "%s failed\n", qPrintable(program));
    return false;
  }
  return true;
}

// count photos in folders of 1000 on a new FAT32 image, all deleted again.
bool MakeCard(const QString& image, const QStringList& pictures, int count, qint64 bytesEach) {
  const qint64 mib = std::max<qint64>(64, (bytesEach * count * 12 / 10 >> 20) + 64);
  if (!Run(QStringLiteral("mkfs.fat"),
           {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-C"), image, QString::number(mib * 1024)})) {
    return false;
  }
  qputenv("MTOOLS_SKIP_CHECK", "1");
  const QString dir = QFileInfo(image).absolutePath() + QStringLiteral("/names");
  QDir().mkpath(dir);
  for (int folder = 0; folder * 1000 < count; ++folder) {
    const QString name = QStringLiteral("::%1CANON").arg(100 + folder);
    if (!Run(QStringLiteral("mmd"), {QStringLiteral("-i"), image, name})) return false;
    QStringList names;
    for (int i = folder * 1000; i < std::min(count, (folder + 1) * 1000); ++i) {
      const QString link = QStringLiteral("%1/IMG_%2.JPG").arg(dir).arg(i, 5, 10, QLatin1Char('0'));
      QFile::remove(link);
      QFile::link(pictures[i % pictures.size()], link);
      names << link;
    }
    QStringList copy = {QStringLiteral("-i"), image, QStringLiteral("-m")};
    if (!Run(QStringLiteral("mcopy"), copy + names + QStringList{name + QStringLiteral("/")})) return false;
    QStringList del = {QStringLiteral("-i"), image};
    for (const QString& n : names) del << name + QStringLiteral("/") + QFileInfo(n).fileName();
    if (!Run(QStringLiteral("mdel"), del)) return false;
    for (const QString& n : names) QFile::remove(n);
  }
  return true;
}

QStringList MakePictures(const QString& dir, int count, const QString& size, const QString& grain) {
  QStringList out;
  for (int i = 0; i < count; ++i) {
    const QString path = QStringLiteral("%1/p%2-%3.jpg").arg(dir, size).arg(i);
    const QString half = QStringLiteral("%1x%2")
                             .arg(size.section(QLatin1Char('x'), 0, 0).toInt() / 4)
                             .arg(size.section(QLatin1Char('x'), 1, 1).toInt() / 4);
    if (!Run(QStringLiteral("convert"),
             {QStringLiteral("-size"), half, QStringLiteral("-seed"), QString::number(i + 1), QStringLiteral("plasma:"),
              QStringLiteral("-resize"), size + QLatin1Char('!'), QStringLiteral("-attenuate"), grain,
              QStringLiteral("+noise"), QStringLiteral("Gaussian"), path})) {
      return {};
    }
    out << path;
  }
  return out;
}

// The rows whose cells are on screen now.
std::vector<QModelIndex> OnScreen(QListView* grid) {
  std::vector<QModelIndex> out;
  const QRect area = grid->viewport()->rect();
  QModelIndex first = grid->indexAt(area.topLeft() + QPoint(8, 8));
  int row = first.isValid() ? std::max(0, first.row() - 20) : 0;
  for (; row < grid->model()->rowCount(); ++row) {
    const QModelIndex index = grid->model()->index(row, 0);
    const QRect cell = grid->visualRect(index);
    if (cell.top() > area.bottom()) break;
    if (cell.intersects(area)) out.push_back(index);
  }
  return out;
}

// Waits until every cell on screen has its thumbnail; the seconds it took.
double FillTime(QListView* grid) {
  QElapsedTimer t;
  t.start();
  for (;;) {
    const std::vector<QModelIndex> cells = OnScreen(grid);
    const bool all = std::all_of(cells.begin(), cells.end(), [](const QModelIndex& i) {
      return i.data(Qt::DecorationRole).typeId() == QMetaType::QPixmap;
    });
    if (all) return t.elapsed() / 1000.0;
    if (t.elapsed() > 120000) return -1;  // not filled in two minutes: something is wrong
    QTest::qWait(2);
  }
}

struct Opened {
  std::unique_ptr<BenchDialogs> dialogs;
  std::unique_ptr<gui::CMainWnd> wnd;
  QListView* grid = nullptr;
};

Opened Open(const QString& image, app::CTextTable& texts, app::CLanguageConfig& languages) {
  Opened o;
  o.dialogs = std::make_unique<BenchDialogs>(image);
  o.wnd = std::make_unique<gui::CMainWnd>(texts, languages, o.dialogs.get());
  o.wnd->resize(1280, 800);
  o.wnd->show();
  QTest::qWait(100);
  for (const char* name : {"BtnDeletedRecovery", "BtnLoadImage", "BtnScan"}) {
    o.wnd->findChild<QAbstractButton*>(QString::fromLatin1(name))->click();
  }
  o.wnd->findChild<QAbstractButton*>(QStringLiteral("ViewGrid"))->click();
  o.grid = o.wnd->findChild<QListView*>(QStringLiteral("ThumbnailGrid"));
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 10000;
  QTemporaryDir work;
  const QString w = work.path();
  ::setenv("XDG_DATA_HOME", qPrintable(w + QStringLiteral("/data")), 1);
  ::setenv("XDG_CONFIG_HOME", qPrintable(w + QStringLiteral("/config")), 1);
  platform::SetDiskTableOverride({});
  app::CLanguageConfig languages;
  languages.Load({QUELLMOOR_SOURCE_DIR "/share/"}, (w + QStringLiteral("/config/quellmoor/config.ini")).toStdString());
  app::CTextTable texts;
  if (languages.LoadTexts(texts) != platform::kStatusOk) return 1;

  std::printf("making the cards in %s ...\n", qPrintable(w));
  const QStringList big = MakePictures(w, 4, QStringLiteral("4000x3000"), QStringLiteral("0.25"));
  const QStringList small = MakePictures(w, 16, QStringLiteral("800x600"), QStringLiteral("0.1"));
  if (big.isEmpty() || small.isEmpty()) return 1;
  const QString bigCard = w + QStringLiteral("/camera.img");
  const QString smallCard = w + QStringLiteral("/many.img");
  if (!MakeCard(bigCard, big, 60, QFileInfo(big[0]).size()) ||
      !MakeCard(smallCard, small, count, QFileInfo(small[0]).size())) {
    return 1;
  }
  std::printf("photos: 12 MP %.1f MB each, small %.0f KB each\n", QFileInfo(big[0]).size() / 1e6,
              QFileInfo(small[0]).size() / 1e3);

  {
    Opened o = Open(bigCard, texts, languages);
    const int visible = static_cast<int>(OnScreen(o.grid).size());
    const double fill = FillTime(o.grid);
    std::printf("first screen, 12 MP photos: %d thumbnails in %.2f s (%.0f ms each)\n", visible, fill,
                fill * 1000 / std::max(1, visible));
  }
  Opened o = Open(smallCard, texts, languages);
  std::printf("grid rows: %d\n", o.grid->model()->rowCount());
  const int visible = static_cast<int>(OnScreen(o.grid).size());
  const double fill = FillTime(o.grid);
  std::printf("first screen, small photos: %d thumbnails in %.2f s\n", visible, fill);

  // Scrolling through all: a quarter screen per frame, each frame drawn at once.
  QScrollBar* bar = o.grid->verticalScrollBar();
  std::vector<double> frames;
  QElapsedTimer total;
  total.start();
  const size_t madeBefore = o.wnd->Thumbnails().MadeCount();
  while (bar->value() < bar->maximum()) {
    bar->setValue(bar->value() + std::max(1, bar->pageStep() / 4));
    QElapsedTimer frame;
    frame.start();
    o.grid->viewport()->repaint();
    frames.push_back(frame.nsecsElapsed() / 1e6);
    QCoreApplication::processEvents();
    QTest::qWait(16);  // the next frame of a 60 Hz screen
  }
  const double seconds = total.elapsed() / 1000.0;
  std::sort(frames.begin(), frames.end());
  const double median = frames[frames.size() / 2];
  const double p95 = frames[frames.size() * 95 / 100];
  std::printf(
      "scrolled through %d photos in %zu frames (%.1f s): frame drawing median %.2f ms, 95%% %.2f ms, "
      "worst %.2f ms (%.0f frames/s possible); %zu thumbnails made on the way\n",
      o.grid->model()->rowCount(), frames.size(), seconds, median, p95, frames.back(), 1000.0 / median,
      o.wnd->Thumbnails().MadeCount() - madeBefore);
  const double last = FillTime(o.grid);
  std::printf("last screen after the scroll: filled in %.2f s\n", last);
  bar->setValue(bar->maximum() / 2);
  std::printf("a jump to the middle: filled in %.2f s\n", FillTime(o.grid));
  return 0;
}
