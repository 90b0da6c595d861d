// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>

namespace gui {
namespace {

class Texts final : public jobs::ITextSource {
 public:
  std::string Text(std::string_view section, std::string_view key) const override {
    static const std::map<std::string, std::string> kTexts = {
        {"Messages/MSG0401", "Error"},       {"Messages/MSG0402", "Please confirm"},
        {"Messages/MSG0403", "Information"}, {"Messages/MSG0404", "Question"},
        {"Messages/MSG0405", "Warning"},     {"MessageBox/OK", "OK"},
        {"MessageBox/Cancel", "Abbruch"},    {"MessageBox/No", "Nein"}};
    auto it = kTexts.find(std::string(section) + "/" + std::string(key));
    return it == kTexts.end() ? std::string() : it->second;
  }
};

struct Seen {
  QString title;
  QStringList buttons;
  QSize minimum;
};

// Shows a box of kind, lets act handle it once it is up, and returns the answer.
jobs::Answer Show(jobs::MessageKind kind, Seen* seen, const std::function<void(QMessageBox*)>& act) {
  Texts texts;
  CQtDialogs dialogs(&texts);
  QTimer timer;
  timer.setInterval(5);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) return;
    timer.stop();
    seen->title = box->windowTitle();
    for (QAbstractButton* b : box->buttons()) seen->buttons << b->text();
    seen->minimum = box->size();
    act(box);
  });
  timer.start();
  return dialogs.Ask(nullptr, kind, QStringLiteral("text"));
}

TEST(MessageBoxes, FiveKindsWithTheirTitlesAndButtons) {
  Seen seen;
  auto clickOk = [](QMessageBox* box) { box->findChild<QPushButton*>(QStringLiteral("BtnOK"))->click(); };
  EXPECT_EQ(Show(jobs::MessageKind::kError, &seen, clickOk), jobs::Answer::kOk);
  EXPECT_EQ(seen.title, QStringLiteral("Error"));
  EXPECT_EQ(seen.buttons, QStringList{QStringLiteral("OK")});
  EXPECT_GE(seen.minimum.width(), 400);
  seen = {};
  EXPECT_EQ(Show(jobs::MessageKind::kInformation, &seen, clickOk), jobs::Answer::kOk);
  EXPECT_EQ(seen.title, QStringLiteral("Information"));
  seen = {};
  EXPECT_EQ(Show(jobs::MessageKind::kWarning, &seen, clickOk), jobs::Answer::kOk);
  EXPECT_EQ(seen.title, QStringLiteral("Warning"));
  seen = {};
  EXPECT_EQ(Show(jobs::MessageKind::kConfirm, &seen,
                 [](QMessageBox* box) { box->findChild<QPushButton*>(QStringLiteral("BtnCancel"))->click(); }),
            jobs::Answer::kNo);
  EXPECT_EQ(seen.title, QStringLiteral("Please confirm"));
  EXPECT_TRUE(seen.buttons.contains(QStringLiteral("Abbruch")));
  seen = {};
  EXPECT_EQ(Show(jobs::MessageKind::kQuestion, &seen,
                 [](QMessageBox* box) { box->findChild<QPushButton*>(QStringLiteral("BtnNo"))->click(); }),
            jobs::Answer::kNo);
  EXPECT_EQ(seen.title, QStringLiteral("Question"));
  EXPECT_TRUE(seen.buttons.contains(QStringLiteral("Nein")));
}

// Closing a question is not "No": a job takes it as "not now".
TEST(MessageBoxes, ClosingOrEscapeIsNoChoice) {
  Seen seen;
  EXPECT_EQ(Show(jobs::MessageKind::kQuestion, &seen, [](QMessageBox* box) { box->close(); }), jobs::Answer::kClosed);
  EXPECT_EQ(Show(jobs::MessageKind::kQuestion, &seen, [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }),
            jobs::Answer::kClosed);
  // As a box's result, anything but OK is 2.
  Texts texts;
  CQtDialogs dialogs(&texts);
  QTimer::singleShot(20, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->close();
  });
  EXPECT_EQ(dialogs.MessageBox(nullptr, jobs::MessageKind::kConfirm, QStringLiteral("x")), 2);
}

}  // namespace
}  // namespace gui
