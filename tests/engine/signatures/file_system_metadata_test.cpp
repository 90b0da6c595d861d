// SPDX-License-Identifier: GPL-3.0-or-later
// Sectors that hold file-system metadata end a carved file; FindNextFileStart
// finds them and the next file start.
#include <gtest/gtest.h>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using engine::signatures::IsFileSystemMetadata;

std::vector<uint8_t> Sector(const void* head, size_t length, size_t size = 512) {
  std::vector<uint8_t> s(size, 0x11);
  std::memcpy(s.data(), head, length);
  return s;
}

TEST(FileSystemMetadata, NtfsStructures) {
  EXPECT_TRUE(IsFileSystemMetadata(Sector("FILE0", 5).data(), 512));
  EXPECT_TRUE(IsFileSystemMetadata(Sector("INDX", 4).data(), 512));
  EXPECT_TRUE(IsFileSystemMetadata(Sector("$\0S\0T\0A\0", 8).data(), 512));
  auto restart = Sector("RSTR", 4);
  EXPECT_FALSE(IsFileSystemMetadata(restart.data(), 512));
  std::memcpy(&restart[500], "N\0T\0F\0S\0", 8);
  EXPECT_TRUE(IsFileSystemMetadata(restart.data(), 512));
}

TEST(FileSystemMetadata, BootSectorsByOemName) {
  for (const char* oem : {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "NTFS    ", "EXFAT   "}) {
    auto boot = Sector("\xEB\x52\x90", 3);
    std::memcpy(&boot[3], oem, 8);
    EXPECT_TRUE(IsFileSystemMetadata(boot.data(), 512)) << oem;
    boot[2] = 0x91;
    EXPECT_FALSE(IsFileSystemMetadata(boot.data(), 512)) << oem;
  }
  auto other = Sector("\xEB\x52\x90mkfs.fat", 11);
  EXPECT_FALSE(IsFileSystemMetadata(other.data(), 512));
}

TEST(FileSystemMetadata, FatDirectorySector) {
  // One live file entry (README.TXT, 2020-01-01 12:00) and zeros behind it.
  std::vector<uint8_t> dir(512, 0);
  std::memcpy(dir.data(), "README  TXT", 11);
  dir[11] = 0x20;
  const uint16_t time = (12 << 11), date = ((2020 - 1980) << 9) | (1 << 5) | 1;
  for (size_t at : {14u, 22u}) {
    dir[at] = time & 0xFF;
    dir[at + 1] = time >> 8;
  }
  for (size_t at : {16u, 18u, 24u}) {
    dir[at] = date & 0xFF;
    dir[at + 1] = date >> 8;
  }
  dir[26] = 3;
  dir[28] = 100;
  EXPECT_TRUE(IsFileSystemMetadata(dir.data(), 512));
  dir[300] = 1;  // not zero after the end of the directory
  EXPECT_FALSE(IsFileSystemMetadata(dir.data(), 512));
}

TEST(FileSystemMetadata, OrdinarySectorsAndTinySectorsAreNot) {
  EXPECT_FALSE(IsFileSystemMetadata(std::vector<uint8_t>(512, 0).data(), 512));
  EXPECT_FALSE(IsFileSystemMetadata(Sector("FILE", 4).data(), 31));
  EXPECT_FALSE(IsFileSystemMetadata(nullptr, 512));
}

TEST(FindNextFileStart, AddsTheHitsOffsetAndAdvancesTheReadPosition) {
  deep_test::ResetCarveContext();
  engine::signatures::CarveContext& context = deep_test::TestContext();
  context.sectorSize = 512;
  context.reader = nullptr;
  context.readPosition = 100;
  std::vector<uint8_t> chunk(8 * 512, 0x11);
  std::memcpy(&chunk[5 * 512], "FILE0", 5);
  uint64_t size = 1000;
  EXPECT_TRUE(
      engine::signatures::FindNextFileStart(deep_test::TestContext(), chunk.data(), chunk.size(), &size, false));
  EXPECT_EQ(size, 1000u + 5 * 512);
  EXPECT_EQ(context.readPosition, 106u);

  std::vector<uint8_t> none(4 * 512 + 100, 0x11);  // the partial sector at the end is not looked at
  std::memcpy(&none[4 * 512], "FILE0", 5);
  size = 7;
  EXPECT_FALSE(engine::signatures::FindNextFileStart(deep_test::TestContext(), none.data(), none.size(), &size, false));
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(context.readPosition, 110u);
}

TEST(FindNextFileStart, IgnoringMpegSkipsPackHeadersOnly) {
  deep_test::ResetCarveContext();
  engine::signatures::CarveContext& context = deep_test::TestContext();
  context.sectorSize = 512;
  context.readPosition = 0;
  std::vector<uint8_t> chunk(3 * 512, 0x11);
  const uint8_t pack[] = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8, 0, 0, 1, 0xBB};
  std::memcpy(&chunk[512], pack, sizeof pack);
  std::memcpy(&chunk[1024], "\x89PNG\r\n\x1A\n", 8);
  uint64_t size = 0;
  EXPECT_TRUE(
      engine::signatures::FindNextFileStart(deep_test::TestContext(), chunk.data(), chunk.size(), &size, false));
  EXPECT_EQ(size, 512u);
  size = 0;
  EXPECT_TRUE(engine::signatures::FindNextFileStart(deep_test::TestContext(), chunk.data(), chunk.size(), &size, true));
  EXPECT_EQ(size, 1024u);
}

}  // namespace
