// SPDX-License-Identifier: GPL-3.0-or-later
// VMware disks (descriptor with flat or sparse extents, split or not, and
// snapshots on a parent) through libvmdk.
#include <libvmdk.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/folders.h"
#include "storage/container_backends.h"
#include "storage/library_error.h"

namespace storage {
namespace {

using VmdkError = LibraryError<libvmdk_error_t, libvmdk_error_backtrace_sprint, libvmdk_error_free>;

struct HandleDeleter {
  void operator()(libvmdk_handle_t* handle) const {
    libvmdk_handle_close(handle, nullptr);
    libvmdk_handle_free(&handle, nullptr);
  }
};
using VmdkHandle = std::unique_ptr<libvmdk_handle_t, HandleDeleter>;

struct ExtentDeleter {
  void operator()(libvmdk_extent_descriptor_t* extent) const { libvmdk_extent_descriptor_free(&extent, nullptr); }
};

std::string DiskTypeName(int diskType) {
  switch (diskType) {
    case LIBVMDK_DISK_TYPE_2GB_EXTENT_FLAT: return "split into 2 GB flat extents";
    case LIBVMDK_DISK_TYPE_2GB_EXTENT_SPARSE: return "split into 2 GB sparse extents";
    case LIBVMDK_DISK_TYPE_MONOLITHIC_FLAT: return "one flat extent";
    case LIBVMDK_DISK_TYPE_MONOLITHIC_SPARSE: return "one sparse extent";
    case LIBVMDK_DISK_TYPE_STREAM_OPTIMIZED: return "stream-optimized";
    case LIBVMDK_DISK_TYPE_VMFS_FLAT:
    case LIBVMDK_DISK_TYPE_VMFS_FLAT_PRE_ALLOCATED:
    case LIBVMDK_DISK_TYPE_VMFS_FLAT_ZEROED: return "ESX flat";
    case LIBVMDK_DISK_TYPE_VMFS_SPARSE:
    case LIBVMDK_DISK_TYPE_VMFS_SPARSE_THIN: return "ESX sparse";
    default: return {};
  }
}

// A text the library hands out as (size, fill) calls; empty when it has none.
template <typename SizeFn, typename FillFn>
std::string LibraryString(SizeFn size, FillFn fill) {
  size_t bytes = 0;
  if (size(&bytes) != 1 || bytes <= 1 || bytes > 65536) return {};
  std::string text(bytes, '\0');
  if (fill(reinterpret_cast<uint8_t*>(text.data()), bytes) != 1) return {};
  text.resize(std::strlen(text.c_str()));
  return text;
}

// Reads a VMDK: its descriptor, every extent file it names and, for a
// snapshot, the chain of parents; unallocated grains read as zeros (libvmdk).
class VmdkDevice final : public ContainerDevice {
 public:
  ~VmdkDevice() override {
    for (auto& handle : m_chain) handle.reset();  // children before their parents
  }
  Status Open(const std::string& path, int chainDepth, std::string* errorText);
  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override;

 private:
  Status OpenInChain(const std::string& path, int chainDepth, std::string* errorText);
  // Checks that every extent file the descriptor names is present and records them.
  Status CheckExtents(libvmdk_handle_t* handle, const std::string& path, const std::string& folder,
                      std::string* errorText);

  std::vector<VmdkHandle> m_chain;  // the named image first, then each parent
};

Status VmdkDevice::CheckExtents(libvmdk_handle_t* handle, const std::string& path, const std::string& folder,
                                std::string* errorText) {
  namespace fs = std::filesystem;
  VmdkError error;
  int count = 0;
  if (libvmdk_handle_get_number_of_extents(handle, &count, error.Out()) != 1 || count <= 0) {
    *errorText = "'" + path + "' names no extent: " + error.Text();
    return platform::kStatusReadFault;
  }
  for (int i = 0; i < count; ++i) {
    libvmdk_extent_descriptor_t* raw = nullptr;
    if (libvmdk_handle_get_extent_descriptor(handle, i, &raw, error.Out()) != 1) {
      *errorText = "'" + path + "': extent " + std::to_string(i + 1) + " is unreadable: " + error.Text();
      return platform::kStatusReadFault;
    }
    std::unique_ptr<libvmdk_extent_descriptor_t, ExtentDeleter> extent(raw);
    int type = 0;
    if (libvmdk_extent_descriptor_get_type(extent.get(), &type, error.Out()) == 1 && type == LIBVMDK_EXTENT_TYPE_ZERO) {
      continue;  // a ZERO extent has no file
    }
    std::string name = LibraryString(
        [&](size_t* n) { return libvmdk_extent_descriptor_get_utf8_filename_size(extent.get(), n, nullptr); },
        [&](uint8_t* text, size_t n) {
          return libvmdk_extent_descriptor_get_utf8_filename(extent.get(), text, n, nullptr);
        });
    if (name.empty()) continue;  // the sparse extent that is the file itself
    std::string extentPath = folder.empty() ? name : (fs::path(folder) / name).string();
    if (!platform::PathExists(extentPath)) {
      *errorText = "extent file '" + name + "' named by '" + path + "' is missing (looked for '" + extentPath + "')";
      return platform::kErrorFileNotFound;
    }
    const fs::path normal = fs::path(extentPath).lexically_normal();
    if (std::none_of(m_info.files.begin(), m_info.files.end(),
                     [&](const std::string& f) { return fs::path(f).lexically_normal() == normal; })) {
      m_info.files.push_back(extentPath);
    }
  }
  return platform::kStatusOk;
}

Status VmdkDevice::OpenInChain(const std::string& path, int chainDepth, std::string* errorText) {
  if (chainDepth > kMaxChainDepth) {
    *errorText = "'" + path + "': the chain of snapshot images is longer than " + std::to_string(kMaxChainDepth) +
                 " (does it loop?)";
    return platform::kStatusReadFault;
  }
  VmdkError error;
  libvmdk_handle_t* raw = nullptr;
  if (libvmdk_handle_initialize(&raw, error.Out()) != 1) {
    *errorText = "'" + path + "': " + error.Text();
    return platform::kStatusOutOfMemory;
  }
  m_chain.emplace_back(raw);
  libvmdk_handle_t* handle = raw;
  if (libvmdk_handle_open(handle, path.c_str(), LIBVMDK_OPEN_READ, error.Out()) != 1) {
    *errorText = "cannot open '" + path + "' as a VMDK: " + error.Text();
    return platform::kStatusReadFault;
  }
  m_info.files.push_back(path);
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const std::string searchFolder = folder.empty() ? "." : folder;
  if (libvmdk_handle_set_extent_data_files_path(handle, searchFolder.c_str(), searchFolder.size(), error.Out()) != 1) {
    *errorText = "'" + path + "': " + error.Text();
    return platform::kStatusReadFault;
  }
  if (Status s = CheckExtents(handle, path, folder, errorText); s != platform::kStatusOk) return s;
  if (libvmdk_handle_open_extent_data_files(handle, error.Out()) != 1) {
    *errorText = "cannot open the extent files of '" + path + "': " + error.Text();
    return platform::kStatusReadFault;
  }
  int diskType = 0;
  if (chainDepth == 0 && libvmdk_handle_get_disk_type(handle, &diskType, error.Out()) == 1) {
    m_info.detail = DiskTypeName(diskType);
  }
  std::string named = LibraryString(
      [&](size_t* n) { return libvmdk_handle_get_utf8_parent_filename_size(handle, n, nullptr); },
      [&](uint8_t* text, size_t n) { return libvmdk_handle_get_utf8_parent_filename(handle, text, n, nullptr); });
  if (named.empty()) return platform::kStatusOk;

  if (chainDepth == 0) m_info.detail = m_info.detail.empty() ? "snapshot" : m_info.detail + ", snapshot";
  const std::string parentPath = ResolveChainPath(path, named);
  if (!platform::PathExists(parentPath)) {
    *errorText = "the parent disk '" + named + "' of '" + path + "' is missing (looked for '" + parentPath + "')";
    return platform::kErrorFileNotFound;
  }
  const size_t parentIndex = m_chain.size();
  if (Status s = OpenInChain(parentPath, chainDepth + 1, errorText); s != platform::kStatusOk) return s;
  libvmdk_handle_t* parent = m_chain[parentIndex].get();
  uint32_t wanted = 0, found = 0;
  if (libvmdk_handle_get_parent_content_identifier(handle, &wanted, error.Out()) == 1 &&
      libvmdk_handle_get_content_identifier(parent, &found, error.Out()) == 1 && wanted != found) {
    *errorText = "'" + parentPath + "' has changed since the snapshot '" + path +
                 "' was taken on it (content ids differ); reading the two together would mix states";
    return platform::kStatusReadFault;
  }
  if (libvmdk_handle_set_parent_handle(handle, parent, error.Out()) != 1) {
    *errorText = "'" + path + "': cannot read through its parent '" + parentPath + "': " + error.Text();
    return platform::kStatusReadFault;
  }
  return platform::kStatusOk;
}

Status VmdkDevice::Open(const std::string& path, int chainDepth, std::string* errorText) {
  if (Status s = OpenInChain(path, chainDepth, errorText); s != platform::kStatusOk) return s;
  VmdkError error;
  size64_t mediaBytes = 0;
  if (libvmdk_handle_get_media_size(m_chain.front().get(), &mediaBytes, error.Out()) != 1) {
    *errorText = "'" + path + "': no media size: " + error.Text();
    return platform::kStatusReadFault;
  }
  m_info.kind = ContainerKind::kVmdk;
  m_info.mediaBytes = mediaBytes;
  m_info.bytesPerSector = 512;
  return platform::kStatusOk;
}

Status VmdkDevice::ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) {
  *bytesRead = 0;
  if (byteOffset >= m_info.mediaBytes || byteCount == 0) return platform::kStatusOk;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(byteCount, m_info.mediaBytes - byteOffset));
  VmdkError error;
  ssize_t got = libvmdk_handle_read_buffer_at_offset(m_chain.front().get(), buffer, count,
                                                     static_cast<off64_t>(byteOffset), error.Out());
  if (got < 0) return FailRead(byteOffset, count, error.Text());
  *bytesRead = static_cast<size_t>(got);
  return platform::kStatusOk;
}

}  // namespace

Status OpenVmdkDevice(const std::string& path, int chainDepth, std::unique_ptr<ContainerDevice>* device,
                      std::string* errorText) {
  auto vmdk = std::make_unique<VmdkDevice>();
  if (Status s = vmdk->Open(path, chainDepth, errorText); s != platform::kStatusOk) return s;
  *device = std::move(vmdk);
  return platform::kStatusOk;
}

}  // namespace storage
