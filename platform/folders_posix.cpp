// SPDX-License-Identifier: GPL-3.0-or-later
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/error.h"
#include "platform/folders.h"

namespace platform {

namespace {

std::mutex g_dataOverrideMutex;
std::string g_dataOverride;

std::mutex g_sessionMutex;
std::string g_sessionFolder;  // ends in "/"; empty before the first use

constexpr std::string_view kSessionPrefix = "preview-";

// A folder this user owns that nobody else may enter or write.
bool IsPrivateFolder(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();  // "link/" would follow the link
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// Removes "preview-<pid>-*" folders of processes that no longer exist.
void RemoveAbandonedSessions(const std::string& dataFolder) {
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dataFolder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kSessionPrefix, 0) != 0) continue;
    const size_t dash = name.find('-', kSessionPrefix.size());
    if (dash == std::string::npos) continue;
    long pid = 0;
    const char* first = name.data() + kSessionPrefix.size();
    const auto [end, error] = std::from_chars(first, name.data() + dash, pid);
    if (error != std::errc() || end != name.data() + dash) continue;
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // still running (or not ours to ask)
    const std::string path = dataFolder + name;
    if (IsPrivateFolder(path)) (void)RemoveTree(path);  // a folder another user left is not touched
  }
}

// $name when it holds an absolute path, else $HOME + fallback, else "/tmp".
std::string XdgBase(const char* name, const char* homeRelative) {
  std::string base;
  if (const char* xdg = std::getenv(name); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = std::string(home) + homeRelative;
  } else {
    base = "/tmp";
  }
  if (base.back() != '/') base.push_back('/');
  return base;
}

}  // namespace

void SetDataFolderOverride(const std::string& folder) {
  std::lock_guard lock(g_dataOverrideMutex);
  g_dataOverride = folder;
  if (!g_dataOverride.empty() && g_dataOverride.back() != '/') g_dataOverride.push_back('/');
}

std::string ConfigFolder() {
  return XdgBase("XDG_CONFIG_HOME", "/.config") + "quellmoor/";
}

std::string DataFolder() {
  {
    std::lock_guard lock(g_dataOverrideMutex);
    if (!g_dataOverride.empty()) return g_dataOverride;
  }
  return XdgBase("XDG_DATA_HOME", "/.local/share") + "Quellmoor/";
}

std::string ScanLogFolder() {
  return DataFolder() + "ScanLog/";
}

Status SessionFolder(std::string* path) {
  std::lock_guard lock(g_sessionMutex);
  const std::string data = DataFolder();
  if (!g_sessionFolder.empty() && g_sessionFolder.rfind(data, 0) == 0 && IsPrivateFolder(g_sessionFolder)) {
    *path = g_sessionFolder;
    return kStatusOk;
  }
  g_sessionFolder.clear();
  if (Status s = CreateDirectories(data); s != kStatusOk) return s;
  RemoveAbandonedSessions(data);
  std::string pattern = data + std::string(kSessionPrefix) + std::to_string(::getpid()) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return LastError();
  g_sessionFolder = pattern + "/";
  *path = g_sessionFolder;
  return kStatusOk;
}

void RemoveSessionFolder() {
  std::lock_guard lock(g_sessionMutex);
  if (!g_sessionFolder.empty() && IsPrivateFolder(g_sessionFolder)) (void)RemoveTree(g_sessionFolder);
  g_sessionFolder.clear();
}

std::string ProgramFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  return exe.parent_path().string() + "/";
}

std::vector<std::string> ProgramDataFolders() {
  const std::string program = ProgramFolder();
  std::vector<std::string> folders{program};
  std::error_code ec;
  auto share = std::filesystem::weakly_canonical(std::filesystem::path(program) / ".." / "share" / "quellmoor", ec);
  if (!ec) folders.push_back(share.string() + "/");
  return folders;
}

PathKind KindOfPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISREG(st.st_mode)) return PathKind::kRegularFile;
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  if (S_ISBLK(st.st_mode)) return PathKind::kBlockDevice;
  if (S_ISCHR(st.st_mode)) return PathKind::kCharDevice;
  if (S_ISFIFO(st.st_mode)) return PathKind::kFifo;
  if (S_ISSOCK(st.st_mode)) return PathKind::kSocket;
  return PathKind::kOther;
}

const char* PathKindWord(PathKind kind) {
  switch (kind) {
    case PathKind::kMissing: return "missing";
    case PathKind::kRegularFile: return "file";
    case PathKind::kFolder: return "folder";
    case PathKind::kBlockDevice: return "block device";
    case PathKind::kCharDevice: return "character device";
    case PathKind::kFifo: return "FIFO";
    case PathKind::kSocket: return "socket";
    case PathKind::kOther: break;
  }
  return "special file";
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string ResolvedPath(const std::string& path) {
  std::error_code ec;
  auto resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
  return ec ? path : resolved.string();
}

bool IsInDataFolder(const std::string& path) {
  std::string data = DataFolder();
  while (data.size() > 1 && data.back() == '/') data.pop_back();
  return path.compare(0, data.size(), data) == 0 && (path.size() == data.size() || path[data.size()] == '/');
}

Status CreateDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return ErrorFromErrno(ec.value());
  if (!IsDirectory(path)) return kErrorPathNotFound;
  if (IsInDataFolder(path)) {
    // The data folder and every folder in it are the user's alone (names and records of deleted files).
    std::string folder = DataFolder();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::string rest = path.substr(std::min(path.size(), folder.size()));
    for (;;) {
      struct stat st {};
      if (::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
          (st.st_mode & 077) != 0) {
        (void)::chmod(folder.c_str(), st.st_mode & 0700);
      }
      while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
      if (rest.empty()) break;
      const size_t slash = rest.find('/');
      folder += "/" + rest.substr(0, slash);
      rest = slash == std::string::npos ? std::string() : rest.substr(slash);
    }
  }
  return kStatusOk;
}

Status CreateNewFolder(const std::string& path) {
  std::string plain = path;
  while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
  return ::mkdir(plain.c_str(), IsInDataFolder(plain) ? 0700 : 0755) == 0 ? kStatusOk : LastError();
}

Status CreatePrivateFolder(const std::string& path) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return LastError();
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return LastError();
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return kErrorAccessDenied;
  }
  return kStatusOk;
}

Status RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  return ec ? ErrorFromErrno(ec.value()) : kStatusOk;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? kStatusOk : LastError();
}

Status RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? kStatusOk : LastError();
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(path, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace platform
