// SPDX-License-Identifier: GPL-3.0-or-later
// The invariant every engine keeps: the files a user can reach by browsing
// from the root are exactly the files a search for everything finds.
#pragma once
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/categories.h"
#include "engine/file_recovery_parse.h"

namespace engine::testing_invariant {

// Ids of the files reachable through ListChildren from the root, with the
// depth rule; folders are visited once per key.
inline std::set<int32_t> BrowsableFiles(IFileRecoveryParse& engine) {
  std::set<int32_t> files;
  struct Folder {
    ItemRecord record;
    int32_t depth;
    bool root;
  };
  std::vector<Folder> queue{{ZeroRecord(), 0, true}};
  std::set<std::pair<int32_t, int32_t>> seen;
  for (size_t i = 0; i < queue.size() && i < 200000; ++i) {
    const Folder folder = queue[i];
    std::vector<ItemRecord> children;
    (void)engine.ListChildren(folder.root ? nullptr : &folder.record, folder.depth, children);
    for (const ItemRecord& child : children) {
      if (child.isFolder == 0) {
        files.insert(+child.id);
      } else if (seen.insert({folder.depth + 1, +child.locator}).second) {
        queue.push_back({child, folder.depth + 1, false});
      }
    }
  }
  return files;
}

inline std::set<int32_t> SearchedFiles(IFileRecoveryParse& engine) {
  const std::string everything = EveryListPattern() + "|.other";
  std::vector<ItemRecord> found;
  (void)engine.Search(everything, found);
  std::set<int32_t> files;
  for (const ItemRecord& r : found) files.insert(+r.id);
  return files;
}

// Checks the invariant on a scanned engine; what differs is named.
inline void ExpectBrowsingFindsWhatSearchFinds(IFileRecoveryParse& engine, const std::string& what) {
  const std::set<int32_t> browsed = BrowsableFiles(engine);
  const std::set<int32_t> searched = SearchedFiles(engine);
  for (int32_t id : searched) EXPECT_EQ(browsed.count(id), 1u) << what << ": file " << id << " cannot be browsed to";
  for (int32_t id : browsed) EXPECT_EQ(searched.count(id), 1u) << what << ": file " << id << " is not found by search";
}

}  // namespace engine::testing_invariant
