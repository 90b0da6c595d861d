// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/image_container.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/error.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "storage/bytes.h"
#include "storage/container_backends.h"
#include "storage/source_failure.h"

namespace storage {
namespace {

// Signatures at byte 0 of a file.
constexpr uint8_t kEwfSignature[] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr uint8_t kEwf2Signature[] = {'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};
constexpr uint8_t kLogicalEwfSignature[] = {'L', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr uint8_t kLogicalEwf2Signature[] = {'L', 'E', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};
constexpr uint8_t kQcowSignature[] = {'Q', 'F', 'I', 0xFB};
constexpr char kVhdCookie[] = "conectix";
constexpr char kVhdxSignature[] = "vhdxfile";
constexpr char kVmdkSparseSignature[] = "KDMV";
constexpr char kVmdkEsxSparseSignature[] = "COWD";
constexpr char kVmdkDescriptorStart[] = "# Disk DescriptorFile";

// VHD footer: cookie at 0, checksum (big-endian one's complement of the sum
// of every other footer byte) at 64.
constexpr size_t kVhdFooterBytes = 512;
constexpr size_t kVhdChecksumOffset = 64;

bool StartsWith(std::span<const uint8_t> bytes, const void* signature, size_t length) {
  return BytesEqual(bytes, 0, signature, length);
}

bool IsVhdFooter(std::span<const uint8_t> footer) {
  if (footer.size() != kVhdFooterBytes || !StartsWith(footer, kVhdCookie, 8)) return false;
  uint32_t sum = 0;
  for (size_t i = 0; i < footer.size(); ++i) {
    if (i < kVhdChecksumOffset || i >= kVhdChecksumOffset + 4) sum += footer[i];
  }
  return ~sum == LoadBe32(footer, kVhdChecksumOffset);
}

// A raw file or block device as a source device.
class FileDevice final : public ISourceDevice {
 public:
  FileDevice(platform::RawFile file, std::string path) : m_file(std::move(file)), m_path(std::move(path)) {}
  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    Status s = m_file.ReadAt(byteOffset, buffer, byteCount, bytesRead);
    if (s != platform::kStatusOk) {
      m_lastError =
          "'" + m_path + "': read failed at byte " + std::to_string(byteOffset) + ": " + platform::ErrorText(s);
    }
    return s;
  }
  std::string LastErrorText() const override { return m_lastError; }
  std::unique_ptr<ISourceDevice> OpenAnother() const override {
    platform::RawFile file;
    if (file.Open(m_path) != platform::kStatusOk) return nullptr;
    return std::make_unique<FileDevice>(std::move(file), m_path);
  }

 private:
  platform::RawFile m_file;
  std::string m_path;
  std::string m_lastError;
};

Status ReadFully(const platform::RawFile& file, uint64_t offset, std::vector<uint8_t>* bytes) {
  size_t done = 0;
  while (done < bytes->size()) {
    size_t got = 0;
    if (Status s = file.ReadAt(offset + done, bytes->data() + done, bytes->size() - done, &got);
        s != platform::kStatusOk) {
      return s;
    }
    if (got == 0) return platform::kStatusReadFault;
    done += got;
  }
  return platform::kStatusOk;
}

}  // namespace

const char* ContainerKindName(ContainerKind kind) {
  switch (kind) {
    case ContainerKind::kRaw: return "raw";
    case ContainerKind::kEwf: return "E01";
    case ContainerKind::kEwfLogical: return "L01";
    case ContainerKind::kVhd: return "VHD";
    case ContainerKind::kVhdx: return "VHDX";
    case ContainerKind::kVmdk: return "VMDK";
    case ContainerKind::kQcow: return "QCOW2";
  }
  return "raw";
}

ContainerKind DetectContainer(std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  if (StartsWith(head, kEwfSignature, sizeof kEwfSignature) ||
      StartsWith(head, kEwf2Signature, sizeof kEwf2Signature)) {
    return ContainerKind::kEwf;
  }
  if (StartsWith(head, kLogicalEwfSignature, sizeof kLogicalEwfSignature) ||
      StartsWith(head, kLogicalEwf2Signature, sizeof kLogicalEwf2Signature)) {
    return ContainerKind::kEwfLogical;
  }
  if (StartsWith(head, kVhdxSignature, 8)) return ContainerKind::kVhdx;
  if (StartsWith(head, kVhdCookie, 8)) return ContainerKind::kVhd;  // dynamic or differencing: footer copy first
  if (StartsWith(head, kQcowSignature, sizeof kQcowSignature)) return ContainerKind::kQcow;
  if (StartsWith(head, kVmdkSparseSignature, 4) || StartsWith(head, kVmdkEsxSparseSignature, 4) ||
      StartsWith(head, kVmdkDescriptorStart, sizeof kVmdkDescriptorStart - 1)) {
    return ContainerKind::kVmdk;
  }
  if (IsVhdFooter(tail)) return ContainerKind::kVhd;  // fixed: the media, then the footer
  return ContainerKind::kRaw;
}

std::unique_ptr<ISourceDevice> ContainerDevice::OpenAnother() const {
  if (m_info.files.empty()) return nullptr;
  OpenedImage image;
  std::string reason;
  if (OpenImageDevice(m_info.files.front(), &image, &reason) != platform::kStatusOk) return nullptr;
  // Another image may have taken the path since: only the same media will do.
  if (image.info.kind != m_info.kind || image.info.mediaBytes != m_info.mediaBytes) return nullptr;
  return std::move(image.device);
}

Status ContainerDevice::FailRead(uint64_t mediaOffset, size_t byteCount, const std::string& reason) {
  const uint64_t last = byteCount == 0 ? mediaOffset : mediaOffset + byteCount - 1;
  m_lastError = "'" + (m_info.files.empty() ? std::string() : m_info.files.front()) + "': cannot read media bytes " +
                std::to_string(mediaOffset) + "-" + std::to_string(last) + ": " + reason;
  if (!m_info.damage.empty()) m_lastError += " (" + m_info.damage + ")";
  NoteSourceFailure(m_lastError);
  return platform::kStatusReadFault;
}

Status OpenImageDeviceInChain(const std::string& path, int chainDepth, OpenedImage* out, std::string* errorText) {
  *out = OpenedImage{};
  errorText->clear();
  if (chainDepth > kMaxChainDepth) {
    *errorText = "'" + path + "': the chain of differencing images is longer than " + std::to_string(kMaxChainDepth) +
                 " (does it loop?)";
    return platform::kStatusReadFault;
  }
  platform::RawFile file;
  if (Status s = file.Open(path); s != platform::kStatusOk) {
    *errorText = "cannot open '" + path + "': " + platform::ErrorText(s);
    return s;
  }
  uint64_t length = 0;
  if (Status s = file.Length(&length); s != platform::kStatusOk) {
    *errorText = "cannot tell the length of '" + path + "': " + platform::ErrorText(s);
    return s;
  }
  ContainerKind kind = ContainerKind::kRaw;
  if (!file.IsBlockDevice()) {
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(length, kContainerProbeBytes)));
    std::vector<uint8_t> tail(length >= 2 * kContainerProbeBytes ? kContainerProbeBytes : 0);
    Status s = ReadFully(file, 0, &head);
    if (s == platform::kStatusOk && !tail.empty()) s = ReadFully(file, length - tail.size(), &tail);
    if (s != platform::kStatusOk) {
      *errorText = "cannot read '" + path + "': " + platform::ErrorText(s);
      return s;
    }
    kind = DetectContainer(head, tail);
  }
  std::unique_ptr<ContainerDevice> device;
  Status s = platform::kStatusOk;
  switch (kind) {
    case ContainerKind::kRaw:
      out->info.kind = ContainerKind::kRaw;
      out->info.mediaBytes = length;
      out->info.bytesPerSector = file.SectorSize();
      out->info.files = {path};
      out->device = std::make_unique<FileDevice>(std::move(file), path);
      return platform::kStatusOk;
    case ContainerKind::kEwfLogical:
      *errorText = "'" + path + "' is a logical evidence file (L01): it holds copies of files, not a disk image";
      return platform::kErrorGenFailure;
    case ContainerKind::kEwf: s = OpenEwfDevice(path, &device, errorText); break;
    case ContainerKind::kVhd:
    case ContainerKind::kVhdx: s = OpenVhdiDevice(path, chainDepth, &device, errorText); break;
    case ContainerKind::kVmdk: s = OpenVmdkDevice(path, chainDepth, &device, errorText); break;
    case ContainerKind::kQcow: s = OpenQcowDevice(path, chainDepth, &device, errorText); break;
  }
  if (s != platform::kStatusOk) return s;
  out->info = device->Info();
  out->device = std::move(device);
  return platform::kStatusOk;
}

Status OpenImageDevice(const std::string& path, OpenedImage* out, std::string* errorText) {
  return OpenImageDeviceInChain(path, 0, out, errorText);
}

Status DescribeImage(const std::string& path, ContainerInfo* info, std::string* errorText) {
  OpenedImage image;
  Status s = OpenImageDevice(path, &image, errorText);
  *info = s == platform::kStatusOk ? std::move(image.info) : ContainerInfo{};
  return s;
}

std::string ResolveChainPath(const std::string& imagePath, const std::string& named) {
  namespace fs = std::filesystem;
  std::string portable = named;
  std::replace(portable.begin(), portable.end(), '\\', '/');
  const fs::path folder = fs::path(imagePath).parent_path();
  if (!portable.empty() && portable.front() == '/' && platform::PathExists(portable)) return portable;
  if (!portable.empty() && portable.front() != '/') {
    std::string relative = (folder / portable).string();
    if (platform::PathExists(relative)) return relative;
  }
  // A Windows path ("C:/VMs/base.vhd") or one from another machine: look beside the image.
  size_t slash = portable.find_last_of('/');
  std::string name = slash == std::string::npos ? portable : portable.substr(slash + 1);
  return (folder / name).string();
}

std::string NextSegmentName(const std::string& segmentPath) {
  const size_t dot = segmentPath.find_last_of('.');
  if (dot == std::string::npos || segmentPath.size() - dot != 4) return {};
  std::string next = segmentPath;
  char* ext = next.data() + dot + 1;
  const bool lower = std::islower(static_cast<unsigned char>(ext[0])) != 0;
  const char a = lower ? 'a' : 'A', z = lower ? 'z' : 'Z';
  if (!std::isalpha(static_cast<unsigned char>(ext[0]))) return {};
  if (std::isdigit(static_cast<unsigned char>(ext[1])) && std::isdigit(static_cast<unsigned char>(ext[2]))) {
    int number = (ext[1] - '0') * 10 + (ext[2] - '0') + 1;
    if (number <= 99) {
      ext[1] = static_cast<char>('0' + number / 10);
      ext[2] = static_cast<char>('0' + number % 10);
    } else {
      ext[1] = a;
      ext[2] = a;
    }
    return next;
  }
  if (ext[1] < a || ext[1] > z || ext[2] < a || ext[2] > z) return {};
  if (ext[2] < z) {
    ++ext[2];
  } else if (ext[1] < z) {
    ext[2] = a;
    ++ext[1];
  } else if (ext[0] < z) {
    ext[1] = a;
    ext[2] = a;
    ++ext[0];
  } else {
    return {};
  }
  return next;
}

}  // namespace storage
