// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/error.h"
#include "platform/file_time.h"
#include "platform/file_times_posix.h"
#include "platform/folders.h"
#include "platform/raw_file.h"

namespace platform {

RawFile::~RawFile() {
  Close();
}

RawFile::RawFile(RawFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_isBlockDevice(other.m_isBlockDevice) {}

RawFile& RawFile::operator=(RawFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = std::exchange(other.m_fd, -1);
    m_isBlockDevice = other.m_isBlockDevice;
  }
  return *this;
}

Status RawFile::Open(const std::string& path) {
  Close();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const Status s = LastError();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return kErrorNotSupported;  // open says ENXIO
    return s;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    Status s = LastError();
    ::close(fd);
    return s;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return kErrorAccessDenied;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    ::close(fd);
    return kErrorNotSupported;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    Status s = LastError();
    ::close(fd);
    return s;
  }
  m_fd = fd;
  m_isBlockDevice = S_ISBLK(st.st_mode);
  return kStatusOk;
}

void RawFile::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_isBlockDevice = false;
}

Status RawFile::ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) const {
  *bytesRead = 0;
  if (m_fd < 0) return kErrorInvalidHandle;
  for (;;) {
    ssize_t n = ::pread(m_fd, buffer, byteCount, static_cast<off_t>(byteOffset));
    if (n >= 0) {
      *bytesRead = static_cast<size_t>(n);
      return kStatusOk;
    }
    if (errno != EINTR) return LastError();
  }
}

Status RawFile::Length(uint64_t* byteLength) const {
  *byteLength = 0;
  if (m_fd < 0) return kErrorInvalidHandle;
  if (m_isBlockDevice) {
    uint64_t size = 0;
    if (::ioctl(m_fd, BLKGETSIZE64, &size) == 0) {
      *byteLength = size;
      return kStatusOk;
    }
    unsigned long sectors512 = 0;  // fallback: the count in 512-byte units
    if (::ioctl(m_fd, BLKGETSIZE, &sectors512) == 0) {
      *byteLength = static_cast<uint64_t>(sectors512) * 512;
      return kStatusOk;
    }
    return LastError();
  }
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return LastError();
  *byteLength = static_cast<uint64_t>(st.st_size);
  return kStatusOk;
}

uint32_t RawFile::SectorSize() const {
  if (m_fd >= 0 && m_isBlockDevice) {
    int size = 0;
    if (::ioctl(m_fd, BLKSSZGET, &size) == 0 && size > 0) return static_cast<uint32_t>(size);
  }
  return 512;
}

Status RawFile::LastWriteTime(uint64_t* fileTime) const {
  *fileTime = 0;
  if (m_fd < 0) return kErrorInvalidHandle;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return LastError();
  *fileTime = UnixToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return kStatusOk;
}

void RawFile::FlushDeviceBuffers() const {
  if (m_fd >= 0 && m_isBlockDevice) (void)::ioctl(m_fd, BLKFLSBUF, 0);
}

OutputFile::~OutputFile() {
  (void)Close();
}

OutputFile::OutputFile(OutputFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    (void)Close();
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

Status OutputFile::Open(const std::string& path, Mode mode) {
  (void)Close();
  int flags = O_RDWR | O_CREAT | O_CLOEXEC;
  if (mode == Mode::kCreateTruncate) flags |= O_TRUNC;
  if (mode == Mode::kCreateNew) flags |= O_EXCL;
  // Not O_TRUNC yet: only a regular file may be emptied.
  if (mode == Mode::kReplaceOwnFile) flags |= O_NOFOLLOW | O_NONBLOCK;
  // The data folder's files are private; what the user asked for (an image) is a file like any other.
  int fd = ::open(path.c_str(), flags, IsInDataFolder(path) ? 0600 : 0644);
  if (fd < 0) return (mode == Mode::kReplaceOwnFile && errno == ELOOP) ? kErrorAlreadyExists : LastError();
  if (mode == Mode::kReplaceOwnFile) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return kErrorAlreadyExists;
    }
    if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      Status s = LastError();
      ::close(fd);
      return s;
    }
  }
  m_fd = fd;
  return kStatusOk;
}

Status OutputFile::Close() {
  if (m_fd < 0) return kStatusOk;
  Status s = ::close(m_fd) == 0 ? kStatusOk : LastError();
  m_fd = -1;
  return s;
}

Status OutputFile::WriteAt(uint64_t byteOffset, const void* data, size_t byteCount) {
  if (m_fd < 0) return kErrorInvalidHandle;
  auto* p = static_cast<const char*>(data);
  while (byteCount > 0) {
    ssize_t n = ::pwrite(m_fd, p, byteCount, static_cast<off_t>(byteOffset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return kErrorDiskFull;
    p += n;
    byteOffset += static_cast<uint64_t>(n);
    byteCount -= static_cast<size_t>(n);
  }
  return kStatusOk;
}

Status OutputFile::ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) const {
  *bytesRead = 0;
  if (m_fd < 0) return kErrorInvalidHandle;
  auto* p = static_cast<char*>(buffer);
  while (byteCount > 0) {
    ssize_t n = ::pread(m_fd, p, byteCount, static_cast<off_t>(byteOffset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) break;
    p += n;
    *bytesRead += static_cast<size_t>(n);
    byteOffset += static_cast<uint64_t>(n);
    byteCount -= static_cast<size_t>(n);
  }
  return kStatusOk;
}

Status OutputFile::Truncate(uint64_t byteLength) {
  if (m_fd < 0) return kErrorInvalidHandle;
  return ::ftruncate(m_fd, static_cast<off_t>(byteLength)) == 0 ? kStatusOk : LastError();
}

Status OutputFile::Length(uint64_t* byteLength) const {
  *byteLength = 0;
  if (m_fd < 0) return kErrorInvalidHandle;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return LastError();
  *byteLength = static_cast<uint64_t>(st.st_size);
  return kStatusOk;
}

Status OutputFile::SetTimes(uint64_t modified, uint64_t accessed, TimeBasis basis) {
  if (m_fd < 0) return kErrorInvalidHandle;
  struct timespec times[2];
  if (Status s = TimesOf(accessed, modified, basis, times); s != kStatusOk) return s;
  return ::futimens(m_fd, times) == 0 ? kStatusOk : LastError();
}

Status OutputFile::Sync() {
  if (m_fd < 0) return kErrorInvalidHandle;
  return ::fsync(m_fd) == 0 ? kStatusOk : LastError();
}

void OutputFile::DropWrittenPages() {
  if (m_fd >= 0) (void)::posix_fadvise(m_fd, 0, 0, POSIX_FADV_DONTNEED);
}

Status ReadWholeFile(const std::string& path, std::string* out, uint64_t maxBytes) {
  out->clear();
  RawFile file;
  if (Status s = file.Open(path); s != kStatusOk) return s;
  uint64_t length = 0;
  if (Status s = file.Length(&length); s != kStatusOk) return s;
  if (length > maxBytes) length = maxBytes;
  out->resize(static_cast<size_t>(length));
  size_t done = 0;
  while (done < out->size()) {
    size_t n = 0;
    size_t piece = std::min<size_t>(out->size() - done, 65536);
    if (Status s = file.ReadAt(done, out->data() + done, piece, &n); s != kStatusOk) {
      out->resize(done);
      return s;
    }
    if (n == 0) {
      out->resize(done);
      return kStatusReadFault;
    }
    done += n;
  }
  return kStatusOk;
}

}  // namespace platform
