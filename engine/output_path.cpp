// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/output_path.h"

#include "engine/commit_batch.h"
#include "platform/output_tree.h"
#include "platform/utf.h"

namespace engine {
namespace {

constexpr size_t kMaxComponentBytes = 255;

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool IsPlainRelative(std::string_view relative) {
  if (relative.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::string_view part = relative.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

bool SplitDestination(std::string_view destinationPath, int32_t rootSeparatorCount, OutputTarget* out) {
  std::string_view path = destinationPath;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty() || path == "/") return false;
  int32_t seen = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (!IsSeparator(path[i])) continue;
    if (seen++ == rootSeparatorCount && rootSeparatorCount >= 0) {
      std::string_view relative = path.substr(i + 1);
      if (IsPlainRelative(relative)) {
        out->root = std::string(path.substr(0, i == 0 ? 1 : i));
        out->relative = std::string(relative);
        return true;
      }
      break;
    }
  }
  // The destination's own folder is the root.
  const size_t slash = path.find_last_of('/');
  out->root = slash == std::string_view::npos ? std::string(".") : std::string(path.substr(0, slash == 0 ? 1 : slash));
  out->relative = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  return IsPlainRelative(out->relative);
}

std::string UniqueChildName(const std::string& root, const std::string& folderRelative, const std::string& safeName) {
  CommitBatch* batch = CommitBatch::OnThisThread();
  // In a folder the batch made, the names are the ones it gave: no look at the disk.
  const bool known = batch != nullptr && batch->KnowsNamesIn(root, folderRelative);
  auto taken = [&](const std::string& name) {
    const std::string relative = JoinRelative(folderRelative, name);
    if (known) return batch->Gave(root, relative);
    return platform::ExistsBelow(root, relative) || (batch != nullptr && batch->Holds(root, relative));
  };
  if (!taken(safeName)) return safeName;
  const size_t dot = safeName.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot != 0 && safeName.size() - dot <= 32;
  const std::string stem = hasExtension ? safeName.substr(0, dot) : safeName;
  const std::string ext = hasExtension ? safeName.substr(dot) : std::string();
  // Within a batch the numbering goes on where it left off: many copies of one name cost one look each.
  const std::string key = root + '\n' + folderRelative + '\n' + safeName;
  for (uint64_t n = batch != nullptr ? batch->NextNumber(key) : 1;; ++n) {
    const std::string suffix = "(" + std::to_string(n) + ")";
    std::string candidate = stem + suffix + ext;
    if (candidate.size() > kMaxComponentBytes) {
      const size_t keep = platform::Utf8BoundaryAtOrBefore(stem, kMaxComponentBytes - suffix.size() - ext.size());
      candidate = stem.substr(0, keep) + suffix + ext;
    }
    if (!taken(candidate)) {
      if (batch != nullptr) batch->NoteNumber(key, n);
      return candidate;
    }
  }
}

std::string JoinRelative(const std::string& folderRelative, const std::string& name) {
  return folderRelative.empty() ? name : folderRelative + "/" + name;
}

int32_t SeparatorCount(std::string_view path) {
  int32_t count = 0;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    if (IsSeparator(path[i])) ++count;
  }
  return count;
}

}  // namespace engine
