// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/error.h"
#include "platform/file_lock.h"

namespace platform {

FileLock::~FileLock() {
  Unlock();
}

FileLock::FileLock(FileLock&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Unlock();
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

Status FileLock::Lock(const std::string& path, Kind kind, Mode mode) {
  Unlock();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return LastError();
  int operation = kind == Kind::kShared ? LOCK_SH : LOCK_EX;
  if (mode == Mode::kTryOnly) operation |= LOCK_NB;
  int r = 0;
  do {
    r = ::flock(fd, operation);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const Status s = errno == EWOULDBLOCK ? kErrorAlreadyExists : LastError();
    ::close(fd);
    return s;
  }
  m_fd = fd;
  return kStatusOk;
}

void FileLock::Unlock() {
  if (m_fd < 0) return;
  // Closing (not LOCK_UN) ends the lock: a forked child that drops its copy
  // of the descriptor must not end the parent's lock with it.
  ::close(m_fd);
  m_fd = -1;
}

}  // namespace platform
