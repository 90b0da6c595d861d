// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/language_config.h"

#include "app/ini_file.h"
#include "platform/folders.h"
#include "platform/utf.h"

namespace app {
namespace {

constexpr std::string_view kConfigName = "config.ini";
constexpr std::string_view kDefaultSection = "DefaultLanguage";
constexpr std::string_view kDefaultKey = "Default";
constexpr std::string_view kLanguagesSection = "Languages";

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  return folder;
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

std::string CutName(std::string name) {
  name.resize(platform::Utf8BoundaryAtOrBefore(name, CLanguageConfig::kMaxLanguageNameBytes));
  return name;
}

}  // namespace

void CLanguageConfig::Load() {
  Load(platform::ProgramDataFolders(), platform::ConfigFolder() + std::string(kConfigName));
}

void CLanguageConfig::Load(std::vector<std::string> programFolders, std::string userConfigPath) {
  m_programFolders.clear();
  for (auto& f : programFolders) m_programFolders.push_back(WithSlash(std::move(f)));
  m_userConfigPath = std::move(userConfigPath);
  ReadChoices();
}

void CLanguageConfig::ReadChoices() {
  m_current = "English";
  m_languages.clear();
  CIniFile shipped;
  for (const auto& folder : m_programFolders) {
    if (shipped.Load(folder + std::string(kConfigName)) == platform::kStatusOk) break;
  }
  if (const CIniFile::Entries* list = shipped.Section(kLanguagesSection); list != nullptr) {
    for (const auto& [name, display] : *list) m_languages.push_back({name, display});
  }
  std::string current = shipped.Get(kDefaultSection, kDefaultKey);
  CIniFile user;
  if (user.Load(m_userConfigPath) == platform::kStatusOk) current = user.Get(kDefaultSection, kDefaultKey, current);
  if (!current.empty()) m_current = CutName(current);
}

std::string CLanguageConfig::LanguageFilePath(std::string_view name) const {
  if (!IsPlainName(name)) return {};
  for (const auto& folder : m_programFolders) {
    const std::string path = folder + "Languages/" + std::string(name) + ".ini";
    if (platform::KindOfPath(path) == platform::PathKind::kRegularFile) return path;
  }
  return {};
}

platform::Status CLanguageConfig::LoadTexts(CTextTable& table) const {
  return LoadTexts(table, m_current);
}

platform::Status CLanguageConfig::LoadTexts(CTextTable& table, std::string_view name) const {
  const std::string path = LanguageFilePath(name);
  if (path.empty()) {
    table.Clear();
    return platform::kErrorFileNotFound;
  }
  return table.LoadFile(path);
}

platform::Status CLanguageConfig::SetLanguage(std::string_view name, CTextTable& table) {
  const std::string chosen = CutName(std::string(name));
  if (LanguageFilePath(chosen).empty()) return platform::kStatusInvalidParameter;
  CIniFile user;
  (void)user.Load(m_userConfigPath);  // a missing file starts empty; other entries of a present one are kept
  user.Set(kDefaultSection, kDefaultKey, chosen);
  const size_t slash = m_userConfigPath.find_last_of('/');
  if (slash != std::string::npos) {
    if (platform::Status s = platform::CreateDirectories(m_userConfigPath.substr(0, slash)); s != platform::kStatusOk) {
      return s;
    }
  }
  if (platform::Status s = user.Save(m_userConfigPath); s != platform::kStatusOk) return s;
  ReadChoices();  // read back what was written
  return LoadTexts(table);
}

}  // namespace app
