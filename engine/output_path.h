// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

// A destination split at the end of its output root: destination =
// root + "/" + relative. Everything is written below root without following
// links (platform/output_tree.h); root is the folder the user chose.
struct OutputTarget {
  std::string root;
  std::string relative;  // "/"-separated, no leading or trailing "/"
};

// Splits destinationPath after the root that holds rootSeparatorCount
// separators (the depth rule of RecoverItem). When the path holds too few
// separators, or the part below the root is not made of plain names, the
// destination's own folder is taken as the root. False for an empty path or
// one that ends in "/" with nothing to name.
bool SplitDestination(std::string_view destinationPath, int32_t rootSeparatorCount, OutputTarget* out);

// The first name not yet taken in the folder folderRelative below root:
// safeName itself, then "stem(1).ext", "stem(2).ext", ... (the extension is
// the text from the last "."; a leading "." starts no extension). Anything
// that exists takes its name, a link included, and so does a name the
// CommitBatch open on this thread will give. The result stays within 255
// bytes, cut on a character boundary.
std::string UniqueChildName(const std::string& root, const std::string& folderRelative, const std::string& safeName);

// Joins a folder path below a root with a child name.
std::string JoinRelative(const std::string& folderRelative, const std::string& name);

// Number of "/" and "\" among all characters of path except its last.
int32_t SeparatorCount(std::string_view path);

}  // namespace engine
