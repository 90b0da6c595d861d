// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "engine/item_fragments.h"
#include "engine/item_placement.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/file_category.h"
#include "jobs/folder_browser.h"
#include "platform/error.h"

namespace cli {
namespace {

using jobs::EscapeForDisplay;

std::string CategoryOfItem(const engine::ItemRecord& item) {
  if (item.isFolder != 0) return "folder";
  return std::string(jobs::CategoryWord(jobs::CategoryOf(item.Name())));
}

nlohmann::json ItemJson(const jobs::FoundItem& f) {
  const std::string name(f.item.Name());
  const uint64_t size = f.item.size;  // a copy: the record's fields are not aligned
  // Where the data begins on the source, in its sectors, and from how many runs it is read.
  nlohmann::json firstSector = nullptr;
  int32_t fragments = 1;
  if (engine::IFileRecoveryParse* e = f.source->engine.get()) {
    uint64_t firstByte = 0;
    auto* placement = dynamic_cast<engine::IItemPlacement*>(e);
    const uint32_t unit = f.source->target.sectorSize != 0 ? f.source->target.sectorSize : 512;
    if (placement != nullptr && placement->FirstDataByte(f.item, &firstByte)) firstSector = firstByte / unit;
    if (auto* layout = dynamic_cast<engine::IItemFragments*>(e)) {
      fragments = layout->FragmentCount(f.item);
    }
  }
  const int32_t id = f.item.id;
  return {{"source", f.source->target.label},
          {"path", f.folderPath + name},
          {"name", name},
          {"size", size},
          {"folder", f.folderPath},
          {"isFolder", f.item.isFolder != 0},
          {"deleted", IsDeletedItem(f.item)},
          {"intact", engine::IsIntact(f.item)},
          {"state", engine::StateWord(engine::StateOf(f.item))},
          {"category", CategoryOfItem(f.item)},
          {"engine", EngineName(f.item.sourceKind)},
          {"firstSector", firstSector},
          {"fragments", f.item.isFolder != 0 ? 0 : fragments},
          {"reassembled", f.reassembledPieces != 0},
          {"id", id},
          {"modified", FormatFileTime(f.item.modified)}};
}

// One item per line, written as it is made: a deep scan may list millions.
void PrintJson(const std::vector<jobs::FoundItem>& items) {
  std::fputs("[", stdout);
  const char* separator = "\n  ";
  for (const auto& f : items) {
    const std::string line = ItemJson(f).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fputs(separator, stdout);
    std::fputs(line.c_str(), stdout);
    separator = ",\n  ";
  }
  std::fputs(items.empty() ? "]\n" : "\n]\n", stdout);
}

void PrintTable(const std::vector<jobs::FoundItem>& files) {
  std::map<std::string, std::pair<uint64_t, uint64_t>> perCategory;  // count, bytes
  const jobs::ScanSource* lastSource = nullptr;
  for (const auto& f : files) {
    if (f.source.get() != lastSource) {
      lastSource = f.source.get();
      std::printf("== %s\n%s %s %12s  %s  %s\n", EscapeForDisplay(f.source->target.label).c_str(),
                  jobs::PadToWidth(Tr("ColumnFolder"), 32).c_str(), jobs::PadToWidth(Tr("ColumnName"), 28).c_str(),
                  Tr("ColumnSize").c_str(), jobs::PadToWidth(Tr("ColumnModified"), 19).c_str(),
                  Tr("ColumnMarks").c_str());
    }
    const std::string name(f.item.Name());
    std::printf("%s %s %12llu  %-19s  %s\n", jobs::PadToWidth(EscapeForDisplay("/" + f.folderPath), 32).c_str(),
                jobs::PadToWidth(EscapeForDisplay(name), 28).c_str(), static_cast<unsigned long long>(f.item.size),
                FormatFileTime(f.item.modified).c_str(), Marks(f.item, f.reassembledPieces != 0).c_str());
    auto& entry = perCategory[CategoryOfItem(f.item)];
    entry.first += 1;
    entry.second += f.item.size;
  }
  std::printf(
      "\n%s",
      Tr(files.size() == 1 ? "FileFound" : "FilesFound", {static_cast<unsigned long long>(files.size())}).c_str());
  bool first = true;
  for (const auto& [category, entry] : perCategory) {
    // The kinds by the names the user's language gives them ("KindPhoto", "KindFolder", ...).
    std::string kind = "Kind" + category;
    if (kind[4] >= 'a' && kind[4] <= 'z') kind[4] = static_cast<char>(kind[4] - 'a' + 'A');
    std::printf("%s %s", first ? ":" : ",",
                Tr("KindCount", {Tr(kind), static_cast<unsigned long long>(entry.first), jobs::SizeText(entry.second)})
                    .c_str());
    first = false;
  }
  std::printf("\n");
  // Files that are not intact are counted apart: their copies will not be the user's own bytes.
  uint64_t overwritten = 0, damaged = 0, reassembled = 0;
  for (const auto& f : files) {
    if (f.item.isFolder != 0) continue;
    const engine::ItemState state = engine::StateOf(f.item);
    overwritten += state == engine::ItemState::kOverwritten ? 1 : 0;
    damaged += state == engine::ItemState::kDamaged ? 1 : 0;
    reassembled += f.reassembledPieces != 0 ? 1 : 0;
  }
  // Put together from pieces: intact ones were proven whole, the others are counted above too.
  if (reassembled != 0) std::printf("%s\n", Tr("ReassembledFound", {static_cast<unsigned long long>(reassembled)}).c_str());
  if (overwritten != 0) std::printf("%s\n", Tr("OverwrittenFound", {static_cast<unsigned long long>(overwritten)}).c_str());
  if (damaged != 0) std::printf("%s\n", Tr("DamagedFound", {static_cast<unsigned long long>(damaged)}).c_str());
}

}  // namespace

int RunScan(const ScanOptions& options) {
  Session session;
  int exitCode = kExitOk;
  if (!ScanAndCollect(options, options.reuse ? jobs::ReusePolicy::kReuse : jobs::ReusePolicy::kFresh, true, &session,
                      &exitCode)) {
    return exitCode;
  }
  if (options.json) {
    PrintJson(session.files);
  } else {
    PrintTable(session.files);
  }
  // After the summary: where a fast scan may have listed only part of a deleted folder.
  for (const auto& source : session.sources) {
    if (source->foldersCutOff == 0) continue;
    std::fprintf(options.json ? stderr : stdout, "%s\n",
                 Tr("FoldersCutOff", {EscapeForDisplay(source->target.label), static_cast<unsigned long long>(
                                                                                  source->foldersCutOff)})
                     .c_str());
  }
  return session.cancelled ? kExitCancelled : kExitOk;
}

int RunList(const ScanOptions& options) {
  Session session;
  int exitCode = kExitOk;
  ScanOptions all = options;
  all.types.clear();
  if (!ScanAndCollect(all, jobs::ReusePolicy::kStoredOnly, false, &session, &exitCode, /*quiet=*/true)) {
    if (exitCode == kExitFailed) PrintError(Tr("ScanFirst", {options.source}));
    return exitCode;
  }
  std::vector<jobs::FoundItem> listed;
  int status = kExitOk;
  bool folderFound = false;
  for (const auto& source : session.sources) {
    if (!source->engine) continue;
    std::vector<jobs::FoundItem> items;
    const platform::Status s = jobs::ListFolderAt(source, options.folder, &items);
    if (s == platform::kErrorFileNotFound) continue;  // perhaps on another volume
    folderFound = true;
    if (s != platform::kStatusOk) {
      PrintError(source->target.label + ": " + ErrorText(&Texts(), s));
      status = kExitFailed;
      continue;
    }
    listed.insert(listed.end(), items.begin(), items.end());
  }
  if (!folderFound) {
    PrintError(Tr("NoSuchFolder", {options.folder, options.source}));
    return kExitFailed;
  }
  if (options.json) {
    PrintJson(listed);
    return status;
  }
  const jobs::ScanSource* lastSource = nullptr;
  for (const auto& f : listed) {
    if (session.sources.size() > 1 && f.source.get() != lastSource) {
      lastSource = f.source.get();
      std::printf("== %s\n", EscapeForDisplay(f.source->target.label).c_str());
    }
    std::string name = EscapeForDisplay(std::string(f.item.Name()));
    if (f.item.isFolder != 0) name += "/";
    std::printf("%s %12llu  %-19s  %s\n", jobs::PadToWidth(name, 40).c_str(),
                static_cast<unsigned long long>(f.item.size), FormatFileTime(f.item.modified).c_str(),
                Marks(f.item, f.reassembledPieces != 0).c_str());
  }
  if (listed.empty() && status == kExitOk) std::printf("%s\n", Tr("EmptyFolder").c_str());
  return status;
}

}  // namespace cli
