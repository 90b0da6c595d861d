// SPDX-License-Identifier: GPL-3.0-or-later
// gui_screenshots: drives the wizard over a sample card the way a person
// would (a mode, the card's partition, a scan, the photos as thumbnails, the
// list, a recovery) and saves a picture of the window at each step.
// scripts/screenshots.sh runs it under Xvfb from a clean folder.
//
//   gui_screenshots CARD OUTDIR [--dark] [--size WxH]...
//
// CARD is the disk image the disk list shows (QUELLMOOR_DISKS=CARD);
// without --size the window has its first size (1100 x 720). --dark gives
// the window a dark palette, as a desktop in dark mode does.
#include <QApplication>
#include <QDir>
#include <QListView>
#include <QPalette>
#include <QPushButton>
#include <QStyleFactory>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdio>

#include "app/language_config.h"
#include "app/text_table.h"
#include "gui/dialogs.h"
#include "gui/file_list_model.h"
#include "gui/job_process_wnd.h"
#include "gui/main_wnd.h"
#include "gui/thumbnail_model.h"
#include "gui/thumbnail_worker.h"
#include "platform/folders.h"

namespace {

// Every question is answered OK; the recovery goes to the proposed folder.
class ToolDialogs final : public gui::IDialogs {
 public:
  jobs::Answer Ask(QWidget*, jobs::MessageKind, const QString& text) override {
    std::fprintf(stderr, "gui_screenshots: box: %s\n", qPrintable(text));
    return jobs::Answer::kOk;
  }
  QString ChooseImageFile(QWidget*) override { return {}; }
  QString ChooseOutputFolder(QWidget*, const QString& proposed) override { return proposed; }
  QString ChooseImageTarget(QWidget*, const QString&) override { return {}; }
  void OpenFolder(const QString&) override {}
};

void Settle(int ms = 150) {
  QTest::qWait(ms);
}

bool Save(QWidget* widget, const QString& folder, const QString& name) {
  Settle();
  const QString path = QDir(folder).filePath(name);
  const bool saved = widget->grab().save(path);
  std::printf("%s %s\n", saved ? "wrote" : "COULD NOT WRITE", qPrintable(path));
  return saved;
}

void Click(QWidget* window, const char* name) {
  if (auto* button = window->findChild<QAbstractButton*>(QString::fromLatin1(name))) button->click();
}

void SetDarkPalette() {
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette p;
  const QColor window(0x2b, 0x2d, 0x30), base(0x1e, 0x1f, 0x22), text(0xe6, 0xe6, 0xe6);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::ToolTipBase, QColor(0x3c, 0x3f, 0x41));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0x90, 0x90, 0x90));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::Highlight, QColor(0x35, 0x74, 0xf0));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  QApplication::setPalette(p);
}

// One walk through the wizard at size (empty: the window's own first size).
bool Walk(app::CTextTable& texts, app::CLanguageConfig& languages, const QString& out, const QSize& size,
          const QString& suffix) {
  ToolDialogs dialogs;
  gui::CMainWnd wnd(texts, languages, &dialogs);
  if (size.isValid()) wnd.resize(size);
  wnd.show();
  Settle(300);
  bool ok = Save(&wnd, out, QStringLiteral("mode%1.png").arg(suffix));
  Click(&wnd, "BtnDeletedRecovery");
  auto* disks = wnd.findChild<QTreeWidget*>(QStringLiteral("DiskList"));
  if (disks == nullptr || disks->topLevelItemCount() == 0 || disks->topLevelItem(0)->childCount() == 0) {
    std::fprintf(stderr, "gui_screenshots: the card shows no partition\n");
    return false;
  }
  disks->setCurrentItem(disks->topLevelItem(0)->child(0));
  ok = Save(&wnd, out, QStringLiteral("disk%1.png").arg(suffix)) && ok;
  Click(&wnd, "BtnScan");
  Settle(300);
  // The photos as thumbnails, all made, the first one previewed.
  Click(&wnd, "ViewGrid");
  for (int i = 0; i < 400 && wnd.Thumbnails().MadeCount() < static_cast<size_t>(wnd.Grid()->rowCount()); ++i) {
    QTest::qWait(25);
  }
  auto* grid = wnd.findChild<QListView*>(QStringLiteral("ThumbnailGrid"));
  if (grid != nullptr && wnd.Grid()->rowCount() > 1) {
    wnd.Grid()->setData(wnd.Grid()->index(0), Qt::Checked, Qt::CheckStateRole);
    wnd.Grid()->setData(wnd.Grid()->index(1), Qt::Checked, Qt::CheckStateRole);
    grid->setCurrentIndex(wnd.Grid()->index(1));
  }
  ok = Save(&wnd, out, QStringLiteral("results-grid%1.png").arg(suffix)) && ok;
  Click(&wnd, "ViewList");
  auto* list = wnd.findChild<QTableView*>(QStringLiteral("FileList"));
  if (list != nullptr && wnd.FileList()->rowCount() > 2) list->setCurrentIndex(wnd.FileList()->index(2, 1));
  ok = Save(&wnd, out, QStringLiteral("results-list%1.png").arg(suffix)) && ok;
  Click(&wnd, "ViewGrid");
  // The recovery's end: its window, once Close shows.
  QTimer watch;
  watch.setInterval(20);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* job = qobject_cast<gui::CRecoverProcessWnd*>(top);
      auto* close = job != nullptr ? job->findChild<QPushButton*>(QStringLiteral("FinishBtn")) : nullptr;
      if (close == nullptr || !close->isVisible()) continue;
      watch.stop();
      ok = Save(job, out, QStringLiteral("recovered%1.png").arg(suffix)) && ok;
      close->click();
    }
  });
  watch.start();
  Click(&wnd, "BtnRecover");
  wnd.close();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quellmoor"));
  const QStringList args = QApplication::arguments();
  if (args.size() < 3) {
    std::fprintf(stderr, "usage: gui_screenshots CARD OUTDIR [--dark] [--size WxH]...\n");
    return 2;
  }
  const QString out = args[2];
  QList<QSize> sizes;
  bool dark = false;
  for (int i = 3; i < args.size(); ++i) {
    if (args[i] == QStringLiteral("--dark")) dark = true;
    if (args[i] == QStringLiteral("--size") && i + 1 < args.size()) {
      const QStringList wh = args[++i].split(QLatin1Char('x'));
      if (wh.size() == 2) sizes << QSize(wh[0].toInt(), wh[1].toInt());
    }
  }
  if (sizes.isEmpty()) sizes << QSize();
  if (dark) SetDarkPalette();
  app::CLanguageConfig languages;
  languages.Load({QUELLMOOR_SOURCE_DIR "/share/"}, platform::ConfigFolder() + "config.ini");
  app::CTextTable texts;
  if (languages.LoadTexts(texts) != platform::kStatusOk) {
    std::fprintf(stderr, "gui_screenshots: no language file\n");
    return 1;
  }
  bool ok = true;
  for (const QSize& size : sizes) {
    QString suffix = size.isValid() ? QStringLiteral("-%1x%2").arg(size.width()).arg(size.height()) : QString();
    if (dark) suffix += QStringLiteral("-dark");
    ok = Walk(texts, languages, out, size, suffix) && ok;
  }
  return ok ? 0 : 1;
}
