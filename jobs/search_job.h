// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "engine/item_record.h"
#include "jobs/scan_job.h"

namespace jobs {

// A found file with the source that found it and its folder inside the volume.
struct FoundFile {
  size_t sourceIndex = 0;
  engine::ItemRecord item;
  std::string folderPath;  // "DCIM/100/" ("/"-separated as found; empty at the root)
};

// The search pattern for a list of types: categories (photo, audio, video,
// document, archive, other) and/or bare extensions (jpg, doc). Empty list:
// every category and other. Returns false with *error for an unknown word.
bool BuildSearchPattern(const std::vector<std::string>& types, std::string* pattern, std::string* error);

// Collects the files the pattern selects from every scanned source, in
// source order and child order within a source.
platform::Status CollectFiles(std::vector<ScanSource>& sources, const std::string& pattern,
                              std::vector<FoundFile>* files, const std::atomic<bool>* cancel);

// Whether a found item counts as deleted for display: the fast engines
// record only deleted files; the others mark them.
bool IsDeletedItem(const engine::ItemRecord& item);
// "fast-ntfs", "fast-fat", "pro-ntfs", "pro-fat", "signature".
const char* EngineName(int32_t sourceKind);

}  // namespace jobs
