// SPDX-License-Identifier: GPL-3.0-or-later
// QCOW2 images, with their chain of backing files, through libqcow.
#include <libqcow.h>

#include <algorithm>
#include <cstring>

#include "platform/folders.h"
#include "storage/container_backends.h"
#include "storage/library_error.h"
#include "storage/qcow_cluster_map.h"

namespace storage {
namespace {

using QcowError = LibraryError<libqcow_error_t, libqcow_error_backtrace_sprint, libqcow_error_free>;

struct FileDeleter {
  void operator()(libqcow_file_t* file) const {
    libqcow_file_close(file, nullptr);
    libqcow_file_free(&file, nullptr);
  }
};

// Reads a QCOW2 image. libqcow decodes the clusters stored in the image
// (plain or compressed); the cluster map says which clusters are not stored
// here: those of the version 3 zero flag read as zeros (libqcow would read
// them from the wrong place), the unallocated ones come from the backing file
// (any image kind, opened through the same choke point) or are zeros, and
// past the backing file's end they are zeros too.
class QcowDevice final : public ContainerDevice {
 public:
  Status Open(const std::string& path, int chainDepth, std::string* errorText);
  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override;

 private:
  static Status OpenLibraryFile(const std::string& path, std::unique_ptr<libqcow_file_t, FileDeleter>* file,
                                std::string* errorText);
  Status ReadStored(uint64_t offset, uint8_t* out, size_t count);
  Status ReadBacking(uint64_t offset, uint8_t* out, size_t count);

  // libqcow refuses to read an image that names a backing file until it is
  // given a parent. This device serves unallocated clusters itself and asks
  // libqcow only for stored ones, so the parent is a stand-in: a second
  // handle on the same image, never read. Freed after m_file.
  std::unique_ptr<libqcow_file_t, FileDeleter> m_standInParent;
  std::unique_ptr<libqcow_file_t, FileDeleter> m_file;
  QcowClusterMap m_map;
  OpenedImage m_backing;  // device empty when the image has no backing file
};

Status QcowDevice::OpenLibraryFile(const std::string& path, std::unique_ptr<libqcow_file_t, FileDeleter>* file,
                                   std::string* errorText) {
  QcowError error;
  libqcow_file_t* raw = nullptr;
  if (libqcow_file_initialize(&raw, error.Out()) != 1) {
    *errorText = "'" + path + "': " + error.Text();
    return platform::kStatusOutOfMemory;
  }
  file->reset(raw);
  if (libqcow_file_open(raw, path.c_str(), LIBQCOW_OPEN_READ, error.Out()) != 1) {
    *errorText = "cannot open '" + path + "' as a QCOW image: " + error.Text();
    return platform::kStatusReadFault;
  }
  return platform::kStatusOk;
}

Status QcowDevice::Open(const std::string& path, int chainDepth, std::string* errorText) {
  if (Status s = m_map.Open(path, errorText); s != platform::kStatusOk) return s;
  if (m_map.EncryptionMethod() != 0) {
    *errorText = "'" + path + "' is encrypted; reading encrypted QCOW images is not supported";
    return platform::kErrorGenFailure;
  }
  QcowError error;
  if (Status s = OpenLibraryFile(path, &m_file, errorText); s != platform::kStatusOk) return s;
  size64_t mediaBytes = 0;
  if (libqcow_file_get_media_size(m_file.get(), &mediaBytes, error.Out()) != 1 || mediaBytes != m_map.MediaBytes()) {
    *errorText = "'" + path + "': the media size in the QCOW header at byte 24 is unreadable";
    return platform::kStatusReadFault;
  }
  m_info.kind = ContainerKind::kQcow;
  m_info.mediaBytes = mediaBytes;
  m_info.bytesPerSector = 512;
  m_info.files = {path};
  m_info.detail = "version " + std::to_string(m_map.Version());
  if (m_map.MarkedCorrupt()) m_info.damage = "QEMU marked '" + path + "' as corrupt";
  if (m_map.BackingFileName().empty()) return platform::kStatusOk;

  const std::string& named = m_map.BackingFileName();
  const std::string backingPath = ResolveChainPath(path, named);
  if (!platform::PathExists(backingPath)) {
    *errorText = "the backing file '" + named + "' of '" + path + "' is missing (looked for '" + backingPath + "')";
    return platform::kErrorFileNotFound;
  }
  if (Status s = OpenImageDeviceInChain(backingPath, chainDepth + 1, &m_backing, errorText); s != platform::kStatusOk) {
    return s;
  }
  if (Status s = OpenLibraryFile(path, &m_standInParent, errorText); s != platform::kStatusOk) return s;
  if (libqcow_file_set_parent_file(m_file.get(), m_standInParent.get(), error.Out()) != 1) {
    *errorText = "'" + path + "': " + error.Text();
    return platform::kStatusReadFault;
  }
  m_info.detail += ", backing file " + named;
  m_info.files.insert(m_info.files.end(), m_backing.info.files.begin(), m_backing.info.files.end());
  return platform::kStatusOk;
}

Status QcowDevice::ReadStored(uint64_t offset, uint8_t* out, size_t count) {
  size_t done = 0;
  while (done < count) {
    QcowError error;
    ssize_t got = libqcow_file_read_buffer_at_offset(m_file.get(), out + done, count - done,
                                                     static_cast<off64_t>(offset + done), error.Out());
    if (got < 0) return FailRead(offset + done, count - done, error.Text());
    if (got == 0) return FailRead(offset + done, count - done, "the stored cluster ends early");
    done += static_cast<size_t>(got);
  }
  return platform::kStatusOk;
}

Status QcowDevice::ReadBacking(uint64_t offset, uint8_t* out, size_t count) {
  const uint64_t backingBytes = m_backing.device ? m_backing.info.mediaBytes : 0;
  size_t done = 0;
  while (done < count && offset + done < backingBytes) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, backingBytes - (offset + done)));
    size_t got = 0;
    Status s = m_backing.device->ReadAt(offset + done, out + done, want, &got);
    if (s != platform::kStatusOk || got == 0) {
      std::string reason = m_backing.device->LastErrorText();
      return FailRead(offset + done, want, "its backing file failed: " + (reason.empty() ? "no data" : reason));
    }
    done += got;
  }
  std::memset(out + done, 0, count - done);  // past the backing file's end, or no backing file
  return platform::kStatusOk;
}

Status QcowDevice::ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) {
  *bytesRead = 0;
  if (byteOffset >= m_info.mediaBytes || byteCount == 0) return platform::kStatusOk;
  const uint64_t end = byteOffset + std::min<uint64_t>(byteCount, m_info.mediaBytes - byteOffset);
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t offset = byteOffset;
  while (offset < end) {
    // One run of clusters in the same state, read with one call.
    QcowClusterState state = QcowClusterState::kUnallocated, next = state;
    uint64_t runEnd = 0, clusterEnd = 0;
    std::string reason;
    if (m_map.StateAt(offset, &state, &runEnd, &reason) != platform::kStatusOk) {
      return offset > byteOffset ? platform::kStatusOk : FailRead(offset, end - offset, reason);
    }
    while (runEnd < end && m_map.StateAt(runEnd, &next, &clusterEnd, &reason) == platform::kStatusOk && next == state) {
      runEnd = clusterEnd;
    }
    const size_t count = static_cast<size_t>(std::min(runEnd, end) - offset);
    uint8_t* at = out + (offset - byteOffset);
    Status s = platform::kStatusOk;
    switch (state) {
      case QcowClusterState::kZero: std::memset(at, 0, count); break;
      case QcowClusterState::kUnallocated: s = ReadBacking(offset, at, count); break;
      case QcowClusterState::kData: s = ReadStored(offset, at, count); break;
    }
    if (s != platform::kStatusOk) {
      if (offset > byteOffset) break;  // hand over what arrived; the next read fails here
      return s;
    }
    offset += count;
    *bytesRead = static_cast<size_t>(offset - byteOffset);
  }
  return platform::kStatusOk;
}

}  // namespace

Status OpenQcowDevice(const std::string& path, int chainDepth, std::unique_ptr<ContainerDevice>* device,
                      std::string* errorText) {
  auto qcow = std::make_unique<QcowDevice>();
  if (Status s = qcow->Open(path, chainDepth, errorText); s != platform::kStatusOk) return s;
  *device = std::move(qcow);
  return platform::kStatusOk;
}

}  // namespace storage
