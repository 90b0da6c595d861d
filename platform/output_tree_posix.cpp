// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/file_times_posix.h"
#include "platform/folders.h"
#include "platform/output_tree.h"

namespace platform {
namespace {

// A directory descriptor that closes itself.
class FolderHandle {
 public:
  FolderHandle() = default;
  explicit FolderHandle(int fd) : m_fd(fd) {}
  ~FolderHandle() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  FolderHandle(FolderHandle&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  FolderHandle& operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
      if (m_fd >= 0) ::close(m_fd);
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  int fd() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A name found where a folder was wanted, or a link anywhere: taken.
Status TakenOr(int err) {
  return (err == ELOOP || err == ENOTDIR || err == EEXIST) ? kErrorAlreadyExists : ErrorFromErrno(err);
}

bool SplitRelative(std::string_view relative, std::vector<std::string>* parts) {
  parts->clear();
  if (relative.empty() || relative.front() == '/') return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string_view::npos) slash = relative.size();
    std::string_view part = relative.substr(start, slash - start);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) return false;
    parts->emplace_back(part);
    start = slash + 1;
  }
  return true;
}

// The folders a FolderCacheScope keeps open on this thread: "root\0a/b" -> descriptor.
constexpr size_t kMaxCachedFolders = 64;
thread_local std::unordered_map<std::string, int>* g_folderCache = nullptr;

std::string CacheKey(const std::string& root, const std::vector<std::string>& parts, size_t count) {
  std::string key = root;
  key.push_back('\0');
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) key.push_back('/');
    key += parts[i];
  }
  return key;
}

// A descriptor of its own for a kept folder; false when it is not kept.
bool FromCache(const std::string& key, FolderHandle* out) {
  if (g_folderCache == nullptr) return false;
  auto it = g_folderCache->find(key);
  if (it == g_folderCache->end()) return false;
  const int fd = ::fcntl(it->second, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return false;
  *out = FolderHandle(fd);
  return true;
}

void KeepInCache(const std::string& key, const FolderHandle& folder) {
  if (g_folderCache == nullptr || g_folderCache->count(key) != 0) return;
  if (g_folderCache->size() >= kMaxCachedFolders) {
    for (const auto& [k, fd] : *g_folderCache) ::close(fd);
    g_folderCache->clear();
  }
  const int fd = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
  if (fd >= 0) g_folderCache->emplace(key, fd);
}

Status OpenRoot(const std::string& root, FolderHandle* out) {
  int fd = ::open(root.empty() ? "." : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  *out = FolderHandle(fd);
  return kStatusOk;
}

// Opens the folder made of parts[0 .. count) below root, creating missing
// components when create is set. Every step refuses links.
Status OpenFolderChain(const std::string& root, const std::vector<std::string>& parts, size_t count, bool create,
                       FolderHandle* out) {
  FolderHandle current;
  // With a cache: from the deepest folder of the chain that is kept open.
  size_t first = 0;
  bool cached = false;
  if (g_folderCache != nullptr) {
    for (size_t kept = count + 1; kept-- > 0 && !cached;) {
      if (FromCache(CacheKey(root, parts, kept), &current)) {
        first = kept;
        cached = true;
      }
    }
  }
  if (!cached) {
    if (Status s = OpenRoot(root, &current); s != kStatusOk) return s;
    KeepInCache(CacheKey(root, parts, 0), current);
  }
  for (size_t i = first; i < count; ++i) {
    int fd = ::openat(current.fd(), parts[i].c_str(), kFolderFlags);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(current.fd(), parts[i].c_str(), 0755) != 0 && errno != EEXIST) return ErrorFromErrno(errno);
      fd = ::openat(current.fd(), parts[i].c_str(), kFolderFlags);
    }
    if (fd < 0) return TakenOr(errno);
    current = FolderHandle(fd);
  }
  if (count > first) KeepInCache(CacheKey(root, parts, count), current);
  *out = std::move(current);
  return kStatusOk;
}

// The folder holding the last component of relative, and that component.
Status OpenParentOf(const std::string& root, const std::string& relative, FolderHandle* parent, std::string* leaf) {
  std::vector<std::string> parts;
  if (!SplitRelative(relative, &parts)) return kStatusInvalidParameter;
  if (Status s = OpenFolderChain(root, parts, parts.size() - 1, false, parent); s != kStatusOk) return s;
  *leaf = parts.back();
  return kStatusOk;
}

// Opens the existing folder at relative below root ("" is the root itself).
Status OpenFolderBelow(const std::string& root, const std::string& relative, FolderHandle* out) {
  if (relative.empty()) return OpenRoot(root, out);
  std::vector<std::string> parts;
  if (!SplitRelative(relative, &parts)) return kStatusInvalidParameter;
  return OpenFolderChain(root, parts, parts.size(), false, out);
}

}  // namespace

FolderCacheScope::FolderCacheScope() : m_outer(g_folderCache) {
  g_folderCache = &m_folders;
}

FolderCacheScope::~FolderCacheScope() {
  for (const auto& [key, fd] : m_folders) ::close(fd);
  g_folderCache = m_outer;
}

Status CreateFoldersBelow(const std::string& root, const std::string& relative) {
  if (!root.empty() && !IsDirectory(root)) {
    if (Status s = CreateDirectories(root); s != kStatusOk) return s;
  }
  if (relative.empty()) return kStatusOk;
  std::vector<std::string> parts;
  if (!SplitRelative(relative, &parts)) return kStatusInvalidParameter;
  FolderHandle folder;
  return OpenFolderChain(root, parts, parts.size(), true, &folder);
}

Status CreateNewFileBelow(const std::string& root, const std::string& relative, OutputFile* out) {
  (void)out->Close();  // a status of an earlier file the caller abandoned
  FolderHandle parent;
  std::string leaf;
  if (Status s = OpenParentOf(root, relative, &parent, &leaf); s != kStatusOk) return s;
  int fd = ::openat(parent.fd(), leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return TakenOr(errno);
  out->m_fd = fd;
  return kStatusOk;
}

Status CreateUnnamedFileBelow(const std::string& root, const std::string& folderRelative, OutputFile* out) {
  (void)out->Close();
  // Naming the file later takes the capability root has, or /proc.
  static const bool canLink = ::geteuid() == 0 || ::access("/proc/self/fd", X_OK) == 0;
  if (!canLink) return kErrorNotSupported;
  FolderHandle folder;
  if (Status s = OpenFolderBelow(root, folderRelative, &folder); s != kStatusOk) return s;
  const int fd = ::openat(folder.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  if (fd < 0) {
    return (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT) ? kErrorNotSupported
                                                                                        : ErrorFromErrno(errno);
  }
  out->m_fd = fd;
  return kStatusOk;
}

Status LinkFileBelow(const OutputFile& file, const std::string& root, const std::string& relative) {
  if (file.m_fd < 0) return kErrorInvalidHandle;
  FolderHandle parent;
  std::string leaf;
  if (Status s = OpenParentOf(root, relative, &parent, &leaf); s != kStatusOk) return s;
  if (::linkat(file.m_fd, "", parent.fd(), leaf.c_str(), AT_EMPTY_PATH) == 0) return kStatusOk;
  if (errno != ENOENT && errno != EPERM) return TakenOr(errno);
  // Without the capability: the descriptor's entry in /proc names the file.
  const std::string self = "/proc/self/fd/" + std::to_string(file.m_fd);
  if (::linkat(AT_FDCWD, self.c_str(), parent.fd(), leaf.c_str(), AT_SYMLINK_FOLLOW) == 0) return kStatusOk;
  return TakenOr(errno);
}

Status RenameBelow(const std::string& root, const std::string& fromRelative, const std::string& toRelative) {
  FolderHandle fromParent, toParent;
  std::string fromLeaf, toLeaf;
  if (Status s = OpenParentOf(root, fromRelative, &fromParent, &fromLeaf); s != kStatusOk) return s;
  if (Status s = OpenParentOf(root, toRelative, &toParent, &toLeaf); s != kStatusOk) return s;
  if (::renameat2(fromParent.fd(), fromLeaf.c_str(), toParent.fd(), toLeaf.c_str(), RENAME_NOREPLACE) == 0) {
    return kStatusOk;
  }
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system without the no-replace flag: link then unlink never replaces either.
    if (::linkat(fromParent.fd(), fromLeaf.c_str(), toParent.fd(), toLeaf.c_str(), 0) != 0) return TakenOr(errno);
    if (::unlinkat(fromParent.fd(), fromLeaf.c_str(), 0) != 0) return ErrorFromErrno(errno);
    return kStatusOk;
  }
  return TakenOr(errno);
}

bool ExistsBelow(const std::string& root, const std::string& relative) {
  FolderHandle parent;
  std::string leaf;
  Status s = OpenParentOf(root, relative, &parent, &leaf);
  // A parent that is a link or a file makes the whole path taken.
  if (s == kErrorAlreadyExists) return true;
  if (s != kStatusOk) return false;
  struct stat st {};
  return ::fstatat(parent.fd(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool IsFolderBelow(const std::string& root, const std::string& relative) {
  if (relative.empty()) return IsDirectory(root);
  std::vector<std::string> parts;
  if (!SplitRelative(relative, &parts)) return false;
  FolderHandle folder;
  return OpenFolderChain(root, parts, parts.size(), false, &folder) == kStatusOk;
}

bool IsLinkBelow(const std::string& root, const std::string& relative) {
  FolderHandle parent;
  std::string leaf;
  if (OpenParentOf(root, relative, &parent, &leaf) != kStatusOk) return false;
  struct stat st {};
  return ::fstatat(parent.fd(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

Status RemoveFileBelow(const std::string& root, const std::string& relative) {
  FolderHandle parent;
  std::string leaf;
  if (Status s = OpenParentOf(root, relative, &parent, &leaf); s != kStatusOk) {
    return s == kErrorFileNotFound ? kStatusOk : s;
  }
  if (::unlinkat(parent.fd(), leaf.c_str(), 0) != 0 && errno != ENOENT) return ErrorFromErrno(errno);
  return kStatusOk;
}

Status SetFolderTimesBelow(const std::string& root, const std::string& relative, uint64_t modified, uint64_t accessed,
                           TimeBasis basis) {
  struct timespec times[2];
  if (Status s = TimesOf(accessed, modified, basis, times); s != kStatusOk) return s;
  FolderHandle folder;
  if (Status s = OpenFolderBelow(root, relative, &folder); s != kStatusOk) return s;
  return ::futimens(folder.fd(), times) == 0 ? kStatusOk : ErrorFromErrno(errno);
}

bool FolderNamesAreExact(const std::string& root, const std::string& relative) {
  FolderHandle folder;
  if (OpenFolderBelow(root, relative, &folder) != kStatusOk) return false;
  struct statfs fs {};
  if (::fstatfs(folder.fd(), &fs) != 0) return false;
  constexpr unsigned long kExt4 = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E, kTmpfs = 0x01021994;
  const auto type = static_cast<unsigned long>(fs.f_type);
  if (type != kExt4 && type != kXfs && type != kBtrfs && type != kTmpfs) return false;
  if (type == kXfs || type == kBtrfs) return true;
  // ext4 and tmpfs fold case in a folder marked so.
  int flags = 0;
  if (::ioctl(folder.fd(), FS_IOC_GETFLAGS, &flags) != 0) return errno == ENOTTY || errno == EOPNOTSUPP;
  return (flags & FS_CASEFOLD_FL) == 0;
}

size_t FilesABatchMayHoldOpen() {
  static const size_t allowed = [] {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return size_t{1024};
    return static_cast<size_t>(std::min<rlim_t>(limit.rlim_cur / 4, 1024));
  }();
  return allowed;
}

Status SyncFileSystemBelow(const std::string& root) {
  FolderHandle folder;
  if (Status s = OpenRoot(root, &folder); s != kStatusOk) return s;
  return ::syncfs(folder.fd()) == 0 ? kStatusOk : ErrorFromErrno(errno);
}

Status SyncFolderBelow(const std::string& root, const std::string& relative) {
  FolderHandle folder;
  if (Status s = OpenFolderBelow(root, relative, &folder); s != kStatusOk) return s;
  return ::fsync(folder.fd()) == 0 ? kStatusOk : ErrorFromErrno(errno);
}

}  // namespace platform
