// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <map>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "jobs/text_source.h"
#include "platform/status.h"

namespace app {

// The texts of one language: section -> key -> text, loaded from a language
// file ("Languages/English.ini"); "\n" in a text stands for a line break. A
// missing section or key yields an empty text, never a failure. Loading replaces everything, so no text of the
// previous language survives a switch. One process-wide table (Instance)
// serves the front ends and the jobs; lookups may come from any thread
// while the main thread loads (a shared lock).
class CTextTable final : public jobs::ITextSource {
 public:
  static CTextTable& Instance();
  CTextTable() = default;

  // Empties the table, then reads every section of the file. A missing file
  // leaves the table empty and returns its status.
  [[nodiscard]] platform::Status LoadFile(const std::string& path);
  void Clear();

  std::string Text(std::string_view section, std::string_view key) const override;
  // A copy of one section (key -> text); empty when missing.
  std::map<std::string, std::string> Section(std::string_view name) const;
  bool Empty() const;

 private:
  // Keys compare without ASCII case, as in the files.
  struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using Keys = std::map<std::string, std::string, NoCase>;
  mutable std::shared_mutex m_mutex;
  std::map<std::string, Keys, NoCase> m_sections;
};

}  // namespace app
