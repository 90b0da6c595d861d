// SPDX-License-Identifier: GPL-3.0-or-later
// Sectors that fail to read, injected through the memory sector source into
// real volumes: the boot sector, the FAT or the MFT, directory clusters,
// file data, anywhere in the middle of a deep scan, and file data under the
// recovery job (the image copy's faults are in tests/jobs/image_job_test.cpp).
// Whatever fails, the operation says so; what still succeeds is byte-exact;
// nothing short or wrong is ever written and called a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/item_fragments.h"
#include "engine/item_placement.h"
#include "jobs/recovery_job.h"
#include "tests/hardening/hardening_util.h"
#include "tests/jobs/job_test_util.h"

namespace hardening {
namespace {

namespace fs = std::filesystem;

struct Case {
  const char* fixture;
  Mode mode;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.fixture << " " << ModeName(c.mode);
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.fixture) + "_" + ModeName(info.param.mode);
}

// The fixture scanned whole: what it lists, how each file copies, and which
// sectors the open and the scan asked for.
struct Baseline {
  std::map<std::string, ItemRecord> files;
  std::map<std::string, Copied> copies;
  std::vector<uint64_t> scanReads;  // sorted
};

class FaultInjectionTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    const std::string path = testing_support::UnpackedFixture(std::string(GetParam().fixture) + ".img.gz");
    if (path.empty()) GTEST_SKIP() << "fixture " << GetParam().fixture << " is not available";
    m_bytes = testing_support::ReadFileBytes(path);
    engine::store::ScanIndex::Instance().Load();
    SourceOptions options;
    options.readSectors = std::make_shared<std::set<uint64_t>>();
    auto reads = options.readSectors;
    auto run = ScanBytes(GetParam().fixture, GetParam().mode, m_bytes, options);
    ASSERT_EQ(run->openStatus, engine::kStatusOk);
    ASSERT_EQ(run->scanStatus, engine::kStatusOk);
    m_base.scanReads.assign(reads->begin(), reads->end());
    m_base.files = ListedFiles(*run->engine);
    ASSERT_FALSE(m_base.files.empty());
    m_base.copies = CopyAll(*run->engine, m_base.files, m_out.path());
    // The first sector of every file laid out in pieces (files written in
    // turns): an unreadable one must not mislead the layout of the others.
    auto* fragments = dynamic_cast<engine::IItemFragments*>(run->engine.get());
    auto* placement = dynamic_cast<engine::IItemPlacement*>(run->engine.get());
    for (const auto& [key, record] : m_base.files) {
      uint64_t firstByte = 0;
      if (fragments != nullptr && placement != nullptr && fragments->FragmentCount(record) > 1 &&
          placement->FirstDataByte(record, &firstByte)) {
        m_pieceStarts.push_back(firstByte / 512);
      }
    }
    // Where each file's data lies: the sectors its copy asked for.
    for (const auto& [key, record] : m_base.files) {
      if (m_base.copies[key].status != engine::kStatusOk || record.size < 2048) continue;
      reads->clear();
      const std::string target = m_out.path() + "probe";
      ASSERT_EQ(run->engine->RecoverItem(&record, target, 0), engine::kStatusOk);
      fs::remove(target);
      if (!reads->empty()) m_dataSectors[key].assign(reads->begin(), reads->end());
    }
  }

  // Checks a scan made with faults against the whole one: every file that
  // copies out is byte-exact, and a failed copy leaves no file (only the
  // files laid out in pieces when piecesOnly). Returns the files the damaged
  // scan lists.
  std::map<std::string, ItemRecord> CheckAgainstBaseline(ScanRun& run, const std::string& what,
                                                         bool piecesOnly = false) {
    std::map<std::string, ItemRecord> files = ListedFiles(*run.engine);
    std::map<std::string, ItemRecord> checked = files;
    auto* fragments = dynamic_cast<engine::IItemFragments*>(run.engine.get());
    if (piecesOnly && fragments != nullptr) {
      std::erase_if(checked, [&](const auto& entry) { return fragments->FragmentCount(entry.second) < 2; });
    }
    const auto copies = CopyAll(*run.engine, checked, m_out.path());
    for (const auto& [key, copied] : copies) {
      if (copied.status != engine::kStatusOk) {
        EXPECT_FALSE(copied.leftFile) << what << ": a failed copy left a file: " << key;
        continue;
      }
      auto base = m_base.copies.find(key);
      if (base == m_base.copies.end() || base->second.status != engine::kStatusOk) continue;  // seen only now
      // A file shown as intact comes back exactly; one marked damaged is the engine's best guess.
      if (files[key].isIntact == 0) continue;
      EXPECT_EQ(copied.sha256, base->second.sha256) << what << ": copied as intact with other bytes: " << key;
    }
    return files;
  }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
  std::vector<uint8_t> m_bytes;
  Baseline m_base;
  std::map<std::string, std::vector<uint64_t>> m_dataSectors;
  std::vector<uint64_t> m_pieceStarts;
};

// Faults at the boot sector and spread over every sector the scan reads
// (the FAT or the MFT, directory clusters; in deep mode the whole volume):
// the open or the scan fails with a status, or the scan goes on and shows
// what it can (an unreadable folder ends only itself), never nothing as if
// nothing were there; a deep pass over the whole volume counts the sectors
// it could not read; and whatever copies out as intact is byte-exact (an
// unreadable cluster never makes a fragmented file's layout guess wrong).
TEST_P(FaultInjectionTest, UnreadableSectorsDuringTheScanAreReportedNeverSilent) {
  // The first and the middle sector of every run of sectors the scan read,
  // at most `count` of them spread evenly, and the boot sector.
  const auto& reads = m_base.scanReads;
  std::vector<uint64_t> candidates;
  for (size_t i = 0; i < reads.size();) {
    size_t end = i + 1;
    while (end < reads.size() && reads[end] == reads[end - 1] + 1) ++end;
    candidates.push_back(reads[i]);
    if (end - i > 2) candidates.push_back(reads[(i + end) / 2]);
    i = end;
  }
  const size_t count = GetParam().mode == Mode::kFast ? 14 : 6;
  std::set<uint64_t> points{0};
  const size_t take = std::min(count, candidates.size());
  for (size_t i = 0; i < take; ++i) points.insert(candidates[candidates.size() * i / take]);
  for (uint64_t fault : m_pieceStarts) {
    // Only the files laid out in pieces can be misled here: they alone are checked.
    SCOPED_TRACE("fault at the first sector of a file in pieces, sector " + std::to_string(fault));
    SourceOptions options;
    options.faultSectors = {fault};
    auto run = ScanBytes(GetParam().fixture, GetParam().mode, m_bytes, options);
    if (run->openStatus == engine::kStatusOk) CheckAgainstBaseline(*run, "sector " + std::to_string(fault), true);
  }
  for (uint64_t fault : points) {
    SCOPED_TRACE("fault at sector " + std::to_string(fault));
    SourceOptions options;
    options.faultSectors = {fault};
    options.readSectors = std::make_shared<std::set<uint64_t>>();
    auto reads = options.readSectors;
    auto run = ScanBytes(GetParam().fixture, GetParam().mode, m_bytes, options);
    if (run->openStatus != engine::kStatusOk) continue;  // the boot sector or a table: told by the open
    const bool touched = reads->count(fault) != 0;
    auto files = CheckAgainstBaseline(*run, "sector " + std::to_string(fault));
    if (run->scanStatus != engine::kStatusOk) continue;  // the failure is told
    EXPECT_FALSE(files.empty()) << "a scan that ended well shows nothing";
    // A pass over the whole volume counts every sector it could not read.
    if (run->deep != nullptr && touched && !run->deep->ScannedFreeSpaceOnly()) {
      EXPECT_GT(run->deep->UnreadableSectors(), 0u) << "the deep scan read a bad sector and told no one";
    }
  }
}

// A fault inside a file's data: its copy fails and leaves no file; every
// other file still copies byte-exact.
TEST_P(FaultInjectionTest, UnreadableFileDataFailsThatCopyAndLeavesNothing) {
  size_t tried = 0;
  for (const auto& [key, sectors] : m_dataSectors) {
    if (tried == 4) break;
    const uint64_t fault = sectors[sectors.size() / 2];
    SCOPED_TRACE(key + ", fault at sector " + std::to_string(fault));
    SourceOptions options;
    options.faultSectors = {fault};
    auto run = ScanBytes(GetParam().fixture, GetParam().mode, m_bytes, options);
    ASSERT_EQ(run->openStatus, engine::kStatusOk);
    const auto files = CheckAgainstBaseline(*run, key);
    auto it = files.find(key);
    if (it == files.end()) continue;  // the deep scan may carve it differently around the fault
    ++tried;
    const std::string target = m_out.path() + "bad";
    EXPECT_NE(run->engine->RecoverItem(&it->second, target, 0), engine::kStatusOk);
    EXPECT_FALSE(platform::PathExists(target));
  }
  EXPECT_GT(tried, 0u) << "no file large enough to aim at";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FaultInjectionTest,
                         ::testing::Values(Case{"fat12", Mode::kFast}, Case{"fat16", Mode::kFast},
                                           Case{"fat32_512", Mode::kFast}, Case{"ntfs_512", Mode::kFast},
                                           Case{"ntfs_4k", Mode::kFast}, Case{"exfat_512", Mode::kFast},
                                           Case{"fat_fragments", Mode::kFast}, Case{"fat16", Mode::kDeep},
                                           Case{"ntfs_512", Mode::kDeep}, Case{"exfat_512", Mode::kDeep}),
                         CaseName);

// The recovery job over an engine whose source fails inside one file: that
// file's row fails first, the count says so, it leaves no file, and the job
// still copies the others and finishes.
TEST(FaultInjectionJobs, TheRecoveryJobReportsTheFileItCouldNotRead) {
  const std::string path = testing_support::UnpackedFixture("fat16.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture fat16 is not available";
  testing_support::ScopedDataHome home;
  testing_support::TempDir dir;
  engine::store::ScanIndex::Instance().Load();
  const std::vector<uint8_t> bytes = testing_support::ReadFileBytes(path);
  // Find two files of some size and where the first one's data lies.
  auto clean = ScanBytes("fat16", Mode::kFast, bytes);
  ASSERT_EQ(clean->scanStatus, engine::kStatusOk);
  std::vector<ItemRecord> picked;
  for (const auto& [key, record] : ListedFiles(*clean->engine)) {
    if (record.size >= 4096 && picked.size() < 2) picked.push_back(record);
  }
  ASSERT_EQ(picked.size(), 2u);
  uint64_t firstByte = 0;
  auto* placement = dynamic_cast<engine::IItemPlacement*>(clean->engine.get());
  ASSERT_NE(placement, nullptr);
  ASSERT_TRUE(placement->FirstDataByte(picked[0], &firstByte));
  const std::string goodSha = [&] {
    const std::string target = dir.path() + "good";
    EXPECT_EQ(clean->engine->RecoverItem(&picked[1], target, 0), engine::kStatusOk);
    return testing_support::Sha256OfFile(target);
  }();

  SourceOptions options;
  options.faultSectors = {firstByte / 512 + 3};
  auto run = ScanBytes("fat16", Mode::kFast, bytes, options);
  ASSERT_EQ(run->scanStatus, engine::kStatusOk);
  storage::VolumeTarget target;
  target.isImage = true;
  target.imagePath = path;
  target.driveLetter = 'H';
  auto source = std::make_shared<jobs::ScanSource>(target);
  source->engine = std::move(run->engine);
  source->outcome = jobs::SourceOutcome::kScanned;
  std::vector<jobs::FoundItem> items;
  for (const ItemRecord& record : picked) {
    jobs::FoundItem found;
    found.source = source;
    found.item = record;
    items.push_back(found);
  }
  jobs::testing::ScriptedView view;
  jobs::testing::MapTexts texts;
  const std::string out = dir.path() + "out";
  jobs::CRecoveryJob job({items, out, jobs::RecoveryLayout::kByCategory}, view, &texts);
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), jobs::JobResult::kFinished);
  EXPECT_EQ(job.Failed(), 1);
  ASSERT_EQ(job.Rows().size(), 2u);
  EXPECT_TRUE(job.Rows()[0].failed);
  EXPECT_FALSE(job.Rows()[1].failed);
  std::vector<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (e.is_regular_file()) written.push_back(e.path().string());
  }
  ASSERT_EQ(written.size(), 1u) << "only the readable file is written";
  EXPECT_EQ(testing_support::Sha256OfFile(written[0]), goodSha);
  EXPECT_EQ(view.LinesOf(jobs::ViewLine::kCount).back(), "2/2 file(s) processed, 1 recovered, 1 failed");
}

}  // namespace
}  // namespace hardening
