// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/job.h"

#include <exception>

#include "jobs/error_text.h"
#include "platform/error.h"

namespace jobs {

CJob::CJob(JobKind kind, IJobView& view, const ITextSource* texts) : m_kind(kind), m_view(view), m_texts(texts) {}

CJob::~CJob() {
  JoinWorker();
}

void CJob::JoinWorker() {
  if (!m_thread.joinable()) return;
  if (m_thread.get_id() == std::this_thread::get_id()) {
    m_thread.detach();  // destroyed from End on its own worker: the thread returns right after
  } else {
    m_thread.join();
  }
}

platform::Status CJob::Start() {
  if (m_started.exchange(true)) return platform::kErrorBusy;
  if (!JobControl::For(m_kind).TryClaim(this)) {
    m_started = false;
    return platform::kErrorBusy;
  }
  m_thread = std::thread([this] { ThreadMain(); });
  return platform::kStatusOk;
}

JobResult CJob::Wait() {
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
  return m_result.load();
}

bool CJob::WaitUntilDone(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_doneMutex);
  return m_doneChanged.wait_for(lock, timeout, [this] { return m_done.load(); });
}

void CJob::BeginCancel() {
  JobControl::For(m_kind).BeginCancel(this);
}

void CJob::EndCancel(bool confirmed) {
  JobControl::For(m_kind).AnswerCancel(this, confirmed);
}

void CJob::Cancel() {
  BeginCancel();
  EndCancel(true);
}

int32_t CJob::CheckPoint() {
  const int32_t r = JobControl::For(m_kind).CheckPoint();
  if (r != 0) m_cancelSeen = true;
  return r;
}

void CJob::ThreadMain() {
  JobResult result = JobResult::kFailed;
  try {
    result = Run();
  } catch (const std::exception&) {
    // Memory ran out (a result list of millions of items): the job fails and says so; the process goes on.
    m_view.Notify(MessageKind::kError, ErrorText(m_texts, platform::kStatusOutOfMemory));
  }
  m_result = result;
  JobControl::For(m_kind).Release(this);
  {
    std::lock_guard lock(m_doneMutex);
    m_done = true;
  }
  m_doneChanged.notify_all();
  // The last touch of this object: after End the front end may destroy it.
  IJobView& view = m_view;
  view.End(result);
}

}  // namespace jobs
