// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/library_error.h"

#include <algorithm>

namespace storage {
namespace {

// "libvhdi_file_footer_read_data: unsupported signature." → "unsupported signature"
std::string ReasonOfLine(std::string line) {
  size_t colon = line.find(": ");
  if (colon != std::string::npos && line.find(' ') > colon) line.erase(0, colon + 2);
  while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

std::vector<std::string> LibraryErrorReasons(const std::string& backtrace) {
  std::vector<std::string> reasons;
  std::string text = backtrace.substr(0, backtrace.find('\0'));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string reason = ReasonOfLine(text.substr(start, end - start));
    if (!reason.empty() && (reasons.empty() || reasons.back() != reason)) reasons.push_back(std::move(reason));
    start = end + 1;
  }
  return reasons;
}

std::string LibraryErrorSummary(const std::string& backtrace, const std::string& fallback) {
  std::vector<std::string> reasons = LibraryErrorReasons(backtrace);
  if (reasons.empty()) return fallback;
  if (reasons.size() == 1) return reasons[0];
  return reasons[1] + ": " + reasons[0];
}

}  // namespace storage
