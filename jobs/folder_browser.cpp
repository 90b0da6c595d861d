// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/folder_browser.h"

#include <string>

namespace jobs {

platform::Status ListFolderAt(const std::shared_ptr<ScanSource>& source, std::string_view path,
                              std::vector<FoundItem>* out) {
  out->clear();
  if (!source || !source->engine) return platform::kStatusInvalidParameter;
  engine::IFileRecoveryParse& engine = *source->engine;
  std::vector<engine::ItemRecord> level;
  if (platform::Status s = engine.ListChildren(nullptr, 0, level); s != platform::kStatusOk) return s;
  int32_t depth = 0;  // of the folders whose children `level` holds
  std::string folderPath;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view name = path.substr(start, slash - start);
    start = slash + 1;
    if (name.empty()) continue;
    std::vector<engine::ItemRecord> next;
    bool any = false;
    for (const auto& item : level) {
      if (item.isFolder == 0 || item.Name() != name) continue;
      any = true;
      if (platform::Status s = engine.ListChildren(&item, depth + 1, next); s != platform::kStatusOk) return s;
    }
    if (!any) return platform::kErrorFileNotFound;
    level = std::move(next);
    ++depth;
    folderPath += std::string(name) + "/";
  }
  out->reserve(level.size());
  for (const auto& item : level) {
    FoundItem f;
    f.source = source;
    f.item = item;
    f.item.driveLetter = source->target.driveLetter;
    f.folderPath = folderPath;
    f.folderDepth = item.isFolder != 0 ? depth + 1 : -1;
    NoteReassembled(f);
    out->push_back(std::move(f));
  }
  return platform::kStatusOk;
}

}  // namespace jobs
