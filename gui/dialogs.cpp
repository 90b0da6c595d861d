// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/dialogs.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/dialog_texts.h"
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
  QStringList filters;
  for (const std::string& f : app::ImageFileFilters(m_texts)) filters << Q(f);
  return QFileDialog::getOpenFileName(parent, Q(app::DialogText(m_texts, "OpenImageTitle", "Open an image file")),
                                      QDir::homePath(), filters.join(QStringLiteral(";;")));
}

QString CQtDialogs::ChooseOutputFolder(QWidget* parent, const QString& proposed) {
  CDestinationDialog dialog(parent, m_texts, proposed);
  return dialog.exec() == QDialog::Accepted ? dialog.Folder() : QString();
}

QString CQtDialogs::ChooseImageTarget(QWidget* parent, const QString& suggestedName) {
  const QString filter = Q(app::DialogText(m_texts, "ImageTargetFilter", "Disk image")) + QStringLiteral(" (*.img)");
  return QFileDialog::getSaveFileName(parent, Q(app::DialogText(m_texts, "SaveImageTitle", "Save the disk image as")),
                                      QDir::home().filePath(suggestedName), filter);
}

CDestinationDialog::CDestinationDialog(QWidget* parent, const jobs::ITextSource* texts, const QString& proposed)
    : QDialog(parent), m_texts(texts) {
  setObjectName(QStringLiteral("DestinationDlg"));
  setWindowTitle(Q(app::DialogText(texts, "DestinationTitle", "Recover the checked files")));
  auto* layout = new QVBoxLayout(this);
  auto* label =
      new QLabel(Q(app::DialogText(texts, "DestinationLabel", "Save the recovered files in this folder:")), this);
  label->setWordWrap(true);
  layout->addWidget(label);
  auto* row = new QHBoxLayout;
  m_folder = new QLineEdit(proposed, this);
  m_folder->setObjectName(QStringLiteral("TxtFolder"));
  m_folder->setMinimumWidth(380);
  m_folder->setAccessibleName(label->text());
  label->setBuddy(m_folder);
  row->addWidget(m_folder, 1);
  auto* choose = new QPushButton(Q(app::DialogText(texts, "ChooseFolder", "Choose...")), this);
  choose->setObjectName(QStringLiteral("BtnChooseFolder"));
  choose->setAutoDefault(false);
  row->addWidget(choose);
  layout->addLayout(row);
  auto* hint = new QLabel(
      Q(app::DialogText(texts, "DestinationHint", "Choose a folder on another drive than the one you recover from.")),
      this);
  hint->setWordWrap(true);
  hint->setForegroundRole(QPalette::PlaceholderText);
  layout->addWidget(hint);
  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok =
      buttons->addButton(Q(app::DialogText(texts, "DestinationOk", "Recover")), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("BtnOK"));
  ok->setDefault(true);
  QPushButton* cancel = buttons->addButton(Q(app::DialogText(texts, "Cancel", "Cancel")), QDialogButtonBox::RejectRole);
  cancel->setObjectName(QStringLiteral("BtnCancel"));
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_folder, &QLineEdit::textChanged, ok, [ok](const QString& t) { ok->setEnabled(!t.trimmed().isEmpty()); });
  connect(choose, &QPushButton::clicked, this, [this] {
    // The chooser starts where the proposed folder will be (it may not exist yet).
    QString start = m_folder->text().trimmed();
    while (!start.isEmpty() && !QDir(start).exists()) start = QFileInfo(start).path();
    const QString chosen = QFileDialog::getExistingDirectory(
        this, Q(app::DialogText(m_texts, "ChooseFolderTitle", "Select location for recovery")),
        start.isEmpty() ? QDir::homePath() : start);
    if (!chosen.isEmpty()) m_folder->setText(QDir::toNativeSeparators(chosen));
  });
}

QString CDestinationDialog::Folder() const {
  QString folder = m_folder->text().trimmed();
  if (folder.startsWith(QStringLiteral("~/")) || folder == QStringLiteral("~")) {
    folder = QDir::homePath() + folder.mid(1);
  }
  return folder;
}

void CQtDialogs::OpenFolder(const QString& folder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

}  // namespace gui
