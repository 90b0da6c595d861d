// SPDX-License-Identifier: GPL-3.0-or-later
// exFAT directory entry sets, timestamps, the up-case table and the FAT
// chain, on the sets mkfs.exfat and exfat-fuse wrote and on precise damage
// to them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/exfat/exfat_entry_set.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/upcase_table.h"
#include "platform/file_time.h"
#include "tests/engine/exfat/exfat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {
namespace {

using exfat::EntrySet;
using exfat::ParseEntrySet;
using exfat::SetParse;

platform::SystemTime TimeOf(uint64_t fileTime) {
  platform::SystemTime t;
  EXPECT_TRUE(platform::FileTimeToSystemTime(fileTime, &t));
  return t;
}

// An exFAT timestamp from its fields.
uint32_t Stamp(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<uint32_t>((year - 1980) << 25 | month << 21 | day << 16 | hour << 11 | minute << 5 | second / 2);
}

TEST(ExFatTimestamp, TenMillisecondStepsAddToTheTwoSecondCount) {
  const platform::SystemTime t = TimeOf(exfat::TimestampToFileTime(Stamp(2022, 1, 23, 20, 35, 22), 140));
  EXPECT_EQ(t.year, 2022);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 23);
  EXPECT_EQ(t.hour, 20);
  EXPECT_EQ(t.minute, 35);
  EXPECT_EQ(t.second, 23);
  EXPECT_EQ(t.milliseconds, 400);
  // 199 is the largest step (1.99 s); a larger one is not believed.
  EXPECT_EQ(TimeOf(exfat::TimestampToFileTime(Stamp(2022, 1, 23, 20, 35, 58), 199)).second, 59);
  EXPECT_EQ(TimeOf(exfat::TimestampToFileTime(Stamp(2022, 1, 23, 20, 35, 58), 200)).second, 58);
  EXPECT_EQ(exfat::TimestampToFileTime(Stamp(2022, 13, 1, 0, 0, 0), 0), 0u);
  EXPECT_EQ(exfat::TimestampToFileTime(Stamp(2022, 2, 30, 0, 0, 0), 0), 0u);
  EXPECT_EQ(exfat::TimestampToFileTime(Stamp(2022, 2, 1, 24, 0, 0), 0), 0u);
}

TEST(ExFatTimestamp, UtcOffsetsAreSignedQuarterHours) {
  EXPECT_EQ(exfat::UtcOffsetMinutes(0x80), 0);
  EXPECT_EQ(exfat::UtcOffsetMinutes(0x80 | 12), 180);             // Moscow, +3:00
  EXPECT_EQ(exfat::UtcOffsetMinutes(0x80 | (128 - 20)), -300);    // New York in winter, -5:00
  EXPECT_EQ(exfat::UtcOffsetMinutes(0x0C), exfat::kNoUtcOffset);  // the valid bit is clear
}

class ExFatEntrySetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = testing_support::UnpackedFixture("exfat_512.img.gz");
    if (image.empty()) GTEST_SKIP() << "fixture exfat_512 is not available";
    m_bytes = testing_support::ReadFileBytes(image);
  }

  EntrySet Parse(const std::vector<uint8_t>& bytes, size_t at, SetParse expected = SetParse::kSet) {
    EntrySet set;
    EXPECT_EQ(ParseEntrySet(ByteView(bytes.data(), bytes.size()), at, nullptr, &set), expected);
    return set;
  }

  std::vector<uint8_t> m_bytes;
};

TEST_F(ExFatEntrySetTest, LiveAndDeletedSetsCheckWithTheirOwnChecksum) {
  const size_t live = FindEntrySet(m_bytes, "README.TXT");
  const size_t deleted = FindEntrySet(m_bytes, "deleted_root.txt");
  ASSERT_NE(live, std::string::npos);
  ASSERT_NE(deleted, std::string::npos);
  const EntrySet l = Parse(m_bytes, live);
  EXPECT_FALSE(l.deleted);
  EXPECT_TRUE(l.checksumMatches);
  EXPECT_EQ(l.dataLength, 700u);
  EXPECT_EQ(l.validDataLength, 700u);
  EXPECT_TRUE(l.NoFatChain());
  EXPECT_EQ(l.createdUtcOffset, 0);  // exfat-fuse writes UTC times
  // Deleting cleared the in-use bits but left the checksum of the live set.
  const EntrySet d = Parse(m_bytes, deleted);
  EXPECT_TRUE(d.deleted);
  EXPECT_TRUE(d.checksumMatches);
  EXPECT_EQ(d.entryCount, 4u);  // 16 characters: two name entries

  auto changed = m_bytes;
  changed[deleted + 32 + 24] ^= 0x10;  // its data length
  EXPECT_FALSE(Parse(changed, deleted).checksumMatches);
}

TEST_F(ExFatEntrySetTest, NamesOf255CharactersSpanSeventeenNameEntries) {
  std::string longName = "Gone " + std::string(246, 'G') + ".png";
  const size_t at = FindEntrySet(m_bytes, longName);
  ASSERT_NE(at, std::string::npos);
  const EntrySet set = Parse(m_bytes, at);
  EXPECT_EQ(set.nameLength, 255u);
  EXPECT_EQ(set.entryCount, 19u);
  EXPECT_TRUE(set.checksumMatches);
  const size_t accented = FindEntrySet(m_bytes, "Résumé déjà vu 日本語.txt");
  ASSERT_NE(accented, std::string::npos);
  EXPECT_EQ(Parse(m_bytes, accented).nameLength, 22u);
}

TEST_F(ExFatEntrySetTest, MalformedSetsAreNotSets) {
  const size_t at = FindEntrySet(m_bytes, "deleted_root.txt");
  ASSERT_NE(at, std::string::npos);
  struct Case {
    const char* what;
    size_t offset;
    uint8_t value;
  } cases[] = {
      {"one secondary entry", 1, 1},
      {"nineteen secondary entries", 1, 19},
      {"name length 0", 32 + 3, 0},
      {"a name longer than its entries hold", 32 + 3, 31},
      {"no stream extension", 32, 0x41},
      {"a live entry in a deleted set", 64, 0xC1},
      {"a primary entry among the secondaries", 64, 0x05},
  };
  for (const Case& c : cases) {
    auto damaged = m_bytes;
    damaged[at + c.offset] = c.value;
    EntrySet set;
    EXPECT_EQ(ParseEntrySet(ByteView(damaged.data(), damaged.size()), at, nullptr, &set), SetParse::kNotASet) << c.what;
  }
  // A set whose secondary entries run past the bytes given is cut, not read past.
  EntrySet set;
  EXPECT_EQ(ParseEntrySet(ByteView(m_bytes.data(), at + 64), at, nullptr, &set), SetParse::kTruncated);
  EXPECT_EQ(ParseEntrySet(ByteView(m_bytes.data(), at + 16), at, nullptr, &set), SetParse::kTruncated);
}

TEST_F(ExFatEntrySetTest, AValidLengthAboveTheDataLengthIsClippedAndFlagged) {
  const size_t at = FindEntrySet(m_bytes, "deleted_root.txt");
  ASSERT_NE(at, std::string::npos);
  auto damaged = m_bytes;
  Put64(damaged, at + 32 + 8, 1u << 30);
  FixSetChecksum(damaged, at);
  const EntrySet set = Parse(damaged, at);
  EXPECT_TRUE(set.checksumMatches);
  EXPECT_TRUE(set.validLengthTooLong);
  EXPECT_EQ(set.validDataLength, set.dataLength);
}

TEST_F(ExFatEntrySetTest, TheUpcaseTableGivesTheNameHash) {
  // mkfs.exfat writes the compressed table in cluster 3 of this volume.
  const uint64_t heap = 4096ull * 512;
  const size_t tableAt = static_cast<size_t>(heap + (3 - 2) * 4096);
  std::vector<uint8_t> table(m_bytes.begin() + static_cast<std::ptrdiff_t>(tableAt),
                             m_bytes.begin() + static_cast<std::ptrdiff_t>(tableAt + 5836));
  exfat::UpcaseTable upcase;
  ASSERT_TRUE(upcase.Load(table.data(), table.size()));
  EXPECT_EQ(upcase.ToUpper(u'a'), u'A');
  EXPECT_EQ(upcase.ToUpper(u'é'), u'É');
  EXPECT_EQ(upcase.ToUpper(u'日'), u'日');
  const size_t at = FindEntrySet(m_bytes, "Résumé déjà vu 日本語.txt");
  ASSERT_NE(at, std::string::npos);
  EntrySet set;
  ASSERT_EQ(ParseEntrySet(ByteView(m_bytes.data(), m_bytes.size()), at, &upcase, &set), SetParse::kSet);
  EXPECT_TRUE(set.nameHashMatches);
  auto renamed = m_bytes;
  renamed[at + 64 + 2] = 'X';  // the first character of the name
  ASSERT_EQ(ParseEntrySet(ByteView(renamed.data(), renamed.size()), at, &upcase, &set), SetParse::kSet);
  EXPECT_FALSE(set.nameHashMatches);
  EXPECT_FALSE(set.checksumMatches);

  exfat::UpcaseTable bad;
  EXPECT_FALSE(bad.Load(table.data(), 7));  // odd length
  EXPECT_FALSE(bad.Load(table.data(), 0));  // empty
  // 65535 identities, then two more code units: one past the last.
  const std::vector<uint8_t> overflow{0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x00, 0x42, 0x00};
  EXPECT_FALSE(bad.Load(overflow.data(), overflow.size()));
  EXPECT_FALSE(bad.IsLoaded());
}

TEST(ExFatTable, ChainsThatLoopOrLeaveTheHeapEndIncomplete) {
  const std::string image = testing_support::UnpackedFixture("exfat_512.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture exfat_512 is not available";
  auto bytes = testing_support::ReadFileBytes(image);
  exfat::ExFatGeometry g;
  {
    exfat::ExFatVolume probe;
    probe.Own(MemorySource(bytes), 512, 0, 0);
    ASSERT_EQ(exfat::ReadExFatGeometry(probe, &g), kStatusOk);
  }
  const size_t fat = static_cast<size_t>(g.fatSector * g.bytesPerSector);
  Put32(bytes, fat + 4 * 100, 101);
  Put32(bytes, fat + 4 * 101, 100);               // 100 → 101 → 100: a loop
  Put32(bytes, fat + 4 * 200, g.maxCluster + 5);  // past the heap
  Put32(bytes, fat + 4 * 300, 301);
  Put32(bytes, fat + 4 * 301, 0xFFFFFFFF);  // 300 → 301, the end
  exfat::ExFatVolume volume;
  volume.Own(MemorySource(bytes), 512, 0, 0);
  exfat::ExFatTable table;
  ASSERT_EQ(table.Load(volume, g, 4096), kStatusOk);  // a small window that has to move
  std::vector<uint32_t> chain;
  bool complete = true;
  ASSERT_EQ(table.Chain(100, 10, &chain, &complete), kStatusOk);
  EXPECT_FALSE(complete);
  EXPECT_EQ(chain, (std::vector<uint32_t>{100, 101}));
  ASSERT_EQ(table.Chain(200, 2, &chain, &complete), kStatusOk);
  EXPECT_FALSE(complete);
  ASSERT_EQ(table.Chain(300, 2, &chain, &complete), kStatusOk);
  EXPECT_TRUE(complete);
  EXPECT_EQ(chain, (std::vector<uint32_t>{300, 301}));
  uint32_t value = 0;
  ASSERT_EQ(table.Entry(g.maxCluster + 1, &value), kStatusOk);
  EXPECT_EQ(value, 0xFFFFFFFFu);  // outside the heap reads as an end
}

}  // namespace
}  // namespace engine::exfat_testing
