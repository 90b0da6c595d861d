// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/data_folder_guard.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/crash_handler.h"
#include "platform/folders.h"
#include "platform/volume.h"

namespace jobs {
namespace {

std::string NearestExisting(std::string path) {
  while (!path.empty() && !platform::PathExists(path)) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return path;
}

bool OnAnySource(const std::string& path, const ScanSourceList& sources) {
  for (const auto& s : sources) {
    if (s && PathIsOnSource(path, *s)) return true;
  }
  return false;
}

}  // namespace

bool PathIsOnSource(const std::string& path, const ScanSource& source) {
  const std::string existing = NearestExisting(path);
  const storage::VolumeTarget& t = source.target;
  const std::string volumeDevice =
      t.isImage ? (platform::KindOfPath(t.imagePath) == platform::PathKind::kBlockDevice ? t.imagePath : "")
                : t.devicePath;
  if (!volumeDevice.empty() && platform::FolderIsOnDevice(existing, volumeDevice)) return true;
  // A partition of a disk without its own node, or a whole disk: anything on that disk.
  if (!t.isImage && t.devicePath.empty() && !t.diskPath.empty() &&
      platform::KindOfPath(t.diskPath) == platform::PathKind::kBlockDevice) {
    return platform::FolderIsOnDisk(existing, t.diskPath);
  }
  return false;
}

platform::Status KeepDataFolderOffSources(const ScanSourceList& sources, std::string* movedFrom, std::string* movedTo) {
  movedFrom->clear();
  movedTo->clear();
  const std::string current = platform::DataFolder();
  if (!OnAnySource(current, sources)) return platform::kStatusOk;
  const std::string uid = std::to_string(::getuid());
  std::vector<std::string> candidates;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    candidates.push_back(std::string(runtime) + "/quellmoor/");
  }
  for (const char* base : {"/dev/shm/quellmoor-", "/tmp/quellmoor-", "/var/tmp/quellmoor-"}) {
    candidates.push_back(base + uid + "/");
  }
  for (const auto& candidate : candidates) {
    if (OnAnySource(candidate, sources)) continue;
    if (platform::CreatePrivateFolder(candidate) != platform::kStatusOk) continue;
    if (OnAnySource(candidate, sources)) continue;  // created on a source after all (a mount below it)
    platform::SetDataFolderOverride(candidate);
    // Crash dumps are written where the data folder is, never onto the medium being recovered.
    (void)platform::MoveCrashDumpFolder(platform::DataFolder() + "D-Error/");
    *movedFrom = current;
    *movedTo = candidate;
    return platform::kStatusOk;
  }
  return platform::kErrorAccessDenied;
}

}  // namespace jobs
