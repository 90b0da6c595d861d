// SPDX-License-Identifier: GPL-3.0-or-later
// Deleted files written into the holes of deleted files, with other data
// between their pieces: a deep scan puts them together byte-exact and lists
// them intact and reassembled with their piece count, also on a card
// formatted since; a file whose piece a live file took stays damaged, and so
// does one no decoder can prove.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/item_fragments.h"
#include "tests/engine/deep/deep_scan_util.h"

namespace engine::deep_testing {
namespace {

using testing_support::ManifestRow;

struct Expected {
  const char* path;  // as the manifest names it
  bool comesBack;    // false: a piece is gone, the file must not be intact
};

struct Volume {
  const char* name;
  std::vector<Expected> files;
};

// Pieces, as the manifest's note tells them ("pieces=N", or the cluster ranges after "clusters ").
int PiecesOf(const ManifestRow& row) {
  const size_t at = row.note.find("pieces=");
  if (at != std::string::npos) return std::stoi(row.note.substr(at + 7));
  const size_t from = row.note.find("clusters ");
  if (from == std::string::npos) return 0;
  const std::string ranges = row.note.substr(from + 9, row.note.find(';', from) - from - 9);
  return static_cast<int>(std::count(ranges.begin(), ranges.end(), ' ')) + 1;
}

// A deleted short name lost its first letter ("!hoto.jpg"); a long name is kept.
bool Names(const std::string& listed, const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  return listed == name || (!listed.empty() && listed[0] == '!' && listed.substr(1) == name.substr(1));
}

class FragmentSearchTest : public ::testing::TestWithParam<Volume> {
 protected:
  void SetUp() override { store::ScanIndex::Instance().Load(); }
  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
};

TEST_P(FragmentSearchTest, FilesWrittenInPiecesComeBackOnlyWhenTheirDecodeProvesThem) {
  const Volume& volume = GetParam();
  const std::string name = volume.name;
  const std::string image = testing_support::UnpackedFixture(name + ".img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture " << name << " is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath(name + ".manifest.tsv"));
  auto run = DeepScanBytes(testing_support::ReadFileBytes(image));
  ASSERT_EQ(run->status, kStatusOk);
  const auto all = ListEverything(*run->engine);
  auto* fragments = dynamic_cast<IItemFragments*>(run->engine.get());
  ASSERT_NE(fragments, nullptr);
  int copies = 0;
  for (const Expected& e : volume.files) {
    SCOPED_TRACE(e.path);
    auto row = std::find_if(rows.begin(), rows.end(), [&](const ManifestRow& r) { return r.path == e.path; });
    if (row == rows.end()) continue;  // not made: its program was missing
    auto found = std::find_if(all.begin(), all.end(), [&](const Listed& l) {
      return l.record.isFolder == 0 && l.record.size == std::stoull(row->size) &&
             Names(std::string(l.record.Name()), row->path);
    });
    if (!e.comesBack) {
      // Damaged photos are left out of the listing; one listed is never intact.
      if (found != all.end()) {
        EXPECT_NE(StateOf(found->record), ItemState::kIntact);
      }
      continue;
    }
    ASSERT_NE(found, all.end()) << "not listed";
    EXPECT_EQ(StateOf(found->record), ItemState::kIntact);
    EXPECT_TRUE(fragments->Reassembled(found->record));
    EXPECT_EQ(fragments->FragmentCount(found->record), PiecesOf(*row));
    const std::string target = m_out.path() + "copy" + std::to_string(copies++);
    ASSERT_EQ(run->engine->RecoverItem(&found->record, target, 0), kStatusOk);
    EXPECT_EQ(testing_support::Sha256OfFile(target), row->sha256);
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, FragmentSearchTest,
                         ::testing::Values(Volume{"fat_holes", {{"/big.jpg", true}}},
                                           Volume{"fragmented_fat",
                                                  {{"/photo.jpg", true},
                                                   {"/sunset.png", true},
                                                   {"/letters.zip", true},
                                                   {"/report.docx", true},
                                                   {"/lost.jpg", false},
                                                   {"/clip.mp4", false}}},
                                           // The same card quick-formatted: found by their old folder's entries.
                                           Volume{"fragmented_fat_formatted",
                                                  {{"/DCIM/100PHOTO/photo.jpg", true},
                                                   {"/DCIM/100PHOTO/sunset.png", true},
                                                   {"/DCIM/100PHOTO/letters.zip", true},
                                                   {"/DCIM/100PHOTO/report.docx", true},
                                                   {"/DCIM/100PHOTO/lost.jpg", false},
                                                   {"/DCIM/100PHOTO/clip.mp4", false}}},
                                           // An exFAT card written by bursts in turns, quick-formatted.
                                           Volume{"fragmented_exfat_formatted",
                                                  {{"/DCIM/100CANON/IMG_0001.JPG", true},
                                                   {"/DCIM/100CANON/IMG_0002.JPG", true},
                                                   {"/DCIM/100CANON/IMG_0003.PNG", true}}}));

}  // namespace
}  // namespace engine::deep_testing
