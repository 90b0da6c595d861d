// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop wizard driven on the offscreen platform: a window over a
// fixture disk table and a copy of a fixture image, with every dialog
// answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTableView>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "gui/dialogs.h"
#include "gui/file_list_model.h"
#include "gui/folder_tree_model.h"
#include "gui/job_process_wnd.h"
#include "gui/main_wnd.h"
#include "jobs/file_category.h"
#include "platform/disk_table.h"
#include "tests/support/test_support.h"

namespace gui::testing_wizard {

namespace fs = std::filesystem;

// Answers every dialog from the test's script and remembers what was shown.
class FakeDialogs final : public IDialogs {
 public:
  // Boxes with one button are OK'd; questions take the scripted answers (then OK).
  jobs::Answer Ask(QWidget*, jobs::MessageKind kind, const QString& text) override {
    shown.push_back(text);
    if (kind != jobs::MessageKind::kConfirm && kind != jobs::MessageKind::kQuestion) return jobs::Answer::kOk;
    if (answers.empty()) return jobs::Answer::kOk;
    const jobs::Answer a = answers.front();
    answers.pop_front();
    return a;
  }
  QString ChooseImageFile(QWidget*) override { return imageFile; }
  // An empty outputFolder takes the proposed one (Enter in the dialog).
  QString ChooseOutputFolder(QWidget*, const QString& proposed) override {
    proposedFolder = proposed;
    return outputFolder.isEmpty() ? proposed : outputFolder;
  }
  QString ChooseImageTarget(QWidget*, const QString& suggested) override {
    suggestedName = suggested;
    return imageTarget;
  }
  void OpenFolder(const QString& folder) override { opened.push_back(folder); }
  bool Shown(const QString& fragment) const {
    for (const QString& s : shown) {
      if (s.contains(fragment)) return true;
    }
    return false;
  }

  std::deque<jobs::Answer> answers;
  QStringList shown;
  QString imageFile, outputFolder, imageTarget, suggestedName, proposedFolder;
  QStringList opened;
};

// Clicks the named button of a job window as soon as one shows it enabled
// (the window is modal: the test's code waits inside its event loop).
class AutoClicker {
 public:
  explicit AutoClicker(const QString& name) {
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this, name] {
      for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* wnd = qobject_cast<CJobProcessWnd*>(top);
        if (wnd == nullptr || !wnd->isVisible()) continue;
        auto* button = wnd->findChild<QPushButton*>(name);
        if (button != nullptr && button->isVisible() && button->isEnabled()) {
          button->click();
          ++clicks;
          if (once) m_timer.stop();
          return;
        }
      }
    });
    m_timer.start();
  }
  int clicks = 0;
  bool once = true;

 private:
  QTimer m_timer;
};

// Counts the complaints of QAbstractItemModelTester (and any other warning).
struct WarningCounter {
  WarningCounter() {
    Count() = 0;
    m_previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) {
        if (text.contains(QStringLiteral("FAIL")) || text.contains(QStringLiteral("QAbstractItemModelTester"))) {
          ++Count();
          std::fprintf(stderr, "model tester: %s\n", qPrintable(text));
        }
      }
    });
  }
  ~WarningCounter() { qInstallMessageHandler(m_previous); }
  static int& Count() {
    static int count = 0;
    return count;
  }

 private:
  QtMessageHandler m_previous;
};

// A deleted FAT short name has lost its first character ("!raft.txt").
inline bool SameFoundName(const std::string& found, const std::string& name) {
  return found == name || (found.size() == name.size() && !found.empty() && found.substr(1) == name.substr(1));
}

class Wizard : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string fixture = testing_support::UnpackedFixture("fat16.img.gz");
    ASSERT_FALSE(fixture.empty());
    // The window gets its own copy: the test proves the copy is unchanged.
    m_image = m_work.path() + "card.img";
    fs::copy_file(fixture, m_image);
    m_imageHash = testing_support::Sha256OfFile(m_image);
    // The disk table is a fixture disk with an MBR and partitions, never this machine's disks.
    m_disk = testing_support::UnpackedFixture("disk_mbr.img.gz");
    ASSERT_FALSE(m_disk.empty());
    platform::SetDiskTableOverride({m_disk});
    const std::string share = std::string(QUELLMOOR_SOURCE_DIR) + "/share/";
    m_languages.Load({share}, m_config.path() + "config.ini");
    ASSERT_EQ(m_languages.LoadTexts(m_texts), platform::kStatusOk);
    m_wnd = std::make_unique<CMainWnd>(m_texts, m_languages, &m_dialogs);
    m_wnd->show();
    m_dialogs.imageFile = QString::fromStdString(m_image);
  }
  void TearDown() override {
    m_wnd.reset();
    platform::SetDiskTableOverride({});
    if (!m_image.empty()) {
      EXPECT_EQ(testing_support::Sha256OfFile(m_image), m_imageHash) << "the source changed";
    }
  }

  void Click(const char* name) {
    auto* button = m_wnd->findChild<QPushButton*>(QString::fromLatin1(name));
    ASSERT_NE(button, nullptr) << name;
    button->click();
  }
  int Page() const { return m_wnd->findChild<QStackedWidget*>(QStringLiteral("TabPage"))->currentIndex(); }
  QTableView* List() const { return m_wnd->findChild<QTableView*>(QStringLiteral("FileList")); }
  QTextEdit* PreviewPane() const { return m_wnd->findChild<QTextEdit*>(QStringLiteral("PreviewEdit")); }
  void SelectNode(const char* node) {
    QTreeWidget* tree = m_wnd->findChild<QTreeWidget*>(QStringLiteral("TypeTree"));
    tree->setCurrentItem(m_wnd->TypeNode(node));
  }
  // The row of the file list whose name is name; -1 when none.
  int RowNamed(const std::string& name) const {
    for (int r = 0; r < m_wnd->FileList()->rowCount(); ++r) {
      const jobs::FoundItem* f = m_wnd->FileList()->RowAt(m_wnd->FileList()->index(r, 0));
      if (f != nullptr && SameFoundName(std::string(f->item.Name()), name)) return r;
    }
    return -1;
  }
  void LoadAndScan(const char* modeButton) {
    Click(modeButton);
    Click("BtnLoadImage");
    Click("BtnScan");
  }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_work;
  testing_support::TempDir m_config;
  std::string m_image;
  std::string m_imageHash;
  std::string m_disk;
  app::CTextTable m_texts;
  app::CLanguageConfig m_languages;
  FakeDialogs m_dialogs;
  std::unique_ptr<CMainWnd> m_wnd;
};

}  // namespace gui::testing_wizard
