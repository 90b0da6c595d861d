// SPDX-License-Identifier: GPL-3.0-or-later
// The INI reader over arbitrary text: sections, keys and values are found
// again after the text is written back and read once more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > app::CIniFile::kMaxFileBytes) return 0;
  app::CIniFile ini;
  ini.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const std::string& name : ini.SectionNames()) {
    const app::CIniFile::Entries* entries = ini.Section(name);
    if (entries == nullptr) std::abort();
    for (const auto& [key, value] : *entries) (void)ini.Get(name, key);
  }
  (void)ini.Get("Messages", "MSG0701", "fallback");
  ini.Set("Setting", "DefaultLanguage", "English");
  const std::string text = ini.Serialize();
  app::CIniFile again;
  again.Parse(text);
  if (again.Get("Setting", "DefaultLanguage") != "English") std::abort();
  return 0;
}
