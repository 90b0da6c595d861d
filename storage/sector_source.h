// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/status.h"

namespace storage {

using platform::Status;

// What a sector source reads from: a disk or image opened read-only, or a
// buffer in memory (tests, fuzzing). Reads are positioned; no write exists.
class ISourceDevice {
 public:
  virtual ~ISourceDevice() = default;
  // Reads up to byteCount bytes at byteOffset; *bytesRead 0 means end of data.
  // A read may stop short of byteCount before bytes that cannot be read; the
  // next read, starting there, then fails.
  [[nodiscard]] virtual Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) = 0;
  // Why the last failed read failed, naming the file and the offset, for
  // people to read; empty when no read has failed.
  virtual std::string LastErrorText() const { return {}; }
  // A second, independent reader of the same media for another thread (a
  // file or disk opened again, a container parsed again); null when this
  // device cannot give one (then only one thread reads it).
  virtual std::unique_ptr<ISourceDevice> OpenAnother() const { return nullptr; }
};

// A handle on a physical disk or an image file plus the number of sectors it
// holds. Sector numbers are absolute; the sector size is passed with every
// read. One thread at a time.
struct SectorSource {
  std::unique_ptr<ISourceDevice> handle;
  uint64_t totalSectors = 0;
  // The unit of totalSectors and of sector numbers: the logical sector size
  // of a disk (or of a disk's container image); 512 for image files and buffers.
  uint32_t deviceSectorSize = 512;
  bool IsOpen() const { return handle != nullptr; }
};

// Both openers pick the reader by the file's signature (see
// storage/image_container.h): a regular file in a container format (E01,
// VHD, VHDX, VMDK, QCOW) is read as the media it holds, everything else as
// raw bytes. Block devices are always raw.
//
// Opens disk N of the disk table read-only. totalSectors = media length /
// sector size (the device's logical sector size, or the container's).
[[nodiscard]] Status OpenDiskSource(SectorSource& source, int32_t diskNumber);
// Opens an image file (or any path) read-only; totalSectors = media length /
// 512. errorText, when given, receives why the open failed, naming the file.
[[nodiscard]] Status OpenImageSource(SectorSource& source, const std::string& path, std::string* errorText = nullptr);

// A source over a copy of bytes in memory; totalSectors = size / 512.
// faultSectors: 512-byte sectors whose bytes fail to read (the read stops
// there, as a failing device would). pieceSizes, when given, receives the
// size of every device read (to observe the 64 KiB piece rule).
struct MemorySourceOptions {
  std::set<uint64_t> faultSectors;
  std::shared_ptr<std::vector<size_t>> pieceSizes;
};
void OpenMemorySource(SectorSource& source, std::vector<uint8_t> bytes, MemorySourceOptions options = {});

// Reads count whole sectors at startSector. 87 when the run ends past
// totalSectors (nothing read); 30 when the data ends or a read fails early;
// 1617 when the device is gone.
// *sectorsRead counts whole sectors that arrived, also on failure.
[[nodiscard]] Status ReadSectors(uint32_t count, SectorSource& source, void* buffer, uint64_t startSector,
                                 uint32_t sectorSize, uint32_t* sectorsRead);

// A second source over the same device, for an engine that takes a source
// of its own while the caller keeps reading the first: reads go to source's
// device, which must outlive the share. Closed when source is.
[[nodiscard]] SectorSource ShareSource(SectorSource& source);

void CloseSource(SectorSource& source);
// Opens *out as an independent reader of source's media, with the same sector
// unit and count, for a thread of its own. 50 when source's device cannot
// give one (a device put in place by SetDeviceWrapper, for one).
[[nodiscard]] Status OpenAnotherSource(const SectorSource& source, SectorSource* out);

// Puts a device between every disk or image opened from a path from now on
// and its readers (tests: reads that fail where a test says, a record of
// what was read); null takes it away. Set while no source is being opened.
using DeviceWrapper =
    std::function<std::unique_ptr<ISourceDevice>(const std::string& path, std::unique_ptr<ISourceDevice> device)>;
void SetDeviceWrapper(DeviceWrapper wrapper);

// Flushes the mounted volume that carries this drive letter (see DriveLetters).
void FlushVolume(uint16_t driveLetter);

// Largest piece a device is asked for in one read.
inline constexpr size_t kReadPieceBytes = 65536;

}  // namespace storage
