// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_time.h"
#include "platform/status.h"

namespace platform {

// A file or block device opened read-only. Owns its descriptor; move-only.
// Not safe for concurrent use; ReadAt is positioned (pread) and keeps no state.
class RawFile {
 public:
  RawFile() = default;
  ~RawFile();
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  RawFile(RawFile&& other) noexcept;
  RawFile& operator=(RawFile&& other) noexcept;

  // Opens path with O_RDONLY. Only regular files and block devices are
  // taken: a folder is refused with kErrorAccessDenied, anything else (a
  // FIFO, a socket, a character device) with kErrorNotSupported, without
  // waiting for a writer.
  [[nodiscard]] Status Open(const std::string& path);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  bool IsBlockDevice() const { return m_isBlockDevice; }

  // Reads up to byteCount bytes at byteOffset; *bytesRead is 0 at end of file.
  [[nodiscard]] Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) const;
  // Length in bytes: the file size, or BLKGETSIZE64 for a block device.
  [[nodiscard]] Status Length(uint64_t* byteLength) const;
  // Logical sector size: BLKSSZGET for a block device, 512 for a file.
  uint32_t SectorSize() const;
  // Last modification time as FILETIME (100 ns since 1601).
  [[nodiscard]] Status LastWriteTime(uint64_t* fileTime) const;
  // Drops the device's buffer cache (BLKFLSBUF); ignored for files.
  void FlushDeviceBuffers() const;

 private:
  int m_fd = -1;
  bool m_isBlockDevice = false;
};

// A file this program writes (results, recovered files, images). Never used
// on a source. Owns its descriptor; move-only.
Status CreateNewFileBelow(const std::string& root, const std::string& relative, class OutputFile* out);
Status CreateUnnamedFileBelow(const std::string& root, const std::string& folderRelative, class OutputFile* out);
Status LinkFileBelow(const class OutputFile& file, const std::string& root, const std::string& relative);

class OutputFile {
 public:
  // kReplaceOwnFile: create, or empty an existing regular file; a symbolic
  // link, a device or a FIFO at the path is refused (kErrorAlreadyExists)
  // instead of written through.
  enum class Mode { kCreateOrOpen, kCreateTruncate, kCreateNew, kReplaceOwnFile };
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;

  [[nodiscard]] Status Open(const std::string& path, Mode mode);
  // Flushes to the kernel and closes; returns the first error met.
  Status Close();
  bool IsOpen() const { return m_fd >= 0; }

  // Writes all bytes at byteOffset (retrying short writes).
  [[nodiscard]] Status WriteAt(uint64_t byteOffset, const void* data, size_t byteCount);
  [[nodiscard]] Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) const;
  [[nodiscard]] Status Truncate(uint64_t byteLength);
  [[nodiscard]] Status Length(uint64_t* byteLength) const;
  [[nodiscard]] Status Sync();
  // Lets the system take back the memory that holds the file's pages once
  // they are on the medium: a recovery of many gigabytes does not crowd
  // everything else out of memory, and the next files are written into
  // memory already in use instead of memory the system must first supply.
  // Pages not yet written out stay. Only a hint: nothing fails.
  void DropWrittenPages();
  // Sets the file's modification and access times (FILETIMEs read with
  // basis); a time of 0 is left as it is. 87 when a time cannot be represented.
  [[nodiscard]] Status SetTimes(uint64_t modified, uint64_t accessed, TimeBasis basis);

 private:
  friend Status CreateNewFileBelow(const std::string& root, const std::string& relative, OutputFile* out);
  friend Status CreateUnnamedFileBelow(const std::string& root, const std::string& folderRelative, OutputFile* out);
  friend Status LinkFileBelow(const OutputFile& file, const std::string& root, const std::string& relative);
  int m_fd = -1;
};

// Reads a whole small file into out (at most maxBytes). Missing file: its status.
[[nodiscard]] Status ReadWholeFile(const std::string& path, std::string* out, uint64_t maxBytes = 1u << 30);

}  // namespace platform
