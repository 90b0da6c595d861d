// SPDX-License-Identifier: GPL-3.0-or-later
// The first-byte dispatch picks the same row as the plain walk of the table.
#include <gtest/gtest.h>

#include <random>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/file_signature_table.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using deep_test::Disk;
using engine::signatures::FileTypeCode;
using engine::signatures::Recognition;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { deep_test::ResetCarveContext(); }
  void TearDown() override { deep_test::ResetCarveContext(); }

  // Both answers for sector `sector` of disk, read through a source over it
  // (the compound, OOXML and stream recognisers read around the sector).
  void ExpectSameAnswer(Disk& disk, storage::SectorSource& source, uint64_t sector, const std::string& what) {
    engine::signatures::CarveContext& context = deep_test::TestContext();
    context.reader = &source;
    context.sectorSize = disk.SectorSize();
    context.hitSector = context.readPosition = sector;
    const Recognition fast =
        engine::signatures::RecogniseSector(deep_test::TestContext(), disk.At(sector), disk.SectorSize());
    const Recognition plain =
        engine::signatures::RecogniseSectorByTableWalk(deep_test::TestContext(), disk.At(sector), disk.SectorSize());
    EXPECT_EQ(fast.code, plain.code) << what << " sector " << sector;
    EXPECT_EQ(fast.row, plain.row) << what << " sector " << sector;
    if (fast.code != FileTypeCode::kNone) ++m_recognised;
  }

  int m_recognised = 0;
};

TEST_F(DispatchTest, EverySectorOfEverySampleGetsTheSameRow) {
  if (deep_test::Samples().empty()) GTEST_SKIP() << "samples.tar.gz missing";
  for (const auto& [name, bytes] : deep_test::Samples()) {
    for (uint32_t sectorSize : {512u, 4096u}) {
      const uint64_t sectors = (bytes.size() + sectorSize - 1) / sectorSize;
      Disk disk(sectorSize, sectors + 2);
      disk.Place(1, bytes);
      storage::SectorSource source;
      disk.Open(source);
      for (uint64_t s = 0; s < disk.Sectors() && s < 200; ++s) ExpectSameAnswer(disk, source, s, name);
    }
  }
  EXPECT_GT(m_recognised, 30);
}

TEST_F(DispatchTest, CraftedAmbiguousSectorsGetTheSameRow) {
  const std::vector<std::vector<uint8_t>> starts = {
      {'P', 'K', 3, 4},  // zip or OOXML
      {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' ', 'L', 'I', 'S', 'T'},
      {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '},
      {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0, 0x60, 'M', 'T', 'r', 'k'},
      {'M', 'A', 'C', ' '},
      {'M', 'M', 'M', 'D'},
      {'M', 'S', 'C', 'F'},
      {'M', 'M', 0, 0x2A},
      {'M', 'Z'},
      {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1},  // compound document, also an fla start
      {0xD0, 0xCF, 0x11, 0xE0},                          // fla only
      {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'},
      {0, 0, 0, 0x18, 'f', 't', 'y', 'p', '3', 'g', 'p', '4'},
      {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'q', 't', ' ', ' '},
      {'m', 'o', 'o', 'v', 0, 0, 0, 0, 'f', 't', 'y', 'p'},
      {0, 0, 1, 0xBA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xBB},
      {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 0x16, 0, 0, 0},
      {0, 1, 0, 0, 0, 1, 0, 16, 0, 1, 0, 1},
      {0x47, 0x40, 0x11, 0x10},
      {0, 0, 0, 0, 0x47, 0x40, 0, 0x10, 0, 0, 0xB0, 0x11, 0, 0, 0xC1, 0},
      {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F'},
      {0xFF, 0xFD, 0xE4, 0},
      {'F', 'L', 'V', 1, 5, 0, 0, 0, 9},
      {'F', 'W', 'S', 5},
      {'C', 'W', 'S', 9},
      {'R', 'a', 'r', '!', 0x1A, 7, 0},
  };
  Disk disk(512, 64);
  std::mt19937 rng(12345);
  storage::SectorSource source;
  for (size_t i = 0; i < starts.size(); ++i) {
    std::vector<uint8_t> sector(512);
    for (auto& b : sector) b = static_cast<uint8_t>(rng());
    std::memcpy(sector.data(), starts[i].data(), starts[i].size());
    disk.Place(2 + i, sector);
  }
  // A sector that names an OOXML part only through "[Content_Types].xml" at 31.
  std::vector<uint8_t> contentTypes(512, 0x20);
  std::memcpy(&contentTypes[31], "[Content_Types].xml", 19);
  disk.Place(40, contentTypes);
  disk.Open(source);
  for (uint64_t s = 0; s < disk.Sectors(); ++s) ExpectSameAnswer(disk, source, s, "crafted");
  EXPECT_GT(m_recognised, 15);
}

TEST_F(DispatchTest, RandomSectorsWithPlantedMagicGetTheSameRow) {
  // Random sectors whose first bytes are taken from real file starts, with one byte changed.
  std::vector<std::vector<uint8_t>> heads;
  for (const auto& [name, bytes] : deep_test::Samples()) {
    heads.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(bytes.size(), 48)));
  }
  if (heads.empty()) GTEST_SKIP() << "samples.tar.gz missing";
  std::mt19937 rng(99);
  Disk disk(512, 2000);
  for (uint64_t s = 0; s < disk.Sectors(); ++s) {
    uint8_t* sector = disk.At(s);
    for (size_t i = 0; i < 512; ++i) sector[i] = static_cast<uint8_t>(rng());
    const auto& head = heads[rng() % heads.size()];
    std::memcpy(sector, head.data(), head.size());
    if (rng() % 2 == 0) sector[rng() % head.size()] = static_cast<uint8_t>(rng());
  }
  storage::SectorSource source;
  disk.Open(source);
  for (uint64_t s = 0; s < disk.Sectors(); ++s) ExpectSameAnswer(disk, source, s, "planted");
  EXPECT_GT(m_recognised, 500);
}

TEST_F(DispatchTest, EveryCodeHasANamingRowAndEveryRowItsOwnCode) {
  const auto table = engine::signatures::FileSignatureTable();
  for (int32_t code = 0; code < engine::signatures::kFileTypeCodeCount - 1; ++code) {
    const int32_t row = engine::signatures::FirstRowOfCode(static_cast<FileTypeCode>(code));
    ASSERT_GE(row, 0) << code;
    EXPECT_EQ(static_cast<int32_t>(table[static_cast<size_t>(row)].code), code);
  }
  EXPECT_EQ(engine::signatures::FirstRowOfCode(FileTypeCode::kNone), -1);
  for (const auto& row : table) {
    EXPECT_EQ(engine::signatures::RowOfExtension(row.extension) >= 0, true) << row.extension;
    EXPECT_NE(row.recogniser, nullptr) << row.extension;
  }
}

}  // namespace
