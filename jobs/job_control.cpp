// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/job_control.h"

namespace jobs {

JobControl& JobControl::For(JobKind kind) {
  static JobControl controls[5];
  return controls[static_cast<size_t>(kind)];
}

bool JobControl::TryClaim(const void* owner) {
  std::lock_guard lock(m_mutex);
  if (m_owner != nullptr) return false;
  m_owner = owner;
  m_cancel = false;
  m_done = false;
  m_questionOpen = false;
  return true;
}

int32_t JobControl::CheckPoint() {
  std::unique_lock lock(m_mutex);
  m_resumed.wait(lock, [this] { return !m_questionOpen; });
  return m_cancel ? platform::kStatusCancelled : platform::kStatusOk;
}

void JobControl::Release(const void* owner) {
  std::lock_guard lock(m_mutex);
  if (m_owner != owner) return;
  m_done = true;
  m_questionOpen = false;
  m_owner = nullptr;
  m_resumed.notify_all();
}

void JobControl::BeginCancel(const void* owner) {
  std::lock_guard lock(m_mutex);
  if (m_owner == owner && owner != nullptr) m_questionOpen = true;
}

void JobControl::AnswerCancel(const void* owner, bool confirmed) {
  std::lock_guard lock(m_mutex);
  if (m_owner != owner || owner == nullptr) return;
  if (confirmed) m_cancel = true;
  m_questionOpen = false;
  m_resumed.notify_all();
}

bool JobControl::IsCancelled() const {
  std::lock_guard lock(m_mutex);
  return m_cancel;
}

bool JobControl::IsDone() const {
  std::lock_guard lock(m_mutex);
  return m_done;
}

}  // namespace jobs
