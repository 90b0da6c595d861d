// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/error.h"
#include "platform/folders.h"

namespace platform {

std::string DataFolder() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = std::string(home) + "/.local/share";
  } else {
    base = "/tmp";
  }
  if (base.back() != '/') base.push_back('/');
  return base + "Quellmoor/";
}

std::string ScanLogFolder() {
  return DataFolder() + "ScanLog/";
}

std::string ProgramFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  return exe.parent_path().string() + "/";
}

Status CreateDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return ErrorFromErrno(ec.value());
  if (!IsDirectory(path)) return kErrorPathNotFound;
  return kStatusOk;
}

Status CreateNewFolder(const std::string& path) {
  std::string plain = path;
  while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
  return ::mkdir(plain.c_str(), 0755) == 0 ? kStatusOk : LastError();
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
