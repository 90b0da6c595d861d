// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <numeric>

#include "platform/disk_table.h"
#include "storage/sector_source.h"
#include "tests/support/test_support.h"

namespace storage {
namespace {

std::vector<uint8_t> Pattern(size_t bytes) {
  std::vector<uint8_t> v(bytes);
  for (size_t i = 0; i < bytes; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return v;
}

class SectorSourceTest : public ::testing::Test {
 protected:
  void OpenMemory(size_t bytes, MemorySourceOptions options = {}) {
    m_bytes = Pattern(bytes);
    OpenMemorySource(m_source, m_bytes, std::move(options));
  }
  SectorSource m_source;
  std::vector<uint8_t> m_bytes;
};

TEST_F(SectorSourceTest, LastSectorReadsAndOneMoreIsPastTheEnd) {
  OpenMemory(100 * 512);
  std::vector<uint8_t> buf(2 * 512, 0xEE);
  uint32_t got = 99;
  ASSERT_EQ(ReadSectors(1, m_source, buf.data(), 99, 512, &got), 0);
  EXPECT_EQ(got, 1u);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, m_bytes.begin() + 99 * 512));
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(ReadSectors(2, m_source, buf.data(), 99, 512, &got), 87);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(buf[0], 0xEE);  // nothing read
  EXPECT_EQ(ReadSectors(1, m_source, buf.data(), 100, 512, &got), 87);
  EXPECT_EQ(ReadSectors(1, m_source, buf.data(), UINT64_MAX, 512, &got), 87);  // no wrap-around
}

TEST_F(SectorSourceTest, LargeReadsGoInPiecesOf64KiB) {
  auto pieces = std::make_shared<std::vector<size_t>>();
  OpenMemory(1024 * 1024, {{}, pieces});
  std::vector<uint8_t> buf(200 * 1024);
  uint32_t got = 0;
  ASSERT_EQ(ReadSectors(400, m_source, buf.data(), 10, 512, &got), 0);
  EXPECT_EQ(got, 400u);
  EXPECT_EQ(*pieces, (std::vector<size_t>{65536, 65536, 65536, 8192}));
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), m_bytes.begin() + 10 * 512));
}

TEST_F(SectorSourceTest, AReadFaultStopsWithStatus30AndCountsWholeSectors) {
  OpenMemory(64 * 512, {{20}, nullptr});
  std::vector<uint8_t> buf(16 * 512);
  uint32_t got = 0;
  EXPECT_EQ(ReadSectors(16, m_source, buf.data(), 10, 512, &got), 30);
  EXPECT_EQ(got, 10u);  // sectors 10..19 arrived
  EXPECT_EQ(ReadSectors(1, m_source, buf.data(), 20, 512, &got), 30);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ReadSectors(4, m_source, buf.data(), 21, 512, &got), 0);
}

TEST_F(SectorSourceTest, LargerSectorsReadFromTheSameBytes) {
  OpenMemory(64 * 512);
  std::vector<uint8_t> buf(4096);
  uint32_t got = 0;
  ASSERT_EQ(ReadSectors(1, m_source, buf.data(), 3, 4096, &got), 0);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), m_bytes.begin() + 3 * 4096));
}

TEST_F(SectorSourceTest, ClosedSourceReadsNothing) {
  uint8_t buf[512];
  uint32_t got = 5;
  EXPECT_NE(ReadSectors(1, m_source, buf, 0, 512, &got), 0);
  EXPECT_EQ(got, 0u);
  OpenMemory(4 * 512);
  CloseSource(m_source);
  EXPECT_FALSE(m_source.IsOpen());
  EXPECT_EQ(m_source.totalSectors, 0u);
}

TEST(ImageSource, OddSizedImageHasWholeSectorsOnly) {
  testing_support::TempDir dir;
  std::string path = dir.path() + "odd.img";
  testing_support::WriteFileBytes(path, Pattern(1'000'000));
  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, path), 0);
  EXPECT_EQ(source.totalSectors, 1953u);
  std::vector<uint8_t> buf(512);
  uint32_t got = 0;
  ASSERT_EQ(ReadSectors(1, source, buf.data(), 1952, 512, &got), 0);
  EXPECT_EQ(ReadSectors(1, source, buf.data(), 1953, 512, &got), 87);  // the last 64 bytes are no sector
}

TEST(ImageSource, FileThatShrankAfterOpeningGivesReadFault) {
  testing_support::TempDir dir;
  std::string path = dir.path() + "shrink.img";
  testing_support::WriteFileBytes(path, Pattern(64 * 512));
  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, path), 0);
  testing_support::WriteFileBytes(path, Pattern(10 * 512 + 100));
  std::vector<uint8_t> buf(20 * 512);
  uint32_t got = 0;
  EXPECT_EQ(ReadSectors(20, source, buf.data(), 0, 512, &got), 30);
  EXPECT_EQ(got, 10u);
}

TEST(ImageSource, BadPathsGiveClearStatuses) {
  testing_support::TempDir dir;
  SectorSource source;
  EXPECT_EQ(OpenImageSource(source, dir.path() + "missing.img"), 2);
  EXPECT_EQ(OpenImageSource(source, dir.path()), 5);
  testing_support::WriteFileBytes(dir.path() + "empty.img", {});
  ASSERT_EQ(OpenImageSource(source, dir.path() + "empty.img"), 0);
  EXPECT_EQ(source.totalSectors, 0u);
  uint8_t buf[512];
  uint32_t got = 0;
  EXPECT_EQ(ReadSectors(1, source, buf, 0, 512, &got), 87);
}

TEST(DiskSource, DiskTableComesFromQuellmoorDisks) {
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "a.img", Pattern(8 * 512));
  testing_support::WriteFileBytes(dir.path() + "b.img", Pattern(16 * 512));
  ::setenv("QUELLMOOR_DISKS", (dir.path() + "a.img:" + dir.path() + "b.img").c_str(), 1);
  auto disks = platform::ListDisks();
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[1].byteLength, 16u * 512);
  SectorSource source;
  ASSERT_EQ(OpenDiskSource(source, 1), 0);
  EXPECT_EQ(source.totalSectors, 16u);
  EXPECT_EQ(OpenDiskSource(source, 2), 2);
  ::unsetenv("QUELLMOOR_DISKS");
}

}  // namespace
}  // namespace storage
