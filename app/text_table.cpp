// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/text_table.h"

#include <algorithm>
#include <mutex>

#include "app/ini_file.h"
#include "platform/utf.h"

namespace app {

namespace {

// "\n" in a language file stands for a line break.
std::string WithLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out.push_back('\n');
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

CTextTable& CTextTable::Instance() {
  static CTextTable table;
  return table;
}

bool CTextTable::NoCase::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(platform::AsciiLower(x)) < static_cast<unsigned char>(platform::AsciiLower(y));
  });
}

platform::Status CTextTable::LoadFile(const std::string& path) {
  CIniFile file;
  const platform::Status s = file.Load(path);
  std::map<std::string, Keys, NoCase> sections;
  for (const auto& name : file.SectionNames()) {
    Keys& keys = sections[name];
    for (const auto& [key, text] : *file.Section(name)) keys.emplace(key, WithLineBreaks(text));
  }
  std::unique_lock lock(m_mutex);
  m_sections = std::move(sections);
  return s;
}

void CTextTable::Clear() {
  std::unique_lock lock(m_mutex);
  m_sections.clear();
}

std::string CTextTable::Text(std::string_view section, std::string_view key) const {
  std::shared_lock lock(m_mutex);
  auto s = m_sections.find(std::string(section));
  if (s == m_sections.end()) return {};
  auto k = s->second.find(std::string(key));
  return k == s->second.end() ? std::string() : k->second;
}

std::map<std::string, std::string> CTextTable::Section(std::string_view name) const {
  std::shared_lock lock(m_mutex);
  auto s = m_sections.find(std::string(name));
  if (s == m_sections.end()) return {};
  return {s->second.begin(), s->second.end()};
}

bool CTextTable::Empty() const {
  std::shared_lock lock(m_mutex);
  return m_sections.empty();
}

}  // namespace app
