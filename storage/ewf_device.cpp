// SPDX-License-Identifier: GPL-3.0-or-later
// Expert Witness (E01) segment sets through libewf.
#include <libewf.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/folders.h"
#include "storage/container_backends.h"
#include "storage/library_error.h"

namespace storage {
namespace {

using EwfError = LibraryError<libewf_error_t, libewf_error_backtrace_sprint, libewf_error_free>;

struct HandleDeleter {
  void operator()(libewf_handle_t* handle) const {
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
  }
};

// The segment file names libewf globbed from the first one.
class SegmentNames {
 public:
  SegmentNames() = default;
  ~SegmentNames() {
    if (m_names != nullptr) libewf_glob_free(m_names, m_count, nullptr);
  }
  SegmentNames(const SegmentNames&) = delete;
  SegmentNames& operator=(const SegmentNames&) = delete;

  // False when the name does not follow the segment naming scheme.
  bool Glob(const std::string& path) {
    EwfError error;
    return libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &m_names, &m_count, error.Out()) == 1 &&
           m_count > 0;
  }
  std::vector<std::string> List() const { return {m_names, m_names + m_count}; }

 private:
  char** m_names = nullptr;
  int m_count = 0;
};

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    text += digits;
  }
  return text;
}

// Reads the media of an E01 set. libewf answers a chunk that fails its
// checksum, or that lies in a missing segment, with zeros and a note in its
// checksum-error list; this device turns every such range into a failed
// read, so a hole is never taken for data.
class EwfDevice final : public ContainerDevice {
 public:
  Status Open(const std::string& path, std::string* errorText);
  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override;

 private:
  // Takes the checksum errors libewf noted since the last call into m_badRanges.
  void TakeChecksumErrors();
  // Shortens [offset, offset + *count) to end before the first bad range in
  // it; false when offset itself lies in a bad range (*badEnd: where it ends).
  bool ClipBeforeBadRange(uint64_t offset, size_t* count, uint64_t* badEnd) const;

  std::unique_ptr<libewf_handle_t, HandleDeleter> m_handle;
  uint32_t m_takenErrors = 0;
  std::map<uint64_t, uint64_t> m_badRanges;  // media byte start → end (exclusive), disjoint
};

Status EwfDevice::Open(const std::string& path, std::string* errorText) {
  SegmentNames names;
  std::vector<std::string> segments = names.Glob(path) ? names.List() : std::vector<std::string>{};
  const bool globbed = !segments.empty();
  if (!globbed) segments = {path};  // a name outside the E01, E02... scheme: that file alone
  std::vector<char*> segmentArgs;
  for (auto& s : segments) segmentArgs.push_back(s.data());

  EwfError error;
  libewf_handle_t* raw = nullptr;
  if (libewf_handle_initialize(&raw, error.Out()) != 1) {
    *errorText = "'" + path + "': " + error.Text();
    return platform::kStatusOutOfMemory;
  }
  m_handle.reset(raw);
  if (libewf_handle_open(m_handle.get(), segmentArgs.data(), static_cast<int>(segmentArgs.size()), LIBEWF_OPEN_READ,
                         error.Out()) != 1) {
    *errorText = "cannot open '" + path + "' as an E01 segment set: " + error.Text();
    return platform::kStatusReadFault;
  }
  size64_t mediaBytes = 0;
  uint32_t bytesPerSector = 0;
  if (libewf_handle_get_media_size(m_handle.get(), &mediaBytes, error.Out()) != 1 ||
      libewf_handle_get_bytes_per_sector(m_handle.get(), &bytesPerSector, error.Out()) != 1) {
    *errorText = "'" + path + "': no media size in the E01 volume section: " + error.Text();
    return platform::kStatusReadFault;
  }
  m_info.kind = ContainerKind::kEwf;
  m_info.mediaBytes = mediaBytes;
  m_info.bytesPerSector = bytesPerSector >= 512 && bytesPerSector <= 65536 ? bytesPerSector : 512;
  m_info.files = segments;
  m_info.detail = std::to_string(segments.size()) + (segments.size() == 1 ? " segment file" : " segment files");
  uint8_t md5[16] = {}, sha1[20] = {};
  if (libewf_handle_get_md5_hash(m_handle.get(), md5, sizeof md5, error.Out()) == 1) m_info.storedMd5 = Hex(md5, 16);
  if (libewf_handle_get_sha1_hash(m_handle.get(), sha1, sizeof sha1, error.Out()) == 1) {
    m_info.storedSha1 = Hex(sha1, 20);
  }
  if (libewf_handle_segment_files_corrupted(m_handle.get(), error.Out()) == 1) {
    const std::string& last = segments.back();
    std::string next = globbed ? NextSegmentName(last) : std::string();
    m_info.damage = "the segment set does not end with '" + last + "'";
    m_info.damage += next.empty() || platform::PathExists(next)
                         ? ": it is truncated or damaged"
                         : ": segment '" + next + "' is missing, or '" + last + "' is truncated";
  }
  return platform::kStatusOk;
}

void EwfDevice::TakeChecksumErrors() {
  EwfError error;
  uint32_t count = 0;
  if (libewf_handle_get_number_of_checksum_errors(m_handle.get(), &count, error.Out()) != 1) return;
  for (; m_takenErrors < count; ++m_takenErrors) {
    uint64_t firstSector = 0, sectorCount = 0;
    if (libewf_handle_get_checksum_error(m_handle.get(), m_takenErrors, &firstSector, &sectorCount, error.Out()) != 1) {
      continue;
    }
    uint64_t start = 0, bytes = 0, end = 0;
    if (__builtin_mul_overflow(firstSector, m_info.bytesPerSector, &start) ||
        __builtin_mul_overflow(sectorCount, m_info.bytesPerSector, &bytes) ||
        __builtin_add_overflow(start, bytes, &end)) {
      end = UINT64_MAX;
    }
    if (start >= end) continue;
    // Merge with every range it touches.
    auto it = m_badRanges.upper_bound(start);
    if (it != m_badRanges.begin() && std::prev(it)->second >= start) --it;
    while (it != m_badRanges.end() && it->first <= end) {
      start = std::min(start, it->first);
      end = std::max(end, it->second);
      it = m_badRanges.erase(it);
    }
    m_badRanges.emplace(start, end);
  }
}

bool EwfDevice::ClipBeforeBadRange(uint64_t offset, size_t* count, uint64_t* badEnd) const {
  auto it = m_badRanges.upper_bound(offset);
  if (it != m_badRanges.begin() && std::prev(it)->second > offset) {
    *badEnd = std::prev(it)->second;
    return false;
  }
  if (it != m_badRanges.end() && it->first - offset < *count) *count = static_cast<size_t>(it->first - offset);
  return true;
}

Status EwfDevice::ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) {
  *bytesRead = 0;
  if (byteOffset >= m_info.mediaBytes || byteCount == 0) return platform::kStatusOk;
  size_t count = static_cast<size_t>(std::min<uint64_t>(byteCount, m_info.mediaBytes - byteOffset));
  uint64_t badEnd = 0;
  const char* kBadChunk = m_info.damage.empty() ? "the chunk failed its checksum"
                                                : "the chunk failed its checksum, or its segment file is missing";
  if (!ClipBeforeBadRange(byteOffset, &count, &badEnd)) {
    return FailRead(byteOffset, static_cast<size_t>(std::min<uint64_t>(byteCount, badEnd - byteOffset)), kBadChunk);
  }
  EwfError error;
  ssize_t got = libewf_handle_read_random(m_handle.get(), buffer, count, static_cast<off64_t>(byteOffset), error.Out());
  TakeChecksumErrors();
  if (got < 0) return FailRead(byteOffset, count, error.Text());
  size_t valid = static_cast<size_t>(got);
  if (!ClipBeforeBadRange(byteOffset, &valid, &badEnd)) {
    return FailRead(byteOffset, static_cast<size_t>(std::min<uint64_t>(count, badEnd - byteOffset)), kBadChunk);
  }
  *bytesRead = valid;
  return platform::kStatusOk;
}

}  // namespace

// libewf 20140813 leaks the buffer of a chunk that is missing from its tables
// (a truncated or missing segment), once per such read; this device reads a
// bad range only once. Sanitizer builds are told the leak is the library's.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libewf_chunk_data_initialize\n";
}

Status OpenEwfDevice(const std::string& path, std::unique_ptr<ContainerDevice>* device, std::string* errorText) {
  auto ewf = std::make_unique<EwfDevice>();
  if (Status s = ewf->Open(path, errorText); s != platform::kStatusOk) return s;
  *device = std::move(ewf);
  return platform::kStatusOk;
}

}  // namespace storage
