// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "engine/fat_dir_entry.h"
#include "platform/file_time.h"
#include "tests/support/test_support.h"

namespace engine {
namespace {

using Entry = std::array<uint8_t, 32>;

void Put16(Entry& e, size_t off, uint16_t v) {
  e[off] = static_cast<uint8_t>(v);
  e[off + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Entry& e, size_t off, uint32_t v) {
  Put16(e, off, static_cast<uint16_t>(v));
  Put16(e, off + 2, static_cast<uint16_t>(v >> 16));
}
uint16_t FatDate(int y, int m, int d) {
  return static_cast<uint16_t>(((y - 1980) << 9) | (m << 5) | d);
}
uint16_t FatTime(int h, int mi, int s) {
  return static_cast<uint16_t>((h << 11) | (mi << 5) | (s / 2));
}

// A live archive file entry dated 2020-06-15 12:30:10, cluster 5, 100 bytes.
Entry FileEntry(const char* name11 = "REPORT  TXT") {
  Entry e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = 0x20;
  Put16(e, 14, FatTime(12, 30, 10));
  Put16(e, 16, FatDate(2020, 6, 15));
  Put16(e, 18, FatDate(2020, 6, 15));
  Put16(e, 22, FatTime(12, 30, 10));
  Put16(e, 24, FatDate(2020, 6, 15));
  Put16(e, 26, 5);
  Put32(e, 28, 100);
  return e;
}

Entry DirEntry(const char* name11) {
  Entry e = FileEntry(name11);
  e[11] = 0x10;
  Put32(e, 28, 0);
  return e;
}

// Long-name entry holding 13 characters of text for the given short name.
Entry LongEntry(uint8_t sequence, const char* text13, uint8_t checksum) {
  Entry e{};
  e[0] = sequence;
  e[11] = 0x0F;
  e[13] = checksum;
  const size_t slots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < 13; ++i) Put16(e, slots[i], static_cast<uint8_t>(text13[i]));
  return e;
}

std::vector<uint8_t> Sector(std::initializer_list<Entry> entries, size_t bytes = 512) {
  std::vector<uint8_t> s(bytes, 0);
  size_t off = 0;
  for (const auto& e : entries) {
    std::memcpy(s.data() + off, e.data(), 32);
    off += 32;
  }
  return s;
}

bool Valid(const Entry& e) {
  return IsValidDirEntry(e.data(), nullptr);
}

TEST(DirEntryValidity, LiveFileDatesMustLieFrom1990To2050) {
  Entry e = FileEntry();
  EXPECT_TRUE(Valid(e));
  Put16(e, 16, FatDate(1989, 12, 31));
  EXPECT_FALSE(Valid(e));
  Put16(e, 16, FatDate(1990, 1, 1));
  Put16(e, 14, 0);
  EXPECT_TRUE(Valid(e));
  Entry old = FileEntry();
  Put16(old, 24, FatDate(1985, 3, 3));
  EXPECT_FALSE(Valid(old));
  old[0] = 0xE5;  // deleted entries are not held to the dates
  EXPECT_TRUE(Valid(old));
  Entry badDay = FileEntry();
  Put16(badDay, 18, FatDate(2020, 2, 30));
  EXPECT_FALSE(Valid(badDay));
}

TEST(DirEntryValidity, AttributeAndNameRules) {
  // Files without the archive bit (attribute 0, or only read-only) are files.
  Entry noArchive = FileEntry();
  noArchive[11] = 0x00;
  EXPECT_TRUE(Valid(noArchive));
  noArchive[11] = 0x01;
  EXPECT_TRUE(Valid(noArchive));
  Entry emptyWithCluster = FileEntry();
  Put32(emptyWithCluster, 28, 0);
  EXPECT_FALSE(Valid(emptyWithCluster));
  Entry lower = FileEntry("report  txt");
  EXPECT_FALSE(Valid(lower));
  Entry star = FileEntry("REP*RT  TXT");
  EXPECT_FALSE(Valid(star));
  Entry high = FileEntry("R\x82PORT  TXT");  // code-page bytes are allowed
  EXPECT_TRUE(Valid(high));
  Entry dirRo = DirEntry("PHOTOS     ");
  EXPECT_TRUE(Valid(dirRo));
  dirRo[11] = 0x11;
  EXPECT_FALSE(Valid(dirRo));
  Entry dirWithSize = DirEntry("PHOTOS     ");
  Put32(dirWithSize, 28, 5);
  EXPECT_FALSE(Valid(dirWithSize));
  Entry label = FileEntry("MYDISK     ");
  label[11] = 0x08;
  Put16(label, 26, 0);
  Put32(label, 28, 0);
  EXPECT_TRUE(Valid(label));
  Entry reserved = FileEntry();
  reserved[11] = 0x60;
  EXPECT_FALSE(Valid(reserved));
}

TEST(DirEntryValidity, LongNameEntries) {
  EXPECT_TRUE(Valid(LongEntry(0x41, "report.txt\0\xff\xff", 0)));
  EXPECT_TRUE(Valid(LongEntry(0x52, "aaaaaaaaaaaaa", 0)));   // sequence 18
  EXPECT_FALSE(Valid(LongEntry(0x53, "aaaaaaaaaaaaa", 0)));  // sequence 19
  EXPECT_TRUE(Valid(LongEntry(0xE5, "aaaaaaaaaaaaa", 0)));
  Entry withCluster = LongEntry(0x41, "aaaaaaaaaaaaa", 0);
  Put16(withCluster, 26, 3);
  EXPECT_FALSE(Valid(withCluster));
}

TEST(DirEntryTimes, ConvertWithHundredthsAndDateOnlyAccess) {
  Entry e = FileEntry();
  e[13] = 150;  // one extra second and 500 ms
  FatEntryTimes t = ConvertEntryTimes(e.data());
  platform::SystemTime st;
  ASSERT_TRUE(platform::FileTimeToSystemTime(t.created, &st));
  EXPECT_EQ(st.second, 11);
  EXPECT_EQ(st.milliseconds, 500);  // 50 hundredths are 500 ms
  ASSERT_TRUE(platform::FileTimeToSystemTime(t.accessed, &st));
  EXPECT_EQ(st.hour, 0);
  EXPECT_EQ(st.day, 15);
  ASSERT_TRUE(platform::FileTimeToSystemTime(t.modified, &st));
  EXPECT_EQ(st.minute, 30);
  e[13] = 100;  // exactly one second
  ASSERT_TRUE(platform::FileTimeToSystemTime(ConvertEntryTimes(e.data()).created, &st));
  EXPECT_EQ(st.second, 11);
  EXPECT_EQ(st.milliseconds, 0);
  Entry bad = FileEntry();
  Put16(bad, 24, 0);  // day 0
  EXPECT_EQ(ConvertEntryTimes(bad.data()).modified, 0u);
}

TEST(DirectoryStart, DotPairAtTheStart) {
  Entry dot = DirEntry(".          ");
  Entry dotdot = DirEntry("..         ");
  auto s = Sector({dot, dotdot});
  EXPECT_TRUE(IsDirectoryStart(s.data(), s.size()));
  EXPECT_TRUE(IsValidDirEntry(s.data(), s.data() + 32));
  auto swapped = Sector({dotdot, dot});
  EXPECT_FALSE(IsDirectoryStart(swapped.data(), swapped.size()));
  EXPECT_FALSE(IsDirectoryStart(s.data(), 63));
}

TEST(DirectorySector, EndMarkerRules) {
  auto empty = Sector({});
  EXPECT_FALSE(IsDirectorySector(empty.data(), empty.size()));
  auto two = Sector({FileEntry("A       TXT"), FileEntry("B       JPG")});
  EXPECT_TRUE(IsDirectorySector(two.data(), two.size()));
  auto trailing = two;
  trailing[300] = 1;
  EXPECT_FALSE(IsDirectorySector(trailing.data(), trailing.size()));
  EXPECT_TRUE(IsDirectorySector(two.data(), 31));  // too short to judge
  auto full = std::vector<uint8_t>(512);
  for (size_t i = 0; i < 16; ++i) std::memcpy(full.data() + i * 32, FileEntry("A       TXT").data(), 32);
  EXPECT_TRUE(IsDirectorySector(full.data(), full.size()));
  // A table of numbers in 32-byte lines reads as entries of huge files: text is no folder.
  std::string digits;
  for (int i = 0; i < 16; ++i) digits += "0292339926" + std::to_string(i % 10) + " 0.0" + std::to_string(i % 7 + 1) + "34314824709 0.03";
  digits.resize(512);
  EXPECT_FALSE(IsDirectorySector(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()));
}

TEST(DirectorySector, LongNamesMustEndInTheirShortEntry) {
  Entry shortEntry = FileEntry("LONGNA~1TXT");
  uint8_t sum = ShortNameChecksum(shortEntry.data());
  auto good = Sector({LongEntry(0x41, "longname.txt\0", sum), shortEntry});
  EXPECT_TRUE(IsDirectorySector(good.data(), good.size()));
  auto wrong = Sector({LongEntry(0x41, "longname.txt\0", static_cast<uint8_t>(sum + 1)), shortEntry});
  EXPECT_FALSE(IsDirectorySector(wrong.data(), wrong.size()));
  Entry deletedShort = shortEntry;
  deletedShort[0] = 0xE5;
  auto deleted = Sector({LongEntry(0x41, "longname.txt\0", static_cast<uint8_t>(sum + 1)), deletedShort});
  EXPECT_TRUE(IsDirectorySector(deleted.data(), deleted.size()));
  auto orphan = Sector({LongEntry(0x41, "longname.txt\0", sum), FileEntry("OTHER   TXT")});
  EXPECT_FALSE(IsDirectorySector(orphan.data(), orphan.size()));
  // A run cut by the end of the sector continues in the next one.
  std::vector<uint8_t> cut(512, 0);
  for (size_t i = 0; i < 15; ++i) std::memcpy(cut.data() + i * 32, FileEntry("A       TXT").data(), 32);
  std::memcpy(cut.data() + 15 * 32, LongEntry(0x42, "ongname.txt\0\xff", sum).data(), 32);
  EXPECT_TRUE(IsDirectorySector(cut.data(), cut.size()));
}

TEST(DirectorySector, SubfolderStartWithDotEntriesPasses) {
  auto s = Sector({DirEntry(".          "), DirEntry("..         "), FileEntry("A       TXT")});
  EXPECT_TRUE(IsDirectorySector(s.data(), s.size()));
  auto lone = Sector({FileEntry("A       TXT"), DirEntry("..         ")});
  EXPECT_FALSE(IsDirectorySector(lone.data(), lone.size()));
}

TEST(DirectorySector, ShortNameShapeRules) {
  auto blankInside = Sector({FileEntry("MY FILE TXT")});
  EXPECT_FALSE(IsDirectorySector(blankInside.data(), blankInside.size()));
  auto blankInExt = Sector({FileEntry("MYFILE  T X")});
  EXPECT_FALSE(IsDirectorySector(blankInExt.data(), blankInExt.size()));
  Entry noTime = FileEntry();
  Put16(noTime, 14, 0);
  auto untimed = Sector({noTime});
  EXPECT_FALSE(IsDirectorySector(untimed.data(), untimed.size()));
  auto pair = Sector({FileEntry("\x93\xfa\x96\xbc    TXT")});  // double-byte characters in pairs
  EXPECT_TRUE(IsDirectorySector(pair.data(), pair.size()));
  // A single code-page byte (an accented letter of code page 437 or 850) is a name too.
  auto single =
      Sector({FileEntry("CAF\x90"
                        "_\x90T\x90TXT")});
  EXPECT_TRUE(IsDirectorySector(single.data(), single.size()));
  Entry repeated{};
  std::memset(repeated.data(), 'A', 32);  // bytes 1-14 equal bytes 17-30
  repeated[11] = 0x20;
  repeated[27] = 0x20;
  EXPECT_TRUE(Valid(repeated));
  auto rep = Sector({repeated});
  EXPECT_FALSE(IsDirectorySector(rep.data(), rep.size()));
}

TEST(DirectorySector, RealDirectoriesFromMtoolsPass) {
  testing_support::TempDir dir;
  std::string img = dir.path() + "v.img";
  std::string out;
  std::string cmd = "mkfs.fat -C -F 16 '" + img + "' 16384 >/dev/null && echo hi > '" + dir.path() +
                    "a.txt' && MTOOLS_SKIP_CHECK=1 mcopy -i '" + img + "' '" + dir.path() +
                    "a.txt' ::/a.txt && MTOOLS_SKIP_CHECK=1 mcopy -i '" + img + "' '" + dir.path() +
                    "a.txt' '::/A long file name.txt' && echo ok";
  ASSERT_EQ(testing_support::RunCommand(cmd + " 2>&1", &out), 0) << out;
  auto bytes = testing_support::ReadFileBytes(img);
  // FAT16: root directory after the reserved sectors and two FATs.
  size_t reserved = bytes[14] | (bytes[15] << 8);
  size_t fatSize = bytes[22] | (bytes[23] << 8);
  size_t rootByte = (reserved + bytes[16] * fatSize) * 512;
  EXPECT_TRUE(IsDirectorySector(bytes.data() + rootByte, 512));
  EXPECT_FALSE(IsDirectorySector(bytes.data(), 512));  // the boot sector
  // A subfolder's first cluster, with its "." and ".." entries.
  ASSERT_EQ(
      testing_support::RunCommand("MTOOLS_SKIP_CHECK=1 mmd -i '" + img + "' ::/sub && MTOOLS_SKIP_CHECK=1 mcopy -i '" +
                                      img + "' '" + dir.path() + "a.txt' ::/sub/a.txt 2>&1",
                                  &out),
      0)
      << out;
  bytes = testing_support::ReadFileBytes(img);
  size_t dataByte = rootByte + 512 * 32;  // 512 root entries
  size_t clusterBytes = 512u * bytes[13];
  bool found = false;
  for (size_t c = 0; c < 8; ++c) {
    const uint8_t* sector = bytes.data() + dataByte + c * clusterBytes;
    if (IsDirectoryStart(sector, 512)) {
      found = true;
      EXPECT_TRUE(IsDirectorySector(sector, 512));
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace engine
