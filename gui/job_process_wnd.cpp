// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/job_process_wnd.h"

#include <QEventLoop>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <future>
#include <memory>

#include "app/recovery_destination.h"
#include "gui/dialogs.h"
#include "jobs/text_format.h"

namespace gui {
namespace {

struct LineInfo {
  jobs::ViewLine line;
  const char* name;  // the control's name and its key in the window's section
};

constexpr LineInfo kLines[] = {
    {jobs::ViewLine::kStage, "stage"},     {jobs::ViewLine::kSourceName, "source"},
    {jobs::ViewLine::kCurrent, "current"}, {jobs::ViewLine::kPercent, "percent"},
    {jobs::ViewLine::kSector, "sector"},   {jobs::ViewLine::kFilesFound, "files"},
    {jobs::ViewLine::kCount, "count"},     {jobs::ViewLine::kSpeed, "speed"},
    {jobs::ViewLine::kTime, "time"},       {jobs::ViewLine::kBadSectors, "badsectors"},
};

// The answer of a question asked on the window thread. When the queued call
// is dropped unrun (the window went away), the question counts as closed.
struct PendingAnswer {
  std::promise<jobs::Answer> promise;
  bool answered = false;
  void Give(jobs::Answer answer) {
    if (answered) return;
    answered = true;
    promise.set_value(answer);
  }
  ~PendingAnswer() { Give(jobs::Answer::kClosed); }
};

}  // namespace

CJobProcessWnd::CJobProcessWnd(QWidget* parent, std::string_view section, std::string_view cancelKey,
                               const jobs::ITextSource* texts, IDialogs& dialogs)
    : QDialog(parent), m_section(section), m_cancelKey(cancelKey), m_texts(texts), m_dialogs(dialogs) {
  setObjectName(QString::fromUtf8(section.data(), static_cast<int>(section.size())));
  setModal(true);
  setWindowTitle(WindowText("title"));
  setMinimumWidth(460);
  auto* layout = new QVBoxLayout(this);
  for (const LineInfo& info : kLines) {
    auto* label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(info.name));
    label->setTextFormat(Qt::PlainText);
    label->setText(WindowText(info.name));
    label->setVisible(!label->text().isEmpty() && info.line != jobs::ViewLine::kSector &&
                      info.line != jobs::ViewLine::kFilesFound);
    label->setWordWrap(true);
    layout->addWidget(label);
    m_lines[info.line] = label;
  }
  m_bar = new QProgressBar(this);
  m_bar->setObjectName(QStringLiteral("progress"));
  m_bar->setRange(0, 100);
  m_bar->setValue(0);
  layout->addWidget(m_bar);
  m_details = new QTreeWidget(this);
  m_details->setObjectName(QStringLiteral("DetailList"));
  m_details->setColumnCount(2);
  m_details->setHeaderLabels({WindowText("File"), WindowText("Status")});
  m_details->setRootIsDecorated(false);
  m_details->header()->setStretchLastSection(true);
  m_details->hide();
  layout->addWidget(m_details, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  m_openButton = new QPushButton(WindowText("OpenBtn"), this);
  m_openButton->setObjectName(QStringLiteral("OpenBtn"));
  m_openButton->hide();
  buttons->addWidget(m_openButton);
  m_finishButton = new QPushButton(this);
  m_finishButton->setObjectName(QStringLiteral("FinishBtn"));
  m_finishButton->setText(WindowText("FinishBtn").isEmpty() ? QStringLiteral("Finish") : WindowText("FinishBtn"));
  m_finishButton->hide();
  buttons->addWidget(m_finishButton);
  m_cancelButton = new QPushButton(this);
  m_cancelButton->setObjectName(QStringLiteral("cancelbtn"));
  QString cancelText = WindowText("cancelbtn");
  if (cancelText.isEmpty()) cancelText = WindowText("CancelBtn");
  m_cancelButton->setText(cancelText.isEmpty() ? QStringLiteral("Cancel") : cancelText);
  buttons->addWidget(m_cancelButton);
  layout->addLayout(buttons);
  connect(m_cancelButton, &QPushButton::clicked, this, &CJobProcessWnd::OnCancel);
  connect(m_finishButton, &QPushButton::clicked, this, [this] { done(static_cast<int>(m_result)); });
}

CJobProcessWnd::~CJobProcessWnd() = default;

QString CJobProcessWnd::WindowText(std::string_view key) const {
  return m_texts != nullptr ? Q(m_texts->Text(m_section, key)) : QString();
}

jobs::JobResult CJobProcessWnd::Run(jobs::CJob& job) {
  m_job = &job;
  m_ended = false;
  m_result = jobs::JobResult::kNone;
  if (job.Start() != platform::kStatusOk) {
    m_job = nullptr;
    return jobs::JobResult::kFailed;
  }
  if (m_showDelayMs > 0) {
    // A short job ends before its window would show; no input reaches the
    // other windows meanwhile (the job's own questions open boxes of their own).
    QEventLoop wait;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &wait, &QEventLoop::quit);
    connect(this, &QDialog::finished, &wait, &QEventLoop::quit);
    timer.start(m_showDelayMs);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
  }
  if (!m_ended) exec();
  // exec ends only through OnEnd or Finish, both after End.
  m_job = nullptr;
  return m_result;
}

void CJobProcessWnd::reject() {
  if (m_ended) {
    done(static_cast<int>(m_result));
    return;
  }
  OnCancel();
}

void CJobProcessWnd::OnCancel() {
  if (m_ended || m_job == nullptr || m_asking) return;
  m_asking = true;
  m_job->BeginCancel();  // the worker stops at its next report until the answer
  const jobs::Answer answer =
      m_dialogs.Ask(this, jobs::MessageKind::kQuestion, Q(jobs::MessageText(m_texts, m_cancelKey)));
  m_asking = false;
  if (m_job != nullptr) m_job->EndCancel(answer == jobs::Answer::kOk);
}

QLabel* CJobProcessWnd::Line(jobs::ViewLine line) const {
  auto it = m_lines.find(line);
  return it == m_lines.end() ? nullptr : it->second;
}

void CJobProcessWnd::OnEnd(jobs::JobResult result) {
  m_ended = true;
  m_result = result;
  m_cancelButton->hide();
  JobEnded(result);
  if (!m_staysOpen) {
    done(static_cast<int>(result));
    return;
  }
  m_finishButton->show();
  m_finishButton->setDefault(true);
  m_finishButton->setFocus();
  if (m_openButton != nullptr) m_openButton->setEnabled(true);
}

void CJobProcessWnd::SetLine(jobs::ViewLine line, const std::string& text) {
  QMetaObject::invokeMethod(
      this,
      [this, line, t = Q(text)] {
        auto it = m_lines.find(line);
        if (it == m_lines.end()) return;
        it->second->setText(t);
        it->second->setVisible(!t.isEmpty());
      },
      Qt::QueuedConnection);
}

void CJobProcessWnd::SetBar(int32_t percent) {
  QMetaObject::invokeMethod(
      this,
      [this, percent] {
        m_bar->setValue(std::clamp(percent, 0, 100));
        emit Progressed(percent);
      },
      Qt::QueuedConnection);
}

void CJobProcessWnd::ShowControl(jobs::ViewControl control, bool visible) {
  QMetaObject::invokeMethod(
      this,
      [this, control, visible] {
        switch (control) {
          case jobs::ViewControl::kSectorLine: m_lines[jobs::ViewLine::kSector]->setVisible(visible); break;
          case jobs::ViewControl::kFilesLine: m_lines[jobs::ViewLine::kFilesFound]->setVisible(visible); break;
          case jobs::ViewControl::kFinishButton: m_finishButton->setVisible(visible); break;
          case jobs::ViewControl::kCancelButton: m_cancelButton->setVisible(visible && !m_ended); break;
        }
      },
      Qt::QueuedConnection);
}

void CJobProcessWnd::AddDetailRow(const jobs::DetailRow& row, size_t position) {
  QMetaObject::invokeMethod(
      this,
      [this, path = Q(row.path), status = Q(row.status), failed = row.failed, position] {
        auto* item = new QTreeWidgetItem({DetailPath(path), status});
        item->setToolTip(0, path);
        if (failed) item->setForeground(1, QColor(0xd3, 0x2f, 0x2f));  // red on light and dark lists
        const int at =
            static_cast<int>(std::min<size_t>(position, static_cast<size_t>(m_details->topLevelItemCount())));
        m_details->insertTopLevelItem(at, item);
      },
      Qt::QueuedConnection);
}

void CJobProcessWnd::Notify(jobs::MessageKind kind, const std::string& text) {
  // Shown together after the job: one box, never a box per skipped source.
  QMetaObject::invokeMethod(
      this, [this, kind, text] { m_notes.emplace_back(kind, text); }, Qt::QueuedConnection);
}

jobs::Answer CJobProcessWnd::Ask(jobs::MessageKind kind, const std::string& text) {
  auto pending = std::make_shared<PendingAnswer>();
  std::future<jobs::Answer> answer = pending->promise.get_future();
  QMetaObject::invokeMethod(
      this, [this, pending, kind, t = Q(text)]() mutable { pending->Give(m_dialogs.Ask(this, kind, t)); },
      Qt::QueuedConnection);
  pending.reset();  // the queued call holds the only reference now
  return answer.get();
}

void CJobProcessWnd::Post(jobs::JobEvent event) {
  QMetaObject::invokeMethod(
      this, [this, event] { m_posted.push_back(event); }, Qt::QueuedConnection);
}

void CJobProcessWnd::End(jobs::JobResult result) {
  QMetaObject::invokeMethod(
      this, [this, result] { OnEnd(result); }, Qt::QueuedConnection);
}

CScanProcessWnd::CScanProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs)
    : CJobProcessWnd(parent, "ScanWnd", "MSG0709", texts, dialogs) {}

CSearchProcessWnd::CSearchProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs)
    : CJobProcessWnd(parent, "SearchProcessWnd", "MSG1205", texts, dialogs) {}

CRecoverProcessWnd::CRecoverProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs,
                                       const QString& folder)
    : CJobProcessWnd(parent, "RecoverProcessWnd", "MSG1103", texts, dialogs), m_folder(folder) {
  SetStaysOpenAtEnd(true);
  resize(620, 420);
  DetailList()->show();
  DetailList()->setTextElideMode(Qt::ElideMiddle);
  DetailList()->header()->setStretchLastSection(false);
  DetailList()->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  DetailList()->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  DetailList()->setAccessibleName(WindowText("File"));
  // Where the files go, while they go there.
  if (QLabel* stage = Line(jobs::ViewLine::kStage)) {
    const QString saving = Q(jobs::FormatText(Texts() != nullptr ? Texts()->Text("RecoverProcessWnd", "Saving") : "",
                                              {folder.toStdString()}));
    if (!saving.isEmpty()) stage->setText(saving);
    stage->setVisible(!stage->text().isEmpty());
  }
  m_openButton->setText(WindowText("OpenBtn").isEmpty() ? QStringLiteral("Open Folder") : WindowText("OpenBtn"));
  m_openButton->show();
  m_openButton->setEnabled(false);
  connect(m_openButton, &QPushButton::clicked, this, [&dialogs, folder] { dialogs.OpenFolder(folder); });
}

int CRecoverProcessWnd::DetailRowCount() const {
  return DetailList()->topLevelItemCount();
}

QString CRecoverProcessWnd::EndText() const {
  const QLabel* stage = Line(jobs::ViewLine::kStage);
  return stage != nullptr ? stage->text() : QString();
}

QString CRecoverProcessWnd::DetailPath(const QString& path) const {
  return Q(app::PathBelowFolder(path.toStdString(), m_folder.toStdString()));
}

void CRecoverProcessWnd::JobEnded(jobs::JobResult result) {
  const int32_t processed = m_job != nullptr ? m_job->Processed() : 0;
  const int32_t failed = m_job != nullptr ? m_job->Failed() : 0;
  const QString end =
      Q(app::RecoveryEndText(result, processed - failed, failed, m_folder.toStdString(), Texts(),
                             [](uint64_t n) { return QLocale().toString(qulonglong(n)).toStdString(); }));
  if (QLabel* stage = Line(jobs::ViewLine::kStage)) {
    stage->setText(end);
    stage->setVisible(!end.isEmpty());
    QFont bold = stage->font();
    bold.setBold(true);
    stage->setFont(bold);
  }
  // The lines of a running job say nothing any more.
  for (jobs::ViewLine line : {jobs::ViewLine::kCurrent, jobs::ViewLine::kPercent}) {
    if (QLabel* l = Line(line)) l->hide();
  }
  Bar()->hide();
  const QString close = WindowText("CloseBtn");
  if (!close.isEmpty()) FinishButton()->setText(close);
}

CCreateImageProcessWnd::CCreateImageProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs)
    : CJobProcessWnd(parent, "CreateImageWnd", "MSG0306", texts, dialogs) {}

CPreviewProcessWnd::CPreviewProcessWnd(QWidget* parent, const jobs::ITextSource* texts, IDialogs& dialogs)
    : CJobProcessWnd(parent, "PreviewProcessWnd", "MSG0903", texts, dialogs) {
  SetShowDelayMs(400);  // most previews are ready before a window would be seen
}

}  // namespace gui
