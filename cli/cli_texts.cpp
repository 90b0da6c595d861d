// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli_texts.h"

#include "app/language_config.h"
#include "app/text_table.h"
#include "platform/utf.h"

namespace cli {

bool LoadLanguage(const std::string& name, std::string* problem) {
  problem->clear();
  app::CLanguageConfig config;
  config.Load();
  app::CTextTable& table = app::CTextTable::Instance();
  if (!name.empty()) {
    // A language is named as the user writes it: "deutsch" is "Deutsch".
    std::string wanted = name;
    for (const app::LanguageChoice& choice : config.Languages()) {
      if (platform::AsciiLower(choice.name) == platform::AsciiLower(name)) wanted = choice.name;
    }
    if (config.LoadTexts(table, wanted) == platform::kStatusOk) return true;
    *problem = "no language file for '" + name + "'; using " + config.CurrentLanguage();
  }
  if (config.LoadTexts(table) == platform::kStatusOk) return true;
  if (config.CurrentLanguage() != "English" && config.LoadTexts(table, "English") == platform::kStatusOk) return true;
  *problem = "no language file could be read (looked for Languages/" + config.CurrentLanguage() +
             ".ini beside the program and in its share folder)";
  return false;
}

const jobs::ITextSource& Texts() {
  return app::CTextTable::Instance();
}

std::string Tr(std::string_view key, std::initializer_list<jobs::TextArg> args) {
  return jobs::FormatText(Texts().Text(kCliSection, key), args);
}

std::string Msg(std::string_view key, std::initializer_list<jobs::TextArg> args) {
  return jobs::FormatText(Texts().Text(jobs::kMessagesSection, key), args);
}

}  // namespace cli
