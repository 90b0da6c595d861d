// SPDX-License-Identifier: GPL-3.0-or-later
// CarveSector and its read-ahead: naming, where a carved file ends, progress
// and cancel, limits with 512- and 4096-byte sectors.
#include "engine/signatures/carve_sector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/byte_view.h"
#include "engine/fat_dir_entry.h"
#include "engine/signatures/carve_context.h"
#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/read_ahead.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using deep_test::Disk;
using engine::signatures::FileTypeCode;
using C = FileTypeCode;

const std::vector<uint8_t>& RequireSample(const std::string& name) {
  static const std::vector<uint8_t> none;
  const std::vector<uint8_t>* sample = deep_test::Sample(name);
  return sample == nullptr ? none : *sample;
}

#define SAMPLE_OR_SKIP(var, name)                        \
  const std::vector<uint8_t>& var = RequireSample(name); \
  if (var.empty()) GTEST_SKIP() << "sample " << name << " missing from samples.tar.gz"

// A PE header: "MZ", PE offset 0x80, "PE\0\0", Characteristics at +0x16.
std::vector<uint8_t> PortableExecutable(uint32_t sectorSize, uint16_t characteristics) {
  std::vector<uint8_t> s(sectorSize, 0);
  s[0] = 'M';
  s[1] = 'Z';
  s[0x3C] = 0x80;
  std::memcpy(&s[0x80], "PE\0\0", 4);
  s[0x80 + 0x16] = static_cast<uint8_t>(characteristics);
  s[0x80 + 0x17] = static_cast<uint8_t>(characteristics >> 8);
  return s;
}

// A TIFF of two sectors whose first directory is empty: its structure gives
// no size, so it is measured to the next file start.
std::vector<uint8_t> UnmeasurableTiff() {
  std::vector<uint8_t> tif(840, 0x11);
  const uint8_t head[] = {'I', 'I', 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(tif.data(), head, sizeof head);
  return tif;
}

// Sector `sector` of a fixture image, or empty.
std::vector<uint8_t> FixtureSector(const std::string& gzName, uint64_t sector) {
  const std::string path = testing_support::UnpackedFixture(gzName);
  if (path.empty()) return {};
  const std::vector<uint8_t> image = testing_support::ReadFileBytes(path);
  if ((sector + 1) * 512 > image.size()) return {};
  return {image.begin() + static_cast<std::ptrdiff_t>(sector * 512),
          image.begin() + static_cast<std::ptrdiff_t>((sector + 1) * 512)};
}

// The first sector of a FAT fixture that holds directory entries and passes
// the directory-sector test, or empty.
std::vector<uint8_t> FirstDirectorySector(const std::string& gzName) {
  const std::string path = testing_support::UnpackedFixture(gzName);
  if (path.empty()) return {};
  const std::vector<uint8_t> image = testing_support::ReadFileBytes(path);
  for (size_t at = 0; at + 512 <= image.size(); at += 512) {
    if (image[at] != 0 && engine::IsDirectorySector(image.data() + at, 512)) {
      return {image.begin() + static_cast<std::ptrdiff_t>(at), image.begin() + static_cast<std::ptrdiff_t>(at + 512)};
    }
  }
  return {};
}

class CarveSectorTest : public ::testing::Test {
 protected:
  void SetUp() override { deep_test::ResetCarveContext(); }
  void TearDown() override { deep_test::ResetCarveContext(); }

  // The sample at sector `at`, zeros behind it, and `ender` at sector `endAt`.
  deep_test::CarveOutcome CarveBefore(const std::vector<uint8_t>& sample, uint64_t at,
                                      const std::vector<uint8_t>& ender, uint64_t endAt, uint32_t sectorSize = 512) {
    Disk disk(sectorSize, endAt + 4);
    disk.Random(0, at);
    disk.Place(at, sample);
    disk.Place(endAt, ender);
    storage::SectorSource source;
    disk.Open(source);
    return deep_test::CarveAt(disk, source, at);
  }
};

// --- Names come from the first row of the recognised code.

TEST_F(CarveSectorTest, NamesCarriesTheAbsoluteSectorAndTheFirstRowsExtension) {
  SAMPLE_OR_SKIP(png, "image.png");
  Disk disk(512, 2060);
  disk.Place(2048, png);
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2048).Name(), "2048.png");
}

TEST_F(CarveSectorTest, FamiliesAreNamedByTheirFirstRow) {
  SAMPLE_OR_SKIP(wmv, "video.wmv");
  SAMPLE_OR_SKIP(jpg, "jfif.jpg");
  SAMPLE_OR_SKIP(gz, "text.txt.gz");
  SAMPLE_OR_SKIP(mpg, "video.mpg");
  const std::vector<uint8_t> boot = deep_test::BootSector(512);
  EXPECT_EQ(CarveBefore(wmv, 4, boot, 40).Name(), "4.wmv");  // an ASF stream
  EXPECT_EQ(CarveBefore(jpg, 5, boot, 40).Name(), "5.jpg");  // JFIF
  EXPECT_EQ(CarveBefore(gz, 6, boot, 40).Name(), "6.gz");
  EXPECT_EQ(CarveBefore(mpg, 7, boot, 60).Name(), "7.mpeg");
  EXPECT_EQ(engine::signatures::FileSignatureTable()[engine::signatures::FirstRowOfCode(C::kWmv)].extension, "wmv");
}

TEST_F(CarveSectorTest, VeryLargeSectorNumbersAreNamedInFull) {
  SAMPLE_OR_SKIP(png, "image.png");
  Disk disk(512, 2);
  disk.Place(0, png);
  storage::SectorSource source;
  disk.Open(source);
  engine::signatures::CarvedFile file;
  ASSERT_EQ(deep_test::Carve(512, &source, disk.At(0), 512, 123456789012345ull, 0, 0, -1, 0, &file), 0);
  EXPECT_STREQ(file.name.data(), "123456789012345.png");
}

// --- jpg ends.

TEST_F(CarveSectorTest, JpgEndingInItsFirstSectorIsExactlyThatLong) {
  SAMPLE_OR_SKIP(jpg, "jfif.jpg");
  ASSERT_LT(jpg.size(), 512u);
  EXPECT_EQ(CarveBefore(jpg, 3, deep_test::BootSector(512), 20).file.size, jpg.size());
}

TEST_F(CarveSectorTest, JpgEndsAtItsEndOfImageWhateverFollowsInItsSector) {
  SAMPLE_OR_SKIP(jpg, "jfif.jpg");
  SAMPLE_OR_SKIP(png, "image.png");
  std::vector<uint8_t> dirty = jpg;
  dirty.resize(512, 0);
  dirty[500] = 0x01;  // slack after FF D9 that is not zero: the segment walk still ends there
  EXPECT_EQ(CarveBefore(dirty, 3, png, 15).file.size, jpg.size());
}

TEST_F(CarveSectorTest, JpgEndFoundDuringReadAheadCutsTheFile) {
  SAMPLE_OR_SKIP(jpg, "jfif.jpg");
  // A 1500-byte comment segment after SOI + APP0 pushes the end into the fourth sector.
  std::vector<uint8_t> big(jpg.begin(), jpg.begin() + 20);
  const size_t commentBytes = 1500;
  big.push_back(0xFF);
  big.push_back(0xFE);
  big.push_back(static_cast<uint8_t>((commentBytes + 2) >> 8));
  big.push_back(static_cast<uint8_t>((commentBytes + 2) & 0xFF));
  big.insert(big.end(), commentBytes, 'c');
  big.insert(big.end(), jpg.begin() + 20, jpg.end());
  EXPECT_EQ(CarveBefore(big, 2, deep_test::BootSector(512), 30).file.size, big.size());
}

TEST_F(CarveSectorTest, JpgWithoutEndStopsAtAFatDirectorySector) {
  SAMPLE_OR_SKIP(jpg, "jfif.jpg");
  const std::vector<uint8_t> directory = FirstDirectorySector("fat32_512.img.gz");
  if (directory.empty()) GTEST_SKIP() << "no directory sector found in the fat32_512.img.gz fixture";
  std::vector<uint8_t> noEnd(jpg.begin(), jpg.end() - 2);
  EXPECT_EQ(CarveBefore(noEnd, 4, directory, 9).file.size, 5u * 512);
}

// --- Metadata and never-carved kinds end other files.

TEST_F(CarveSectorTest, NtfsFileRecordEndsARead) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  const std::vector<uint8_t> boot = FixtureSector("ntfs_512.img.gz", 0);
  if (boot.empty()) GTEST_SKIP() << "ntfs_512.img.gz fixture missing";
  const engine::ByteView b(boot.data(), boot.size());
  const uint64_t mftSector = b.U64(0x30) * b.U8(0x0D);
  const std::vector<uint8_t> record = FixtureSector("ntfs_512.img.gz", mftSector);
  ASSERT_TRUE(engine::ByteView(record.data(), record.size()).Equals(0, "FILE", 4));
  EXPECT_EQ(CarveBefore(tif, 2, record, 11).file.size, 9u * 512);
}

TEST_F(CarveSectorTest, Mswin41BootSectorEndsARead) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  EXPECT_EQ(CarveBefore(tif, 2, deep_test::BootSector(512), 13).file.size, 11u * 512);
}

TEST_F(CarveSectorTest, ExecutablesAndGhostImagesAreNotCarvedButEndOtherFiles) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  const std::vector<uint8_t> exe = PortableExecutable(512, 0x0102);
  const std::vector<uint8_t> dll = PortableExecutable(512, 0x2102);
  const std::vector<uint8_t> sys = PortableExecutable(512, 0x1102);
  std::vector<uint8_t> gho(512, 0x20);
  gho[0] = 0xFE;
  gho[1] = 0xEF;
  gho[2] = gho[3] = 0;
  for (const std::vector<uint8_t>* program : {&exe, &dll, &sys, static_cast<const std::vector<uint8_t>*>(&gho)}) {
    Disk alone(512, 4);
    alone.Place(1, *program);
    storage::SectorSource source;
    alone.Open(source);
    const deep_test::CarveOutcome out = deep_test::CarveAt(alone, source, 1);
    EXPECT_EQ(out.status, 87);
    EXPECT_EQ(out.Name(), "");
    EXPECT_EQ(CarveBefore(tif, 2, *program, 8).file.size, 6u * 512);
  }
}

TEST_F(CarveSectorTest, UnrecognisedSectorLeavesTheOutputsUntouched) {
  Disk disk(512, 4);
  disk.Fill(0, 4, 0x11);
  storage::SectorSource source;
  disk.Open(source);
  engine::signatures::CarvedFile file;
  file.size = 4242;
  file.code = C::kPdf;
  EXPECT_EQ(deep_test::Carve(512, &source, disk.At(1), 512, 1, 0, 0, -1, 0, &file), 87);
  EXPECT_EQ(file.size, 4242u);
  EXPECT_EQ(file.code, C::kPdf);
}

TEST_F(CarveSectorTest, ProgramStreamEndsAfterItsLastPackNotAtItsOwnPackHeaders) {
  SAMPLE_OR_SKIP(mpg, "video.mpg");
  SAMPLE_OR_SKIP(jpg, "jfif.jpg");
  const engine::ByteView m(mpg.data(), mpg.size());
  ASSERT_TRUE(m.Equals(6144, "\x00\x00\x01\xBA", 4)) << "the sample should hold a pack header at sector 12";
  const uint64_t sampleSectors = (mpg.size() + 511) / 512;
  EXPECT_EQ(CarveBefore(mpg, 1, jpg, 1 + sampleSectors + 3).file.size, mpg.size());
}

// --- Limits and chunks.

struct LimitCase {
  uint32_t sectorSize;
};

class ReadAheadLimitTest : public CarveSectorTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ReadAheadLimitTest, MidiReadAheadStopsAtEightMebibytesInSixtyFourKibibyteChunks) {
  const uint32_t s = GetParam().sectorSize;
  const uint64_t limitSectors = 0x800000 / s;
  Disk disk(s, limitSectors + 40);
  disk.Fill(0, disk.Sectors(), 0x11);  // no file start anywhere
  std::vector<uint8_t> midi(s, 0x11);
  std::memcpy(midi.data(), "MThd\0\0\0\x06\0\x01\0\0\0\x60MTrk", 18);  // no tracks announced: no bound
  disk.Place(3, midi);
  auto pieces = std::make_shared<std::vector<size_t>>();
  storage::SectorSource source;
  storage::MemorySourceOptions options;
  options.pieceSizes = pieces;
  disk.Open(source, options);
  const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 3);
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.Name(), "3.mid");
  EXPECT_EQ(out.file.size, s + limitSectors * s);
  ASSERT_FALSE(pieces->empty());
  EXPECT_EQ(pieces->front(), 65536u);
  EXPECT_EQ(pieces->size(), (limitSectors * s + 65535) / 65536);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ReadAheadLimitTest, ::testing::Values(LimitCase{512}, LimitCase{4096}),
                         [](const ::testing::TestParamInfo<LimitCase>& info) {
                           return "Of" + std::to_string(info.param.sectorSize);
                         });

TEST_F(CarveSectorTest, FileNearTheEndOfTheSourceKeepsTheSectorsThatExist) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  Disk disk(512, 10);
  disk.Fill(0, 10, 0x11);
  disk.Place(6, tif);  // two sectors of picture, then two more to the end of the source
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 6).file.size, 4u * 512);
}

TEST_F(CarveSectorTest, ReadFailureEndsTheReadAheadWithWhatArrived) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  Disk disk(512, 40);
  disk.Fill(0, 40, 0x11);
  disk.Place(2, tif);
  storage::SectorSource source;
  storage::MemorySourceOptions options;
  options.faultSectors = {9};
  disk.Open(source, options);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).file.size, 7u * 512);
}

// Sectors the caller holds in memory are read from there, and every read
// and window answers exactly what the reader alone would: the same bytes,
// the same short count at an unreadable sector.
TEST(ResidentSectorsTest, AnswerAsTheReaderAloneAndAreNotReadAgain) {
  Disk disk(512, 64);
  disk.Random(0, 64, 3);
  storage::MemorySourceOptions options;
  options.faultSectors = {40};
  options.pieceSizes = std::make_shared<std::vector<size_t>>();
  storage::SectorSource source;
  disk.Open(source, options);
  engine::signatures::CarveContext plain;
  plain.Attach(&source, 512);
  engine::signatures::CarveContext held;
  held.Attach(&source, 512);
  held.SetResident(disk.At(10), 10, 20);  // sectors 10..29
  struct Case {
    uint64_t start;
    uint32_t count;
    bool held;  // all of them are held
  };
  for (const Case c : {Case{12, 8, true}, Case{10, 20, true}, Case{25, 10, false}, Case{5, 10, false},
                       Case{28, 15, false}, Case{35, 10, false}}) {
    SCOPED_TRACE("sectors " + std::to_string(c.start) + "+" + std::to_string(c.count));
    std::vector<uint8_t> expected(size_t{c.count} * 512);
    std::vector<uint8_t> got(expected.size());
    const uint32_t plainCount = engine::signatures::ReadContextSectors(plain, c.start, c.count, expected.data());
    options.pieceSizes->clear();
    EXPECT_EQ(engine::signatures::ReadContextSectors(held, c.start, c.count, got.data()), plainCount);
    EXPECT_EQ(options.pieceSizes->empty(), c.held);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + plainCount * 512, expected.begin()));
  }
  // A structure walk's window over a candidate at sector 20: inside the held
  // sectors it hands them out where they lie; across their end it reads.
  plain.hitSector = held.hitSector = 20;
  engine::signatures::FileWindow plainWindow(plain, disk.At(20), 512);
  engine::signatures::FileWindow heldWindow(held, disk.At(20), 512);
  for (const auto& [offset, count] : {std::pair<uint64_t, size_t>{512, 4096}, {4000, 1120}, {4000, 6000}}) {
    const uint8_t* expected = plainWindow.Get(offset, count);
    ASSERT_NE(expected, nullptr);
    const std::vector<uint8_t> copy(expected, expected + count);
    const uint8_t* got = heldWindow.Get(offset, count);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), got));
    EXPECT_EQ(got == disk.At(20) + offset, offset + count <= 10 * 512);
  }
}

// --- Progress and cancel.

struct ProgressLog {
  std::vector<int32_t> percents;
  std::vector<uint64_t> done;
  int32_t answer = 0;
  int calls = 0;
  int answerFromCall = 1;
};

int32_t RecordProgress(void* userData, int32_t percent, int32_t weight, int32_t remaining, uint64_t done,
                       uint64_t total, uint64_t files, int32_t reserved) {
  auto* log = static_cast<ProgressLog*>(userData);
  EXPECT_EQ(weight, 90);
  EXPECT_EQ(remaining, -1);
  EXPECT_EQ(total, 1000u);
  EXPECT_EQ(files, 0u);
  EXPECT_EQ(reserved, 0);
  log->percents.push_back(percent);
  log->done.push_back(done);
  return ++log->calls >= log->answerFromCall ? log->answer : 0;
}

TEST_F(CarveSectorTest, ReadAheadReportsProgressPerChunk) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  Disk disk(512, 300);
  disk.Fill(0, 300, 0x11);
  disk.Place(1, tif);
  disk.Place(250, deep_test::BootSector(512));
  storage::SectorSource source;
  disk.Open(source);
  ProgressLog log;
  deep_test::TestContext().SetProgressCallback(RecordProgress, &log, 90);
  const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 1, 400, 1000);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.file.size, 249u * 512);
  ASSERT_EQ(log.done.size(), 2u);
  EXPECT_EQ(log.done[0], 400u + 128);
  EXPECT_EQ(log.percents[0], static_cast<int32_t>((400 + 128) * 100 / 1000 + 10));
  EXPECT_EQ(log.done[1], 400u + 256);
}

TEST_F(CarveSectorTest, CancelDuringReadAheadReturnsCancelledWithOutputsFilled) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  Disk disk(512, 600);
  disk.Fill(0, 600, 0x11);
  disk.Place(1, tif);
  storage::SectorSource source;
  disk.Open(source);
  ProgressLog log;
  log.answer = -9527;
  log.answerFromCall = 2;
  deep_test::TestContext().SetProgressCallback(RecordProgress, &log, 90);
  const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 1, 0, 1000);
  EXPECT_EQ(out.status, -9527);
  EXPECT_EQ(out.Name(), "1.tif");
  EXPECT_EQ(out.file.code, C::kTif);
  EXPECT_EQ(out.file.size, 129u * 512);  // the chunk read when the cancel came is not counted
  EXPECT_EQ(log.calls, 2);
}

TEST_F(CarveSectorTest, OtherCallbackAnswersOnlyShortenTheFile) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  Disk disk(512, 600);
  disk.Fill(0, 600, 0x11);
  disk.Place(1, tif);
  storage::SectorSource source;
  disk.Open(source);
  ProgressLog log;
  log.answer = 5;
  deep_test::TestContext().SetProgressCallback(RecordProgress, &log, 90);
  const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 1, 0, 1000);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.file.size, 512u);
  // The next carve starts with a clean answer.
  deep_test::TestContext().SetProgressCallback(nullptr, nullptr, 0);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 1).status, 0);
}

TEST_F(CarveSectorTest, UnknownScanTotalDoesNotDivideByZero) {
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  Disk disk(512, 20);
  disk.Place(1, tif);
  storage::SectorSource source;
  disk.Open(source);
  int calls = 0;
  deep_test::TestContext().SetProgressCallback(
      [](void* user, int32_t percent, int32_t, int32_t, uint64_t, uint64_t total, uint64_t, int32_t) {
        ++*static_cast<int*>(user);
        EXPECT_EQ(total, 0u);
        EXPECT_EQ(percent, 10);
        return 0;
      },
      &calls, 100);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 1, 5, 0).status, 0);
  EXPECT_GT(calls, 0);
}

TEST_F(CarveSectorTest, UnusableSectorSizesRecogniseNothing) {
  SAMPLE_OR_SKIP(png, "image.png");
  Disk disk(512, 4);
  disk.Place(0, png);
  storage::SectorSource source;
  disk.Open(source);
  engine::signatures::CarvedFile file;
  EXPECT_EQ(deep_test::Carve(0, &source, disk.At(0), 512, 0, 0, 0, -1, 0, &file), 87);
  EXPECT_EQ(deep_test::Carve(1u << 20, &source, disk.At(0), 512, 0, 0, 0, -1, 0, &file), 87);
  EXPECT_EQ(deep_test::Carve(512, &source, nullptr, 512, 0, 0, 0, -1, 0, &file), 87);
}

TEST_F(CarveSectorTest, CarvingWithoutAReaderMeasuresFromTheCandidateOnly) {
  SAMPLE_OR_SKIP(png, "image.png");
  const std::vector<uint8_t> tif = UnmeasurableTiff();
  engine::signatures::CarvedFile file;
  std::vector<uint8_t> sector(png);
  sector.resize(512, 0);
  EXPECT_EQ(deep_test::Carve(512, nullptr, sector.data(), 512, 9, 0, 0, -1, 0, &file), 0);
  EXPECT_EQ(file.size, png.size());
  sector.assign(tif.begin(), tif.begin() + 512);
  EXPECT_EQ(deep_test::Carve(512, nullptr, sector.data(), 512, 9, 0, 0, -1, 0, &file), 0);
  EXPECT_EQ(file.size, 512u);
}

}  // namespace

namespace {

TEST(SectorsToSkipAfterCarve, HeaderSizedKindsAreLookedIntoOthersSkippedWhole) {
  using engine::signatures::SectorsToSkipAfterCarve;
  using C = engine::signatures::FileTypeCode;
  EXPECT_EQ(SectorsToSkipAfterCarve(C::kJpg, 10000, 512), 20u);
  EXPECT_EQ(SectorsToSkipAfterCarve(C::kBmp, 10000, 512), 1u);
  for (const C code :
       {C::kDoc, C::kOle, C::kXls, C::kPpt, C::kWav, C::kAvi, C::kWmv, C::kSwf, C::kBmp, C::kCab, C::kTtf, C::kIco}) {
    EXPECT_EQ(SectorsToSkipAfterCarve(code, 1 << 20, 512), 1u) << static_cast<int>(code);
  }
  EXPECT_EQ(SectorsToSkipAfterCarve(C::kPng, 4096, 4096), 1u);
  EXPECT_EQ(SectorsToSkipAfterCarve(C::kPng, 4097, 4096), 2u);
  EXPECT_EQ(SectorsToSkipAfterCarve(C::kPng, 0, 512), 1u);  // the scan always moves on
  EXPECT_EQ(SectorsToSkipAfterCarve(C::kPng, 1 << 20, 0), 1u);
}

}  // namespace
