// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/disk_table.h"
#include "platform/volume.h"
#include "storage/drive_letters.h"
#include "storage/image_container.h"
#include "storage/sector_source.h"

namespace storage {
namespace {

class MemoryDevice final : public ISourceDevice {
 public:
  MemoryDevice(std::shared_ptr<const std::vector<uint8_t>> bytes, MemorySourceOptions options)
      : m_bytes(std::move(bytes)), m_options(std::move(options)) {}

  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    *bytesRead = 0;
    if (m_options.pieceSizes) m_options.pieceSizes->push_back(byteCount);
    const std::vector<uint8_t>& bytes = *m_bytes;
    if (byteOffset >= bytes.size()) return platform::kStatusOk;
    size_t n = std::min<uint64_t>(byteCount, bytes.size() - byteOffset);
    // A fault sector stops the read at its first byte; a read that starts on it fails.
    for (uint64_t s = byteOffset / 512; s * 512 < byteOffset + n; ++s) {
      if (m_options.faultSectors.count(s) != 0) {
        uint64_t faultByte = s * 512;
        if (faultByte <= byteOffset) return platform::kErrorIoDevice;
        n = static_cast<size_t>(faultByte - byteOffset);
        break;
      }
    }
    std::memcpy(buffer, bytes.data() + byteOffset, n);
    *bytesRead = n;
    return platform::kStatusOk;
  }

  // The bytes are shared and never change; a device whose reads are
  // observed (pieceSizes) keeps them to itself.
  std::unique_ptr<ISourceDevice> OpenAnother() const override {
    if (m_options.pieceSizes) return nullptr;
    return std::make_unique<MemoryDevice>(m_bytes, MemorySourceOptions{m_options.faultSectors, nullptr});
  }

 private:
  std::shared_ptr<const std::vector<uint8_t>> m_bytes;
  MemorySourceOptions m_options;
};

// Reads through another source's device, which outlives it.
class SharedDevice final : public ISourceDevice {
 public:
  explicit SharedDevice(ISourceDevice* device) : m_device(device) {}
  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    return m_device->ReadAt(byteOffset, buffer, byteCount, bytesRead);
  }
  std::string LastErrorText() const override { return m_device->LastErrorText(); }
  std::unique_ptr<ISourceDevice> OpenAnother() const override { return m_device->OpenAnother(); }

 private:
  ISourceDevice* m_device;
};

std::mutex& WrapperMutex() {
  static std::mutex mutex;
  return mutex;
}

DeviceWrapper& Wrapper() {
  static DeviceWrapper wrapper;
  return wrapper;
}

// Counts the media in the device's sector size (a disk) or in 512-byte units (an image).
Status OpenFileSource(SectorSource& source, const std::string& path, bool useDeviceSectorSize, std::string* errorText) {
  CloseSource(source);
  OpenedImage image;
  std::string reason;
  if (Status s = OpenImageDevice(path, &image, &reason); s != platform::kStatusOk) {
    if (errorText != nullptr) *errorText = reason;
    return s;
  }
  // deviceSectorSize is always the unit totalSectors and sector numbers count in.
  const uint32_t sectorSize = useDeviceSectorSize ? image.info.bytesPerSector : 512;
  source.deviceSectorSize = sectorSize;
  source.totalSectors = image.info.mediaBytes / sectorSize;
  source.handle = std::move(image.device);
  std::lock_guard lock(WrapperMutex());
  if (Wrapper()) source.handle = Wrapper()(path, std::move(source.handle));
  return platform::kStatusOk;
}

}  // namespace

Status OpenDiskSource(SectorSource& source, int32_t diskNumber) {
  std::string path = platform::DiskPath(diskNumber);
  if (path.empty()) {
    CloseSource(source);
    return platform::kErrorFileNotFound;
  }
  return OpenFileSource(source, path, true, nullptr);
}

Status OpenImageSource(SectorSource& source, const std::string& path, std::string* errorText) {
  return OpenFileSource(source, path, false, errorText);
}

void OpenMemorySource(SectorSource& source, std::vector<uint8_t> bytes, MemorySourceOptions options) {
  source.totalSectors = bytes.size() / 512;
  source.deviceSectorSize = 512;
  source.handle = std::make_unique<MemoryDevice>(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)),
                                                 std::move(options));
}

Status OpenAnotherSource(const SectorSource& source, SectorSource* out) {
  CloseSource(*out);
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  std::unique_ptr<ISourceDevice> device = source.handle->OpenAnother();
  if (!device) return platform::kErrorNotSupported;
  out->handle = std::move(device);
  out->totalSectors = source.totalSectors;
  out->deviceSectorSize = source.deviceSectorSize;
  return platform::kStatusOk;
}

Status ReadSectors(uint32_t count, SectorSource& source, void* buffer, uint64_t startSector, uint32_t sectorSize,
                   uint32_t* sectorsRead) {
  *sectorsRead = 0;
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  if (sectorSize == 0 || startSector > source.totalSectors || count > source.totalSectors - startSector) {
    return platform::kStatusInvalidParameter;
  }
  const uint64_t total = static_cast<uint64_t>(count) * sectorSize;
  const uint64_t base = startSector * sectorSize;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  Status status = platform::kStatusOk;
  while (done < total) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(total - done, kReadPieceBytes));
    size_t got = 0;
    Status s = source.handle->ReadAt(base + done, out + done, piece, &got);
    if (s != platform::kStatusOk || got == 0) {
      // A device that is gone is told apart from sectors that cannot be read.
      status = s == platform::kErrorDeviceRemoved ? s : platform::kStatusReadFault;
      break;
    }
    done += got;
  }
  *sectorsRead = static_cast<uint32_t>(done / sectorSize);
  return status;
}

SectorSource ShareSource(SectorSource& source) {
  SectorSource shared;
  if (!source.IsOpen()) return shared;
  shared.handle = std::make_unique<SharedDevice>(source.handle.get());
  shared.totalSectors = source.totalSectors;
  shared.deviceSectorSize = source.deviceSectorSize;
  return shared;
}

void SetDeviceWrapper(DeviceWrapper wrapper) {
  std::lock_guard lock(WrapperMutex());
  Wrapper() = std::move(wrapper);
}

void CloseSource(SectorSource& source) {
  source.handle.reset();
  source.totalSectors = 0;
}

void FlushVolume(uint16_t driveLetter) {
  std::string device = DriveLetters::Instance().DevicePathOf(driveLetter);
  if (!device.empty()) platform::FlushVolumeDevice(device);
}

}  // namespace storage
