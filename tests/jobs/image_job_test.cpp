// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "jobs/image_job.h"
#include "platform/raw_file.h"
#include "storage/disk_list.h"
#include "tests/jobs/job_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

namespace fs = std::filesystem;
using testing::MapTexts;
using testing::ScriptedView;

// A device of zeros that holds nothing in memory.
class ZeroDevice final : public storage::ISourceDevice {
 public:
  explicit ZeroDevice(uint64_t bytes) : m_bytes(bytes) {}
  platform::Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    *got = offset >= m_bytes ? 0 : static_cast<size_t>(std::min<uint64_t>(count, m_bytes - offset));
    std::memset(buffer, 0, *got);
    return platform::kStatusOk;
  }

 private:
  uint64_t m_bytes;
};

std::vector<uint8_t> Pattern(size_t sectors) {
  std::vector<uint8_t> bytes(sectors * 512);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i / 512) * 7 + i % 251 + 1);
  return bytes;
}

ImageJobInput MemoryInput(const std::vector<uint8_t>& bytes, std::set<uint64_t> faults, const std::string& target) {
  ImageJobInput input;
  input.openedSource = std::make_unique<storage::SectorSource>();
  storage::MemorySourceOptions options;
  options.faultSectors = std::move(faults);
  storage::OpenMemorySource(*input.openedSource, bytes, options);
  input.sectorCount = bytes.size() / 512;
  input.targetPath = target;
  return input;
}

JobResult RunImage(ImageJobInput input, ScriptedView& view, std::unique_ptr<CImageJob>* keep = nullptr) {
  static MapTexts texts;
  auto job = std::make_unique<CImageJob>(std::move(input), view, &texts);
  EXPECT_EQ(job->Start(), 0);
  const JobResult r = job->Wait();
  if (keep != nullptr) *keep = std::move(job);
  return r;
}

class ImageJobTest : public ::testing::Test {
 protected:
  testing_support::TempDir m_dir;
};

// 1,000,000 sectors of 512 bytes go in 7,813 pieces, the last of 32,768
// bytes, and the last report shows 100 % and every sector.
TEST_F(ImageJobTest, AMillionSectorsAreCopiedIn7813PiecesEndingAt100Percent) {
  ImageJobInput input;
  input.openedSource = std::make_unique<storage::SectorSource>();
  input.openedSource->handle = std::make_unique<ZeroDevice>(512000000);
  input.openedSource->totalSectors = 1000000;
  input.sectorCount = 1000000;
  input.targetPath = m_dir.path() + "big.img";
  ScriptedView view;
  std::unique_ptr<CImageJob> job;
  EXPECT_EQ(RunImage(std::move(input), view, &job), JobResult::kFinished);
  EXPECT_EQ(job->ChunksCopied(), 7813u);
  auto sectors = view.LinesOf(ViewLine::kSector);
  ASSERT_EQ(sectors.size(), 7813u);
  EXPECT_EQ(sectors.back(), "Writing sector 1000000 / 1000000");
  EXPECT_EQ(sectors[sectors.size() - 2], "Writing sector 999936 / 1000000");  // the last piece is 64 sectors
  EXPECT_EQ(view.LinesOf(ViewLine::kPercent).back(), "Current progress: 100%");
  EXPECT_EQ(view.LinesOf(ViewLine::kTime).front(), "Estimating time left...");  // no estimate in the first 5 s
  EXPECT_EQ(view.LinesOf(ViewLine::kStage).front(), "Writing image " + m_dir.path() + "big.img");
  EXPECT_EQ(fs::file_size(m_dir.path() + "big.img"), 512000000u);
  EXPECT_FALSE(fs::exists(CImageJob::PartialPath(m_dir.path() + "big.img")));
}

TEST_F(ImageJobTest, AReadErrorStopsAtItsSectorAndKeepsThePartialFileAsPartial) {
  const auto bytes = Pattern(2000);
  const std::string target = m_dir.path() + "card.img";
  ScriptedView view;
  std::unique_ptr<CImageJob> job;
  EXPECT_EQ(RunImage(MemoryInput(bytes, {1000}, target), view, &job), JobResult::kFailed);
  EXPECT_EQ(job->FirstBadSector(), 1000u);
  EXPECT_EQ(job->Status(), platform::kStatusReadFault);
  EXPECT_FALSE(fs::exists(target));  // never offered as a whole image
  const std::string partial = CImageJob::PartialPath(target);
  auto kept = testing_support::ReadFileBytes(partial);
  ASSERT_EQ(kept.size(), 1000u * 512);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), bytes.begin()));
  EXPECT_TRUE(view.Noted("Read error at sector 1000."));
  EXPECT_TRUE(view.Noted("Partial image kept as " + partial));
}

// --keep-going: zeros for what cannot be read, one retry of every bad range
// sector by sector, and a map that names exactly the sectors still bad.
TEST_F(ImageJobTest, KeepGoingFillsZerosRetriesAndMapsExactlyTheBadRanges) {
  const auto bytes = Pattern(2000);
  const std::string target = m_dir.path() + "failing.img";
  ImageJobInput input = MemoryInput(bytes, {5, 6, 7, 300, 1999}, target);
  input.keepGoing = true;
  ScriptedView view;
  std::unique_ptr<CImageJob> job;
  EXPECT_EQ(RunImage(std::move(input), view, &job), JobResult::kFinished);
  auto image = testing_support::ReadFileBytes(target);
  ASSERT_EQ(image.size(), bytes.size());
  for (uint64_t s = 0; s < 2000; ++s) {
    const bool bad = s == 5 || s == 6 || s == 7 || s == 300 || s == 1999;
    const auto* got = image.data() + s * 512;
    if (bad) {
      EXPECT_TRUE(std::all_of(got, got + 512, [](uint8_t b) { return b == 0; })) << s;
    } else {
      ASSERT_EQ(std::memcmp(got, bytes.data() + s * 512, 512), 0) << "sector " << s;
    }
  }
  std::string map;
  ASSERT_EQ(platform::ReadWholeFile(CImageJob::BadSectorMapPath(target), &map), 0);
  std::string ranges;
  for (size_t start = 0; start < map.size();) {
    size_t end = map.find('\n', start);
    std::string line = map.substr(start, end - start);
    if (!line.empty() && line[0] != '#') ranges += line + ";";
    start = end + 1;
  }
  EXPECT_EQ(ranges, "5-7;300-300;1999-1999;");
  EXPECT_EQ(job->BadRanges().size(), 3u);
}

TEST_F(ImageJobTest, KeepGoingWithoutBadSectorsWritesAnEmptyMap) {
  const auto bytes = Pattern(300);
  const std::string target = m_dir.path() + "fine.img";
  ImageJobInput input = MemoryInput(bytes, {}, target);
  input.keepGoing = true;
  ScriptedView view;
  EXPECT_EQ(RunImage(std::move(input), view), JobResult::kFinished);
  EXPECT_EQ(testing_support::ReadFileBytes(target), bytes);
  std::string map;
  ASSERT_EQ(platform::ReadWholeFile(CImageJob::BadSectorMapPath(target), &map), 0);
  EXPECT_EQ(map.find("\n0"), std::string::npos);
}

// A stale tail of a larger file at the target would become part of the image.
TEST_F(ImageJobTest, AnImageOverALargerFileHasExactlyTheNewLength) {
  const std::string target = m_dir.path() + "old.img";
  testing_support::WriteFileBytes(target, std::vector<uint8_t>(3 << 20, 0xFF));
  const auto bytes = Pattern(2000);
  ScriptedView view;
  EXPECT_EQ(RunImage(MemoryInput(bytes, {}, target), view), JobResult::kFinished);
  EXPECT_EQ(testing_support::ReadFileBytes(target), bytes);
}

TEST_F(ImageJobTest, ACancelKeepsThePartialFileUnderItsPartialName) {
  const std::string target = m_dir.path() + "cancel.img";
  ScriptedView view;
  MapTexts texts;
  CImageJob job(MemoryInput(Pattern(2000), {}, target), view, &texts);
  view.onLine = [&](ViewLine line, const std::string&) {
    if (line == ViewLine::kSector) job.Cancel();
  };
  ASSERT_EQ(job.Start(), 0);
  EXPECT_EQ(job.Wait(), JobResult::kCancelled);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(fs::exists(CImageJob::PartialPath(target)));
  EXPECT_TRUE(view.Noted("Partial image kept as"));
}

TEST_F(ImageJobTest, APartialTargetThatIsALinkIsNeverWrittenThrough) {
  const std::string target = m_dir.path() + "linked.img";
  testing_support::WriteFileBytes(m_dir.path() + "victim", {1, 2, 3});
  ASSERT_EQ(::symlink((m_dir.path() + "victim").c_str(), CImageJob::PartialPath(target).c_str()), 0);
  ScriptedView view;
  EXPECT_EQ(RunImage(MemoryInput(Pattern(10), {}, target), view), JobResult::kFailed);
  EXPECT_EQ(testing_support::ReadFileBytes(m_dir.path() + "victim"), (std::vector<uint8_t>{1, 2, 3}));
}

struct FactsCase {
  const char* fileSystem;
  uint64_t bytes;
  ImageCheck expected;
};

TEST(ImageChecks, FileSystemLimitsAreTestedByExactName) {
  constexpr uint64_t GiB = 1ull << 30;
  const FactsCase cases[] = {
      {"FAT32", 5 * GiB, ImageCheck::kFat32TooLarge},
      {"FAT32", 4 * GiB, ImageCheck::kFat32TooLarge},  // the largest FAT32 file is one byte short of 4 GiB
      {"FAT32", 4 * GiB - 1, ImageCheck::kOk},
      {"FAT16", 3 * GiB, ImageCheck::kFatTooLarge},
      {"FAT", 2 * GiB + 1, ImageCheck::kFatTooLarge},
      {"FAT", 2 * GiB, ImageCheck::kOk},
      {"exFAT", 5 * GiB, ImageCheck::kOk},  // "exFAT" holds "FAT" but has no such limit
      {"NTFS", 5 * GiB, ImageCheck::kOk},
      {"EXT4", 100 * GiB, ImageCheck::kOk},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckImageTargetFacts(c.fileSystem, c.bytes, false, 0), c.expected) << c.fileSystem << " " << c.bytes;
  }
  EXPECT_EQ(CheckImageTargetFacts("EXT4", 1000, true, 999), ImageCheck::kNoSpace);
  EXPECT_EQ(CheckImageTargetFacts("EXT4", 1000, true, 1000), ImageCheck::kOk);
  EXPECT_EQ(ImageCheckKey(ImageCheck::kOnSource), "MSG0218");
  EXPECT_EQ(ImageCheckKey(ImageCheck::kFatTooLarge), "MSG0219");
  EXPECT_EQ(ImageCheckKey(ImageCheck::kFat32TooLarge), "MSG0220");
  EXPECT_EQ(ImageCheckKey(ImageCheck::kNoSpace), "MSG0221");
}

TEST(ImageChecks, TargetsThatAreTheSourceADeviceOrMissingAreRefused) {
  testing_support::TempDir dir;
  const std::string image = dir.path() + "source.img";
  testing_support::WriteFileBytes(image, Pattern(64));
  storage::VolumeEntry volume;
  ASSERT_EQ(storage::DescribeImageVolume(image, &volume), 0);
  ImageSource source{volume.target, false, 64 * 512};
  EXPECT_EQ(CheckImageTarget(source, image, true), ImageCheck::kOnSource);
  ASSERT_EQ(::symlink(image.c_str(), (dir.path() + "alias.img").c_str()), 0);
  EXPECT_EQ(CheckImageTarget(source, dir.path() + "alias.img", true), ImageCheck::kOnSource);
  EXPECT_EQ(CheckImageTarget(source, "/dev/null", true), ImageCheck::kTargetIsDevice);
  EXPECT_EQ(CheckImageTarget(source, dir.path() + "no/such/out.img", false), ImageCheck::kFolderMissing);
  EXPECT_EQ(CheckImageTarget(source, dir.path(), false), ImageCheck::kFolderMissing);
  testing_support::WriteFileBytes(dir.path() + "exists.img", {1});
  EXPECT_EQ(CheckImageTarget(source, dir.path() + "exists.img", false), ImageCheck::kTargetExists);
  EXPECT_EQ(CheckImageTarget(source, dir.path() + "exists.img", true), ImageCheck::kOk);
  EXPECT_EQ(CheckImageTarget(source, dir.path() + "new.img", false), ImageCheck::kOk);
}

TEST(ImageChecks, SuggestedNamesFollowTheDiskList) {
  // Named as the user knows the drive (its device, label and size), never by an inner letter or number.
  ImageSource disk;
  disk.wholeDisk = true;
  disk.volume.diskNumber = 1;
  disk.volume.diskPath = "/dev/sdb";
  disk.byteLength = 8000000000ull;
  EXPECT_EQ(SuggestedImageName(disk, ""), "sdb (7.45 GiB)");
  ImageSource partition;
  partition.volume.driveLetter = u'E';
  partition.volume.devicePath = "/dev/sdb1";
  partition.byteLength = 8000000000ull;
  EXPECT_EQ(SuggestedImageName(partition, "STICK"), "sdb1 (STICK, 7.45 GiB)");
  partition.volume.devicePath.clear();
  partition.volume.label = "disk 1 partition 1";
  EXPECT_EQ(SuggestedImageName(partition, "FAT32"), "disk 1 partition 1 (FAT32, 7.45 GiB)");
}

}  // namespace
}  // namespace jobs
