// SPDX-License-Identifier: GPL-3.0-or-later
// Where a lost directory goes on: a cluster joins a folder only with a
// convincing score by a clear margin; otherwise it stays apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/exfat/exfat_directory_continuation.h"

namespace engine::exfat {
namespace {

constexpr uint64_t kSecond = 10000000;
constexpr uint64_t kNoon = 134000000000000000ull;

// A full directory cluster listing photos `from` to `to` whose data ends at dataEnd.
DirectoryClusterSummary Photos(const std::string& stem, int from, int to, uint32_t dataEnd) {
  DirectoryClusterSummary s;
  s.wholeSets = static_cast<uint32_t>(to - from + 1);
  s.firstName = stem + std::to_string(from) + ".JPG";
  s.lastName = stem + std::to_string(to) + ".JPG";
  s.firstTime = kNoon + static_cast<uint64_t>(from) * kSecond;
  s.lastTime = kNoon + static_cast<uint64_t>(to) * kSecond;
  s.dataEnd = dataEnd;
  return s;
}

DirectoryChain Folder(uint32_t first, uint32_t capacity) {
  DirectoryChain c;
  c.first = c.last = first;
  c.capacity = capacity;
  c.headed = true;
  return c;
}

DirectoryChain Piece(uint32_t first, bool held = false) {
  DirectoryChain c;
  c.first = c.last = first;
  c.held = held;
  return c;
}

struct Case {
  const char* what;
  std::vector<DirectoryChain> chains;
  std::unordered_map<uint32_t, DirectoryClusterSummary> summaries;
  std::vector<std::pair<uint32_t, uint32_t>> links;  // expected, in any order
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  cases.push_back({"a folder grows into the next free cluster after its photos",
                   {Folder(10, 2), Piece(50)},
                   {{10, Photos("IMG_", 1000, 1031, 48)}, {50, Photos("IMG_", 1032, 1063, 90)}},
                   {{10, 50}}});
  cases.push_back({"two folders in turns each take their own piece",
                   {Folder(10, 2), Folder(11, 2), Piece(60), Piece(74)},
                   {{10, Photos("IMG_", 1000, 1031, 72)},
                    {11, Photos("Screenshot_", 5000, 5024, 58)},
                    {60, Photos("Screenshot_", 5025, 5049, 110)},
                    {74, Photos("IMG_", 1032, 1063, 130)}},
                   {{10, 74}, {11, 60}}});
  cases.push_back({"two folders alike with nothing between them: the piece stays apart",
                   {Folder(10, 2), Folder(20, 2), Piece(50)},
                   {{10, Photos("IMG_", 1000, 1031, 48)},
                    {20, Photos("IMG_", 1000, 1031, 48)},
                    {50, Photos("IMG_", 1032, 1063, 90)}},
                   {}});
  cases.push_back({"a folder full by its entry takes nothing more",
                   {Folder(10, 1), Piece(50)},
                   {{10, Photos("IMG_", 1000, 1031, 48)}, {50, Photos("IMG_", 1032, 1063, 90)}},
                   {}});
  cases.push_back({"a cluster the live file system holds is no continuation",
                   {Folder(10, 2), Piece(50, true)},
                   {{10, Photos("IMG_", 1000, 1031, 48)}, {50, Photos("IMG_", 1032, 1063, 90)}},
                   {}});
  cases.push_back({"a piece before the data its folder lists is not its continuation",
                   {Folder(10, 2), Piece(30)},
                   {{10, Photos("IMG_", 1000, 1031, 48)}, {30, Photos("IMG_", 1032, 1063, 90)}},
                   {}});
  {
    Case c{"a folder that ended in its cluster takes nothing", {Folder(10, 2), Piece(50)}, {}, {}};
    c.summaries[10] = Photos("IMG_", 1000, 1020, 48);
    c.summaries[10].endsDirectory = true;
    c.summaries[50] = Photos("IMG_", 1032, 1063, 90);
    cases.push_back(c);
  }
  {
    Case c{"a set cut at the edge is completed only by a piece that begins with its rest",
           {Folder(10, 3), Piece(50)}, {}, {}};
    c.summaries[10] = Photos("IMG_", 1000, 1031, 48);
    c.summaries[10].missingEntries = 2;
    c.summaries[50] = Photos("IMG_", 1032, 1063, 90);
    cases.push_back(c);
  }
  cases.push_back({"pieces no folder heads join one another",
                   {Piece(50), Piece(92)},
                   {{50, Photos("IMG_", 1032, 1063, 90)}, {92, Photos("IMG_", 1064, 1095, 130)}},
                   {{50, 92}}});
  return cases;
}

TEST(DirectoryContinuation, JoinsOnlyWithAConvincingMargin) {
  for (Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    const auto links = LinkDirectoryChains(c.chains, c.summaries);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (const DirectoryLink& link : links) got.push_back({link.from, link.to});
    std::sort(got.begin(), got.end());
    std::sort(c.links.begin(), c.links.end());
    EXPECT_EQ(got, c.links);
  }
}

}  // namespace
}  // namespace engine::exfat
