// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/dialogs.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "app/message_box.h"

namespace gui {
namespace {

// A message box whose close button and Escape key mean "closed without a
// choice", told apart from a click on Cancel or No.
class CAnswerBox final : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;
  bool ButtonPressed() const { return m_pressed; }
  void Watch() {
    connect(this, &QMessageBox::buttonClicked, this, [this] { m_pressed = true; });
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Escape) {
      close();
      return;
    }
    QMessageBox::keyPressEvent(event);
  }

 private:
  bool m_pressed = false;
};

}  // namespace

jobs::Answer CQtDialogs::Ask(QWidget* parent, jobs::MessageKind kind, const QString& text) {
  const app::MessageBoxStyle style = app::MessageBoxStyleOf(kind);
  CAnswerBox box(parent);
  box.Watch();
  box.setObjectName(QStringLiteral("MessageBox"));
  QString title = Q(jobs::MessageText(m_texts, style.titleKey));
  if (title.isEmpty()) title = QStringLiteral("Quellmoor");
  box.setWindowTitle(title);
  box.setText(text);
  switch (kind) {
    case jobs::MessageKind::kError: box.setIcon(QMessageBox::Critical); break;
    case jobs::MessageKind::kWarning: box.setIcon(QMessageBox::Warning); break;
    case jobs::MessageKind::kConfirm:
    case jobs::MessageKind::kQuestion: box.setIcon(QMessageBox::Question); break;
    case jobs::MessageKind::kInformation: box.setIcon(QMessageBox::Information); break;
  }
  auto buttonText = [this](std::string_view key, const char* fallback) {
    QString t = m_texts != nullptr ? Q(m_texts->Text("MessageBox", key)) : QString();
    return t.isEmpty() ? QString::fromLatin1(fallback) : t;
  };
  QPushButton* second = nullptr;
  QPushButton* ok = box.addButton(buttonText("OK", "OK"), QMessageBox::AcceptRole);
  ok->setObjectName(QStringLiteral("BtnOK"));
  if (style.twoButtons) {
    const bool cancel = style.secondKey == "Cancel";
    second = box.addButton(buttonText(style.secondKey, cancel ? "Cancel" : "No"), QMessageBox::RejectRole);
    second->setObjectName(cancel ? QStringLiteral("BtnCancel") : QStringLiteral("BtnNo"));
    box.setEscapeButton(second);
  } else {
    box.setEscapeButton(ok);
  }
  box.setDefaultButton(ok);
  // A message box sizes itself to its text; a spacer keeps it at least as wide as the jobs' boxes.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(app::kJobMessageBoxWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  box.exec();
  const QAbstractButton* clicked = box.clickedButton();
  if (!box.ButtonPressed()) return jobs::Answer::kClosed;
  if (clicked == ok) return jobs::Answer::kOk;
  if (clicked != nullptr && clicked == second) return jobs::Answer::kNo;
  return jobs::Answer::kClosed;
}

QString CQtDialogs::ChooseImageFile(QWidget* parent) {
  return QFileDialog::getOpenFileName(parent, QString(), QDir::homePath(), QStringLiteral("Image Files (*.img)"));
}

QString CQtDialogs::ChooseOutputFolder(QWidget* parent) {
  return QFileDialog::getExistingDirectory(parent, QStringLiteral("Select location for recovery"), QDir::homePath());
}

QString CQtDialogs::ChooseImageTarget(QWidget* parent, const QString& suggestedName) {
  return QFileDialog::getSaveFileName(parent, QString(), QDir::home().filePath(suggestedName),
                                      QStringLiteral("Image Files (*.img)"));
}

void CQtDialogs::OpenFolder(const QString& folder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

}  // namespace gui
