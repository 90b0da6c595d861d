// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QString>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/job.h"
#include "jobs/job_view.h"
#include "jobs/recovery_job.h"
#include "jobs/text_source.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace gui {

class IDialogs;

// A modal progress window that shows one job: its lines, its bar and (for
// the recovery) its detail list. It is the job's IJobView: the worker's
// calls are handed to the window thread as queued calls and return at once;
// a question of the job (Ask) waits on the worker while the window stays
// free. The window never waits for the worker: its cancel button pauses the
// job (BeginCancel), asks the window's cancel question and answers it
// (EndCancel); closing the window is the cancel button. Run() returns when
// the job has ended (End), with its result.
//
// The window must outlive the job: make the window first and the job after
// it, so the job (and its worker) goes first.
class CJobProcessWnd : public QDialog, public jobs::IJobView {
  Q_OBJECT

 public:
  // section: the window's language section ("ScanWnd"); cancelKey: the
  // "Messages" key of its cancel question. texts and dialogs must outlive it.
  CJobProcessWnd(QWidget* parent, std::string_view section, std::string_view cancelKey, const jobs::ITextSource* texts,
                 IDialogs& dialogs);
  ~CJobProcessWnd() override;

  // Starts job (which reports to this window), shows the window modally
  // until the job ends and returns its result: kFailed when it could not start.
  jobs::JobResult Run(jobs::CJob& job);

  // The events the job posted (1025, 1026), in order.
  const std::vector<jobs::JobEvent>& Posted() const { return m_posted; }
  // The notes the job gave (kind, text), also shown after the job.
  const std::vector<std::pair<jobs::MessageKind, std::string>>& Notes() const { return m_notes; }

  // jobs::IJobView, called on the worker thread.
  void SetLine(jobs::ViewLine line, const std::string& text) override;
  void SetBar(int32_t percent) override;
  void ShowControl(jobs::ViewControl control, bool visible) override;
  void AddDetailRow(const jobs::DetailRow& row, size_t position) override;
  void Notify(jobs::MessageKind kind, const std::string& text) override;
  jobs::Answer Ask(jobs::MessageKind kind, const std::string& text) override;
  void Post(jobs::JobEvent event) override;
  void End(jobs::JobResult result) override;

 signals:
  // The bar moved (tests use it to act while a job runs).
  void Progressed(int percent);

 public slots:
  void reject() override;  // Escape and the close button: the cancel button

 protected:
  // Whether the window stays open after the job ends, until "FinishBtn".
  void SetStaysOpenAtEnd(bool stays) { m_staysOpen = stays; }
  // A job that usually ends at once (a preview) shows its window only when
  // it runs longer than this; until then the other windows take no input.
  void SetShowDelayMs(int delayMs) { m_showDelayMs = delayMs; }
  QTreeWidget* DetailList() const { return m_details; }
  QString WindowText(std::string_view key) const;
  // The job has ended (window thread), before Finish shows.
  virtual void JobEnded(jobs::JobResult) {}
  // A detail row's path as the list shows it.
  virtual QString DetailPath(const QString& path) const { return path; }
  QLabel* Line(jobs::ViewLine line) const;
  QProgressBar* Bar() const { return m_bar; }
  QPushButton* FinishButton() const { return m_finishButton; }
  const jobs::ITextSource* Texts() const { return m_texts; }
  QPushButton* m_openButton = nullptr;  // "Open Folder" of the recovery window

 private:
  void OnCancel();
  void OnEnd(jobs::JobResult result);

  std::string m_section;
  std::string m_cancelKey;
  const jobs::ITextSource* m_texts;
  IDialogs& m_dialogs;
  jobs::CJob* m_job = nullptr;
  std::map<jobs::ViewLine, QLabel*> m_lines;
  QProgressBar* m_bar = nullptr;
  QPushButton* m_cancelButton = nullptr;
  QPushButton* m_finishButton = nullptr;
  QTreeWidget* m_details = nullptr;
  bool m_ended = false;
  bool m_staysOpen = false;
  int m_showDelayMs = 0;
  bool m_asking = false;
  jobs::JobResult m_result = jobs::JobResult::kNone;
  std::vector<jobs::JobEvent> m_posted;
  std::vector<std::pair<jobs::MessageKind, std::string>> m_notes;
};

// The scan job's window (section "ScanWnd", cancel question "MSG0709").
class CScanProcessWnd final : public CJobProcessWnd {
  Q_OBJECT
 public:
  CScanProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs);
};

// The search job's window ("SearchProcessWnd", "MSG1205").
class CSearchProcessWnd final : public CJobProcessWnd {
  Q_OBJECT
 public:
  CSearchProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs);
};

// The recovery job's window ("RecoverProcessWnd", "MSG1103"), 500 x 250 at
// least, with its detail list of every file (below the output folder) and
// "Open Folder"; it stays open after the job until "FinishBtn" (Close) is
// pressed, and ends saying what was saved where ("7 files recovered to
// ..."). job must outlive the window's Run.
class CRecoverProcessWnd final : public CJobProcessWnd {
  Q_OBJECT
 public:
  CRecoverProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs, const QString& folder);
  // The job whose counts the last line tells.
  void Watch(const jobs::CRecoveryJob* job) { m_job = job; }
  int DetailRowCount() const;
  // The last line ("stage") once the job ended.
  QString EndText() const;

 protected:
  void JobEnded(jobs::JobResult result) override;
  QString DetailPath(const QString& path) const override;

 private:
  QString m_folder;
  const jobs::CRecoveryJob* m_job = nullptr;
};

// The image job's window ("CreateImageWnd", "MSG0306").
class CCreateImageProcessWnd final : public CJobProcessWnd {
  Q_OBJECT
 public:
  CCreateImageProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs);
};

// The preview job's window ("PreviewProcessWnd", "MSG0903").
class CPreviewProcessWnd final : public CJobProcessWnd {
  Q_OBJECT
 public:
  CPreviewProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs);
};

}  // namespace gui
