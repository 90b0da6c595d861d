// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "app/text_table.h"
#include "platform/status.h"

namespace app {

// A language offered in the language menu: its name (the file name without
// ".ini") and the text the menu shows.
struct LanguageChoice {
  std::string name;
  std::string display;
};

// "config.ini" and the "Languages" folder shipped with the program, and the
// user's own choice of language. The shipped files are looked for beside the
// executable, then in the installed share folder (<prefix>/share/quellmoor).
// The program folder is read-only: the user's choice is written to
// $XDG_CONFIG_HOME/quellmoor/config.ini, which wins over the shipped
// "DefaultLanguage". Not thread-safe; the main thread owns it.
class CLanguageConfig {
 public:
  static constexpr size_t kMaxLanguageNameBytes = 63;

  // Finds and reads the shipped config.ini and the user's config.
  void Load();
  // The same with explicit places (tests): folders to search for config.ini
  // and Languages/, and the user's config file.
  void Load(std::vector<std::string> programFolders, std::string userConfigPath);

  // "English" when neither file names one.
  const std::string& CurrentLanguage() const { return m_current; }
  // The shipped "Languages" section, in file order.
  const std::vector<LanguageChoice>& Languages() const { return m_languages; }
  // The language file of name: "<folder>/Languages/<name>.ini" of the first
  // program folder that has it; empty when none does or when name is not a
  // plain file name.
  std::string LanguageFilePath(std::string_view name) const;

  // Empties table and loads the current language (or name) into it. A
  // missing file leaves the table empty and returns its status.
  [[nodiscard]] platform::Status LoadTexts(CTextTable& table) const;
  [[nodiscard]] platform::Status LoadTexts(CTextTable& table, std::string_view name) const;

  // Makes name the user's language: writes it to the user's config, reads
  // it back, and reloads table. 87 for a name with no language file (the
  // choice stays as it was); the write's error when it cannot be saved.
  [[nodiscard]] platform::Status SetLanguage(std::string_view name, CTextTable& table);

  const std::string& UserConfigPath() const { return m_userConfigPath; }

 private:
  void ReadChoices();

  std::vector<std::string> m_programFolders;
  std::string m_userConfigPath;
  std::string m_current = "English";
  std::vector<LanguageChoice> m_languages;
};

}  // namespace app
