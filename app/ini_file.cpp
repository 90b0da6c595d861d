// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ini_file.h"

#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/utf.h"

namespace app {
namespace {

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

}  // namespace

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (platform::AsciiLower(a[i]) != platform::AsciiLower(b[i])) return false;
  }
  return true;
}

Status CIniFile::Load(const std::string& path) {
  m_sections.clear();
  std::string text;
  Status s = platform::ReadWholeFile(path, &text, kMaxFileBytes);
  if (s != platform::kStatusOk && text.empty()) return s;
  Parse(text);
  return platform::kStatusOk;
}

void CIniFile::Parse(std::string_view text) {
  m_sections.clear();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Entries* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      const std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? close : close - 1));
      current = nullptr;
      for (auto& [n, entries] : m_sections) {
        if (SameIgnoringCase(n, name)) current = &entries;
      }
      if (current == nullptr) {
        m_sections.emplace_back(std::string(name), Entries{});
        current = &m_sections.back().second;
      }
      continue;
    }
    const size_t equals = line.find('=');
    if (current == nullptr || equals == std::string_view::npos) continue;  // outside a section, or not an entry
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) continue;
    bool known = false;
    for (const auto& [k, v] : *current) known = known || SameIgnoringCase(k, key);
    if (!known) current->emplace_back(std::string(key), std::string(Unquote(Trim(line.substr(equals + 1)))));
  }
}

std::vector<std::string> CIniFile::SectionNames() const {
  std::vector<std::string> names;
  for (const auto& [name, entries] : m_sections) names.push_back(name);
  return names;
}

const CIniFile::Entries* CIniFile::Section(std::string_view name) const {
  for (const auto& [n, entries] : m_sections) {
    if (SameIgnoringCase(n, name)) return &entries;
  }
  return nullptr;
}

std::string CIniFile::Get(std::string_view section, std::string_view key, std::string_view fallback) const {
  if (const Entries* entries = Section(section); entries != nullptr) {
    for (const auto& [k, v] : *entries) {
      if (SameIgnoringCase(k, key)) return v;
    }
  }
  return std::string(fallback);
}

void CIniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  Entries* entries = nullptr;
  for (auto& [n, e] : m_sections) {
    if (SameIgnoringCase(n, section)) entries = &e;
  }
  if (entries == nullptr) {
    m_sections.emplace_back(std::string(section), Entries{});
    entries = &m_sections.back().second;
  }
  for (auto& [k, v] : *entries) {
    if (SameIgnoringCase(k, key)) {
      v = std::string(value);
      return;
    }
  }
  entries->emplace_back(std::string(key), std::string(value));
}

std::string CIniFile::Serialize() const {
  std::string out;
  for (const auto& [name, entries] : m_sections) {
    if (!out.empty()) out += "\n";
    out += "[" + name + "]\n";
    for (const auto& [k, v] : entries) out += k + "=" + v + "\n";
  }
  return out;
}

Status CIniFile::Save(const std::string& path) const {
  const std::string text = Serialize();
  const std::string temp = path + ".tmp";
  platform::OutputFile file;
  Status s = file.Open(temp, platform::OutputFile::Mode::kReplaceOwnFile);
  if (s == platform::kStatusOk) s = file.WriteAt(0, text.data(), text.size());
  if (s == platform::kStatusOk) s = file.Sync();
  const Status closed = file.Close();
  if (s == platform::kStatusOk) s = closed;
  if (s == platform::kStatusOk) s = platform::RenameFile(temp, path);
  if (s != platform::kStatusOk) (void)platform::RemoveFile(temp);  // the status that matters is s
  return s;
}

}  // namespace app
