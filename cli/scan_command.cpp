// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/scan_session.h"
#include "engine/categories.h"

namespace cli {
namespace {

std::string Marks(const engine::ItemRecord& item) {
  std::string marks;
  if (jobs::IsDeletedItem(item)) marks += "deleted";
  if (item.isIntact == 0) marks += marks.empty() ? "damaged" : ",damaged";
  return marks.empty() ? "-" : marks;
}

void PrintJson(const std::vector<jobs::ScanSource>& sources, const std::vector<jobs::FoundFile>& files) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& f : files) {
    std::string name(f.item.Name());
    const uint64_t size = f.item.size;  // a copy: the record's fields are not aligned
    out.push_back({{"source", sources[f.sourceIndex].target.label},
                   {"path", f.folderPath + name},
                   {"name", name},
                   {"size", size},
                   {"folder", f.folderPath},
                   {"deleted", jobs::IsDeletedItem(f.item)},
                   {"intact", f.item.isIntact != 0},
                   {"category", std::string(engine::CategoryWord(engine::CategoryOfName(name)))},
                   {"engine", jobs::EngineName(f.item.sourceKind)},
                   {"modified", FormatFileTime(f.item.modified)}});
  }
  std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void PrintTable(const std::vector<jobs::ScanSource>& sources, const std::vector<jobs::FoundFile>& files) {
  std::map<std::string, std::pair<uint64_t, uint64_t>> perCategory;  // count, bytes
  size_t lastSource = SIZE_MAX;
  for (const auto& f : files) {
    if (f.sourceIndex != lastSource) {
      lastSource = f.sourceIndex;
      std::printf("== %s\n%-32s %-28s %12s  %-19s  %s\n", sources[f.sourceIndex].target.label.c_str(), "folder", "name",
                  "size", "modified", "marks");
    }
    std::string name(f.item.Name());
    std::printf("%-32s %-28s %12llu  %-19s  %s\n", (f.folderPath.empty() ? "/" : "/" + f.folderPath).c_str(),
                name.c_str(), static_cast<unsigned long long>(f.item.size), FormatFileTime(f.item.modified).c_str(),
                Marks(f.item).c_str());
    auto& entry = perCategory[std::string(engine::CategoryWord(engine::CategoryOfName(name)))];
    entry.first += 1;
    entry.second += f.item.size;
  }
  std::printf("\n%zu files found", files.size());
  for (const auto& [category, entry] : perCategory) {
    std::printf("%s %s %llu (%llu bytes)", category == perCategory.begin()->first ? ":" : ",", category.c_str(),
                static_cast<unsigned long long>(entry.first), static_cast<unsigned long long>(entry.second));
  }
  std::printf("\n");
}

}  // namespace

int RunScan(const ScanOptions& options) {
  std::vector<jobs::ScanSource> sources;
  std::vector<jobs::FoundFile> files;
  bool cancelled = false;
  int exitCode = kExitOk;
  if (!ScanAndCollect(options, &sources, &files, &cancelled, &exitCode)) return exitCode;
  if (options.json) {
    PrintJson(sources, files);
  } else {
    PrintTable(sources, files);
  }
  return cancelled ? kExitCancelled : kExitOk;
}

}  // namespace cli
