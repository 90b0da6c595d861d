// SPDX-License-Identifier: GPL-3.0-or-later
// VHD and VHDX images (fixed, dynamic, differencing) through libvhdi.
#include <libvhdi.h>

#include <algorithm>
#include <cstring>

#include "platform/folders.h"
#include "storage/container_backends.h"
#include "storage/library_error.h"

namespace storage {
namespace {

using VhdiError = LibraryError<libvhdi_error_t, libvhdi_error_backtrace_sprint, libvhdi_error_free>;

struct FileDeleter {
  void operator()(libvhdi_file_t* file) const {
    libvhdi_file_close(file, nullptr);
    libvhdi_file_free(&file, nullptr);
  }
};
using VhdiFile = std::unique_ptr<libvhdi_file_t, FileDeleter>;

constexpr size_t kGuidBytes = 16;

std::string DiskTypeName(uint32_t diskType) {
  switch (diskType) {
    case LIBVHDI_DISK_TYPE_FIXED: return "fixed";
    case LIBVHDI_DISK_TYPE_DYNAMIC: return "dynamic";
    case LIBVHDI_DISK_TYPE_DIFFERENTIAL: return "differencing";
    default: return "disk type " + std::to_string(diskType);
  }
}

// Reads a VHD or VHDX and, for a differencing image, its chain of parents;
// unallocated blocks of the last image read as zeros (libvhdi).
class VhdiDevice final : public ContainerDevice {
 public:
  ~VhdiDevice() override {
    // Children refer to their parents: free them first.
    for (auto& file : m_chain) file.reset();
  }
  Status Open(const std::string& path, int chainDepth, std::string* errorText);
  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override;

 private:
  // Opens path as m_chain's next image and, when it is differencing, its parent.
  Status OpenInChain(const std::string& path, int chainDepth, std::string* errorText);

  std::vector<VhdiFile> m_chain;  // the named image first, then each parent
};

Status VhdiDevice::OpenInChain(const std::string& path, int chainDepth, std::string* errorText) {
  if (chainDepth > kMaxChainDepth) {
    *errorText = "'" + path + "': the chain of differencing images is longer than " + std::to_string(kMaxChainDepth) +
                 " (does it loop?)";
    return platform::kStatusReadFault;
  }
  VhdiError error;
  libvhdi_file_t* raw = nullptr;
  if (libvhdi_file_initialize(&raw, error.Out()) != 1) {
    *errorText = "'" + path + "': " + error.Text();
    return platform::kStatusOutOfMemory;
  }
  m_chain.emplace_back(raw);
  libvhdi_file_t* file = raw;
  if (libvhdi_file_open(file, path.c_str(), LIBVHDI_OPEN_READ, error.Out()) != 1) {
    *errorText = "cannot open '" + path + "' as a VHD or VHDX image: " + error.Text();
    return platform::kStatusReadFault;
  }
  uint32_t diskType = 0;
  if (libvhdi_file_get_disk_type(file, &diskType, error.Out()) != 1) {
    *errorText = "'" + path + "': unknown disk type: " + error.Text();
    return platform::kStatusReadFault;
  }
  m_info.files.push_back(path);
  if (chainDepth == 0) m_info.detail = DiskTypeName(diskType);
  if (diskType != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return platform::kStatusOk;

  size_t nameBytes = 0;
  std::string named;
  if (libvhdi_file_get_utf8_parent_filename_size(file, &nameBytes, error.Out()) == 1 && nameBytes > 1 &&
      nameBytes < 65536) {
    named.resize(nameBytes);
    if (libvhdi_file_get_utf8_parent_filename(file, reinterpret_cast<uint8_t*>(named.data()), nameBytes, error.Out()) !=
        1) {
      named.clear();
    }
    named.resize(std::strlen(named.c_str()));
  }
  if (named.empty()) {
    *errorText = "'" + path + "' is a differencing image that does not name its parent";
    return platform::kStatusReadFault;
  }
  const std::string parentPath = ResolveChainPath(path, named);
  if (!platform::PathExists(parentPath)) {
    *errorText = "the parent image '" + named + "' of '" + path + "' is missing (looked for '" + parentPath + "')";
    return platform::kErrorFileNotFound;
  }
  const size_t parentIndex = m_chain.size();
  if (Status s = OpenInChain(parentPath, chainDepth + 1, errorText); s != platform::kStatusOk) return s;
  libvhdi_file_t* parent = m_chain[parentIndex].get();
  uint8_t wanted[kGuidBytes] = {}, found[kGuidBytes] = {};
  if (libvhdi_file_get_parent_identifier(file, wanted, sizeof wanted, error.Out()) == 1 &&
      libvhdi_file_get_identifier(parent, found, sizeof found, error.Out()) == 1 &&
      std::memcmp(wanted, found, kGuidBytes) != 0) {
    *errorText = "'" + parentPath + "' is not the parent '" + path + "' was made from (the identifiers differ)";
    return platform::kStatusReadFault;
  }
  if (libvhdi_file_set_parent_file(file, parent, error.Out()) != 1) {
    *errorText = "'" + path + "': cannot read through its parent '" + parentPath + "': " + error.Text();
    return platform::kStatusReadFault;
  }
  return platform::kStatusOk;
}

Status VhdiDevice::Open(const std::string& path, int chainDepth, std::string* errorText) {
  if (Status s = OpenInChain(path, chainDepth, errorText); s != platform::kStatusOk) return s;
  VhdiError error;
  libvhdi_file_t* file = m_chain.front().get();
  int fileType = 0;
  size64_t mediaBytes = 0;
  uint32_t bytesPerSector = 0;
  if (libvhdi_file_get_file_type(file, &fileType, error.Out()) != 1 ||
      libvhdi_file_get_media_size(file, &mediaBytes, error.Out()) != 1 ||
      libvhdi_file_get_bytes_per_sector(file, &bytesPerSector, error.Out()) != 1) {
    *errorText = "'" + path + "': no media size: " + error.Text();
    return platform::kStatusReadFault;
  }
  m_info.kind = fileType == LIBVHDI_FILE_TYPE_VHDX ? ContainerKind::kVhdx : ContainerKind::kVhd;
  m_info.mediaBytes = mediaBytes;
  m_info.bytesPerSector = bytesPerSector >= 512 && bytesPerSector <= 65536 ? bytesPerSector : 512;
  return platform::kStatusOk;
}

Status VhdiDevice::ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) {
  *bytesRead = 0;
  if (byteOffset >= m_info.mediaBytes || byteCount == 0) return platform::kStatusOk;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(byteCount, m_info.mediaBytes - byteOffset));
  VhdiError error;
  ssize_t got = libvhdi_file_read_buffer_at_offset(m_chain.front().get(), buffer, count,
                                                   static_cast<off64_t>(byteOffset), error.Out());
  if (got < 0) return FailRead(byteOffset, count, error.Text());
  *bytesRead = static_cast<size_t>(got);
  return platform::kStatusOk;
}

}  // namespace

Status OpenVhdiDevice(const std::string& path, int chainDepth, std::unique_ptr<ContainerDevice>* device,
                      std::string* errorText) {
  auto vhdi = std::make_unique<VhdiDevice>();
  if (Status s = vhdi->Open(path, chainDepth, errorText); s != platform::kStatusOk) return s;
  *device = std::move(vhdi);
  return platform::kStatusOk;
}

}  // namespace storage
