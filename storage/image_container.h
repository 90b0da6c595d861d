// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "storage/sector_source.h"

namespace storage {

// The format an image file is stored in, told by its signature, never by its
// name. Everything that is not a known container is raw: a sector-by-sector
// copy of the media.
enum class ContainerKind {
  kRaw,
  kEwf,         // Expert Witness evidence file set: E01 (EnCase), Ex01, s01 (SMART)
  kEwfLogical,  // logical evidence file (L01, Lx01): holds files, not a disk; never opened
  kVhd,         // Virtual Hard Disk: fixed, dynamic or differencing
  kVhdx,        // Virtual Hard Disk v2: fixed, dynamic or differencing
  kVmdk,        // VMware disk: descriptor file, sparse extent or ESX sparse extent
  kQcow,        // QEMU copy-on-write, versions 1 to 3
};

// "raw", "E01", "L01", "VHD", "VHDX", "VMDK", "QCOW2".
const char* ContainerKindName(ContainerKind kind);

// Bytes DetectContainer wants from each end of a file.
inline constexpr size_t kContainerProbeBytes = 512;

// The kind of an image from its first bytes (head) and its last 512 bytes
// (tail; empty when the file is shorter than 1024 bytes). A fixed VHD is raw
// data followed by a 512-byte footer, so only its tail tells.
ContainerKind DetectContainer(std::span<const uint8_t> head, std::span<const uint8_t> tail);

// What an image file holds, as its reader found it on opening.
struct ContainerInfo {
  ContainerKind kind = ContainerKind::kRaw;
  uint64_t mediaBytes = 0;        // length of the media the image holds (a raw file's length)
  uint32_t bytesPerSector = 512;  // the media's logical sector size
  // Every file the media is read from: the image (an E01 set's first segment), then its
  // further segments, extents and parent or backing files.
  std::vector<std::string> files;
  std::string detail;     // "dynamic", "differencing", "17 segment files", ... (may be empty)
  std::string storedMd5;  // hash of the media recorded in the image, lowercase hex; empty when none
  std::string storedSha1;
  std::string damage;  // why parts of the media cannot be read (a missing segment...); empty when none seen
};

// A reader of the media inside a container file. Read-only: no backend is
// ever asked to write. One thread at a time.
class ContainerDevice : public ISourceDevice {
 public:
  const ContainerInfo& Info() const { return m_info; }
  std::string LastErrorText() const override { return m_lastError; }
  // The container opened again from its first file.
  std::unique_ptr<ISourceDevice> OpenAnother() const override;

 protected:
  // Records why a read at mediaOffset failed, for LastErrorText and for
  // TakeSourceFailure (storage/source_failure.h), and returns 30.
  Status FailRead(uint64_t mediaOffset, size_t byteCount, const std::string& reason);

  ContainerInfo m_info;
  std::string m_lastError;
};

// An opened image: the device that reads its media, and what it is.
struct OpenedImage {
  std::unique_ptr<ISourceDevice> device;
  ContainerInfo info;
};

// Opens path read-only and picks its reader by signature: block devices and
// files without a container signature are raw (the RawFile itself). Returns
// 0, the open's system status (2 when a file of the set is missing), 30 for
// a damaged container or 31 for one that cannot be read (logical evidence,
// encryption, unsupported features); errorText then says why, naming the file.
[[nodiscard]] Status OpenImageDevice(const std::string& path, OpenedImage* out, std::string* errorText);

// What the image at path holds, without keeping it open. As OpenImageDevice.
[[nodiscard]] Status DescribeImage(const std::string& path, ContainerInfo* info, std::string* errorText);

}  // namespace storage
