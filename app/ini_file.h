// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace app {

using platform::Status;

// An INI file: "[Section]" lines, "key=value" lines below them, comments
// starting with ";" or "#". UTF-8; a byte-order mark is skipped. Sections and
// keys keep their file order and are found regardless of ASCII letter case;
// the first of two equal keys wins. Names and values are trimmed of blanks;
// a value in double quotes loses them. A file larger than kMaxFileBytes is
// read that far. Plain value; not thread-safe.
class CIniFile {
 public:
  static constexpr size_t kMaxFileBytes = 1u << 20;
  using Entries = std::vector<std::pair<std::string, std::string>>;

  // Reads path. A missing file leaves the object empty and returns its status.
  [[nodiscard]] Status Load(const std::string& path);
  void Parse(std::string_view text);

  std::vector<std::string> SectionNames() const;
  // The section's entries in file order; null when there is no such section.
  const Entries* Section(std::string_view name) const;
  // The value, or fallback when the section or key is missing.
  std::string Get(std::string_view section, std::string_view key, std::string_view fallback = {}) const;
  // Replaces the first entry of key (or appends one, and the section when new).
  void Set(std::string_view section, std::string_view key, std::string_view value);

  std::string Serialize() const;
  // Writes the file whole: "<path>.tmp", flushed, then renamed over path, so
  // a crash leaves the old file or the new one, never half of one. The
  // folder must exist.
  [[nodiscard]] Status Save(const std::string& path) const;

 private:
  std::vector<std::pair<std::string, Entries>> m_sections;
};

// ASCII letters compared without case.
bool SameIgnoringCase(std::string_view a, std::string_view b);

}  // namespace app
