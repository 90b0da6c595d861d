// SPDX-License-Identifier: GPL-3.0-or-later
// "Intact" means the user's own bytes: on volumes formatted and used again,
// and on cards whose deleted files met files written after them, every file
// listed intact copies out as one of the files the volume held under that
// name, files whose bytes the new file system holds are listed as
// overwritten, and no photo only the carver found is hidden behind a stale
// entry.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "engine/fat/fast_fat_recovery.h"
#include "tests/engine/deep/deep_scan_util.h"

namespace engine::deep_testing {
namespace {

using testing_support::ManifestRow;

std::string BaseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

struct Truth {
  std::set<std::string> hashes;                         // every file the volume held
  std::map<std::string, std::set<std::string>> byName;  // lower-cased name → its contents
  std::set<std::string> overwritten;                    // lower-cased names of files the new system holds
  bool reused = false;                                  // formatted and written again
};

Truth TruthOf(const std::string& manifest) {
  Truth t;
  for (const ManifestRow& row : testing_support::ReadManifest(manifest)) {
    if (row.size == "-" || row.size == "0") continue;
    t.hashes.insert(row.sha256);
    t.byName[Lower(BaseName(row.path))].insert(row.sha256);
    if (row.note.find("overwritten") != std::string::npos) t.overwritten.insert(Lower(BaseName(row.path)));
  }
  std::ifstream in(manifest);
  std::string first;
  std::getline(in, first);
  t.reused = first.find("kind=reused") != std::string::npos;
  return t;
}

class IntactTruthTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { store::ScanIndex::Instance().Load(); }
  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
};

// Deep mode: nothing listed intact holds foreign bytes; what the new file
// system holds is listed as overwritten.
TEST_P(IntactTruthTest, EveryIntactFileHoldsItsOwnBytes) {
  const std::string name = GetParam();
  const std::string path = testing_support::UnpackedFixture(name + ".img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture " << name << " is not available";
  auto run = DeepScanBytes(testing_support::ReadFileBytes(path));
  ASSERT_EQ(run->status, kStatusOk);
  const Truth truth = TruthOf(testing_support::FixturePath(name + ".manifest.tsv"));
  const auto all = ListEverything(*run->engine);
  int intact = 0;
  int overwritten = 0;
  for (const Listed& item : all) {
    if (item.record.isFolder != 0) continue;
    const std::string file = Lower(std::string(item.record.Name()));
    const ItemState state = StateOf(item.record);
    if (truth.overwritten.count(file) != 0) {
      EXPECT_NE(state, ItemState::kIntact) << item.path << " lies where the new file system keeps its data";
    }
    overwritten += state == ItemState::kOverwritten ? 1 : 0;
    if (state != ItemState::kIntact || item.record.size == 0) continue;
    const std::string target = m_out.path() + "f" + std::to_string(intact);
    ASSERT_EQ(run->engine->RecoverItem(&item.record, target, 0), kStatusOk) << item.path;
    const std::string hash = testing_support::Sha256OfFile(target);
    auto named = truth.byName.find(file);
    if (named != truth.byName.end()) {
      EXPECT_EQ(named->second.count(hash), 1u) << item.path << " is listed intact with another file's bytes";
    } else {
      EXPECT_EQ(truth.hashes.count(hash), 1u) << item.path << " is listed intact with bytes no file had";
    }
    ++intact;
  }
  EXPECT_GT(intact, 0) << "nothing came back intact";
  if (truth.reused) {
    EXPECT_GT(overwritten, 0) << "no file is shown as overwritten";
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, IntactTruthTest,
                         ::testing::Values("fat32_reused", "ntfs_reused", "ntfs_64k_to_4k", "exfat_reused",
                                           "fat_holes", "fat_stale_photo", "fat32_quick", "fat16_quick",
                                           "ntfs_reformat_4k", "exfat_formatted", "exfat_reformatted", "ext4_reused",
                                           "fragmented_fat", "fragmented_fat_formatted",
                                           "fragmented_exfat_formatted"));

// A photo only the carver found is listed although a stale deleted entry of
// another photo names its first cluster.
TEST(StalePhotoTest, ACarvedPhotoIsNotHiddenBehindAStaleEntry) {
  const std::string path = testing_support::UnpackedFixture("fat_stale_photo.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture fat_stale_photo is not available";
  store::ScanIndex::Instance().Load();
  testing_support::ScopedDataHome home;
  testing_support::TempDir out;
  auto run = DeepScanBytes(testing_support::ReadFileBytes(path));
  ASSERT_EQ(run->status, kStatusOk);
  std::string big;
  for (const ManifestRow& row : testing_support::ReadManifest(testing_support::FixturePath("fat_stale_photo.manifest.tsv"))) {
    if (row.path == "/B/big.jpg") big = row.sha256;
  }
  ASSERT_FALSE(big.empty());
  const auto all = ListEverything(*run->engine);
  const auto copied = CopiedContents(*run->engine, all, out.path());
  bool found = false;
  for (const auto& [listed, hash] : copied) found = found || hash == big;
  EXPECT_TRUE(found) << "the carved photo is hidden";
  // The deleted note whose clusters a live note took is listed as overwritten.
  auto old = std::find_if(all.begin(), all.end(), [](const Listed& l) { return l.path == "/c/!ld.txt"; });
  ASSERT_NE(old, all.end());
  EXPECT_EQ(StateOf(old->record), ItemState::kOverwritten);
}

// Fast mode on a card used as people use one: every contiguous deleted file
// comes back byte-exact and intact, whatever was written into the holes of
// deleted temporary files around it.
TEST(HolesTest, ContiguousDeletedFilesComeBackBesideFilesWrittenIntoHoles) {
  const std::string path = testing_support::UnpackedFixture("fat_holes.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture fat_holes is not available";
  testing_support::ScopedDataHome home;
  store::ScanIndex::Instance().Load();
  ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  testing_support::TempDir out;
  fat::CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(path, 'H'), kStatusOk);
  ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
  const auto all = ListEverything(engine);
  const auto copied = CopiedContents(engine, all, out.path());
  for (const ManifestRow& row : testing_support::ReadManifest(testing_support::FixturePath("fat_holes.manifest.tsv"))) {
    if (row.state != "deleted" || row.note.find("contiguous") == std::string::npos) continue;
    SCOPED_TRACE(row.path);
    // A deleted short name lost its first letter ("!lip.mts").
    std::string shown = row.path;
    if (BaseName(row.path) == Lower(BaseName(row.path))) shown[shown.rfind('/') + 1] = '!';
    auto it = std::find_if(all.begin(), all.end(), [&](const Listed& l) { return l.path == shown; });
    ASSERT_NE(it, all.end()) << "not listed";
    EXPECT_EQ(StateOf(it->record), ItemState::kIntact);
    EXPECT_EQ(copied.at(shown), row.sha256);
  }
}

}  // namespace
}  // namespace engine::deep_testing
