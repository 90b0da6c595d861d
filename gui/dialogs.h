// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

#include "jobs/job_view.h"
#include "jobs/text_source.h"

class QLineEdit;
class QWidget;

namespace gui {

// The dialogs the windows open: message boxes, the file, folder and save
// choosers, and opening a folder in the file manager. The windows reach them
// through this interface so that tests answer them without a person. Called
// on the window thread only.
class IDialogs {
 public:
  virtual ~IDialogs() = default;
  // A modal message box of kind (0 error, 1 confirm OK/Cancel, 2 information,
  // 3 warning, 4 question OK/No) with its title from the language file.
  // kOk, kNo (Cancel or No), or kClosed when the box was closed without a
  // choice.
  virtual jobs::Answer Ask(QWidget* parent, jobs::MessageKind kind, const QString& text) = 0;
  // The same as the box's result: 1 for OK; 2 for Cancel, No or the close button.
  int32_t MessageBox(QWidget* parent, jobs::MessageKind kind, const QString& text) {
    return Ask(parent, kind, text) == jobs::Answer::kOk ? 1 : 2;
  }
  // The open dialog for an image file: every container kind the program
  // reads, and all files; empty when cancelled.
  virtual QString ChooseImageFile(QWidget* parent) = 0;
  // Where to save the recovered files: proposed (a new folder) is offered,
  // another one may be chosen ("Select location for recovery"); empty
  // when cancelled.
  virtual QString ChooseOutputFolder(QWidget* parent, const QString& proposed) = 0;
  // The save dialog "Image Files (*.img)" proposing suggestedName; empty when cancelled.
  virtual QString ChooseImageTarget(QWidget* parent, const QString& suggestedName) = 0;
  // Shows folder in the desktop's file manager.
  virtual void OpenFolder(const QString& folder) = 0;
};

// The real dialogs: QMessageBox at least 400 x 160 with the title key of its
// kind and the "MessageBox" section's button texts, QFileDialog with titles
// and filters from the section "Dialogs", a small dialog that offers the
// recovery's folder, and QDesktopServices for "Open Folder". texts must
// outlive the object.
class CQtDialogs final : public IDialogs {
 public:
  explicit CQtDialogs(const jobs::ITextSource* texts) : m_texts(texts) {}
  jobs::Answer Ask(QWidget* parent, jobs::MessageKind kind, const QString& text) override;
  QString ChooseImageFile(QWidget* parent) override;
  QString ChooseOutputFolder(QWidget* parent, const QString& proposed) override;
  QString ChooseImageTarget(QWidget* parent, const QString& suggestedName) override;
  void OpenFolder(const QString& folder) override;

 private:
  const jobs::ITextSource* m_texts;
};

// The recovery's folder: a line with the proposed folder (Enter takes it),
// "Choose..." for another one, Recover and Cancel. Titles and labels from
// the section "Dialogs".
class CDestinationDialog final : public QDialog {
  Q_OBJECT
 public:
  CDestinationDialog(QWidget* parent, const jobs::ITextSource* texts, const QString& proposed);
  // The folder in the line ("~" stands for the home folder).
  QString Folder() const;

 private:
  const jobs::ITextSource* m_texts;
  QLineEdit* m_folder = nullptr;
};

// A UTF-8 text of ours as a QString.
inline QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace gui
