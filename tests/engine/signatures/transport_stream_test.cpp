// SPDX-License-Identifier: GPL-3.0-or-later
// Transport streams (ts) and their M2TS cousins (mts): where a stream starts,
// where its packets stop, and which sectors are not new streams.
#include <gtest/gtest.h>

#include "engine/signatures/carve_context.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using deep_test::Disk;
using engine::signatures::FileTypeCode;
using C = FileTypeCode;

// The ts sample's packets repeated `times` times.
std::vector<uint8_t> LongStream(const std::vector<uint8_t>& ts, int times) {
  std::vector<uint8_t> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), ts.begin(), ts.end());
  return out;
}

class TransportStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    deep_test::ResetCarveContext();
    const std::vector<uint8_t>* ts = deep_test::Sample("video.ts");
    if (ts == nullptr) GTEST_SKIP() << "video.ts missing from samples.tar.gz";
    ASSERT_EQ(ts->size() % 188, 0u);
    m_ts = *ts;
  }
  void TearDown() override { deep_test::ResetCarveContext(); }

  // Any carve of an unrecognised sector leaves the continuation checks on.
  void CarveNothing() {
    Disk blank(512, 2);
    storage::SectorSource source;
    blank.Open(source);
    ASSERT_EQ(deep_test::CarveAt(blank, source, 1).status, 87);
    ASSERT_TRUE(deep_test::TestContext().streamStartCheck);
  }

  std::vector<uint8_t> m_ts;
};

TEST_F(TransportStreamTest, StreamEndsWhereItsPacketsStop) {
  std::vector<uint8_t> stream = m_ts;
  stream[40 * 188] = 0x00;  // packet 40 lost its sync byte
  Disk disk(512, 60);
  disk.Place(5, stream);
  disk.Place(50, deep_test::BootSector(512));
  storage::SectorSource source;
  disk.Open(source);
  const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 5);
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.Name(), "5.ts");
  EXPECT_EQ(out.file.size, 40u * 188);
  ASSERT_EQ(deep_test::TestContext().streamExtents.size(), 1u);
  EXPECT_EQ(deep_test::TestContext().streamExtents[0].firstSector, 5u);
  EXPECT_EQ(deep_test::TestContext().streamExtents[0].lastSector, 5u + (40 * 188 + 511) / 512 - 1);
}

TEST_F(TransportStreamTest, LongStreamIsMeasuredAcrossChunks) {
  // 74 * 20 packets: more than one 64 KiB chunk, with packets crossing chunk borders.
  const std::vector<uint8_t> stream = LongStream(m_ts, 20);
  const uint64_t sectors = (stream.size() + 511) / 512;
  Disk disk(512, sectors + 20);
  disk.Place(3, stream);
  disk.Place(3 + sectors + 10, deep_test::BootSector(512));
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 3).file.size, stream.size());
}

TEST_F(TransportStreamTest, SectorContinuingAStreamIsNoNewStream) {
  // Sector 47 of a stream starts on a packet boundary (47 * 512 = 128 * 188).
  const std::vector<uint8_t> stream = LongStream(m_ts, 3);
  Disk disk(512, 120);
  disk.Place(10, stream);
  storage::SectorSource source;
  disk.Open(source);
  CarveNothing();
  EXPECT_EQ(deep_test::CarveAt(disk, source, 57).status, 87);
  // Without the continuation checks the same sector starts a stream.
  deep_test::TestContext().streamStartCheck = false;
  EXPECT_EQ(deep_test::CarveAt(disk, source, 57).file.code, C::kTs);
}

TEST_F(TransportStreamTest, SectorInsideACarvedStreamIsNoNewStream) {
  const std::vector<uint8_t> stream = LongStream(m_ts, 3);
  Disk first(512, 120);
  first.Place(10, stream);
  storage::SectorSource firstSource;
  first.Open(firstSource);
  ASSERT_EQ(deep_test::CarveAt(first, firstSource, 10).file.size, stream.size());
  ASSERT_TRUE(deep_test::TestContext().streamStartCheck);  // a carved ts keeps the checks on

  // Elsewhere a stream begins after an empty sector, at a sector the first stream covered.
  Disk second(512, 120);
  second.Place(57, m_ts);
  storage::SectorSource secondSource;
  second.Open(secondSource);
  EXPECT_EQ(deep_test::CarveAt(second, secondSource, 57).status, 87);
  deep_test::TestContext().ClearStreamExtents();
  CarveNothing();
  EXPECT_EQ(deep_test::CarveAt(second, secondSource, 57).file.code, C::kTs);
}

TEST_F(TransportStreamTest, StreamAtSectorZeroHasNoPredecessorToContinue) {
  Disk disk(512, 60);
  disk.Place(0, m_ts);
  storage::SectorSource source;
  disk.Open(source);
  CarveNothing();
  EXPECT_EQ(deep_test::CarveAt(disk, source, 0).file.code, C::kTs);
}

TEST_F(TransportStreamTest, FewerThanTwentyTwoPacketsAreNoStream) {
  std::vector<uint8_t> shortStream(m_ts.begin(), m_ts.begin() + 21 * 188);
  Disk disk(512, 20);
  disk.Place(2, shortStream);
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).status, 87);
}

TEST_F(TransportStreamTest, OtherCarvesEndAtAStreamStart) {
  // A TIFF whose first directory is empty is measured to the next start.
  std::vector<uint8_t> tif(840, 0x11);
  const uint8_t head[] = {'I', 'I', 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(tif.data(), head, sizeof head);
  Disk disk(512, 60);
  disk.Place(2, tif);
  disk.Place(9, m_ts);
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).file.size, 7u * 512);
}

// --- M2TS: 192-byte packets, a 4-byte time code before each transport packet.

std::vector<uint8_t> M2tsSector(uint32_t timeCode) {
  std::vector<uint8_t> s(512, 0x11);
  s[0] = static_cast<uint8_t>(timeCode >> 24);
  s[1] = static_cast<uint8_t>(timeCode >> 16);
  s[2] = static_cast<uint8_t>(timeCode >> 8);
  s[3] = static_cast<uint8_t>(timeCode);
  const uint8_t packet[] = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
  std::memcpy(&s[4], packet, sizeof packet);
  return s;
}

TEST_F(TransportStreamTest, LaterM2tsPacketsDoNotStartNewFilesAfterAnMts) {
  Disk disk(512, 40);
  disk.Fill(0, 40, 0x11);
  disk.Place(10, M2tsSector(0));
  disk.Place(14, M2tsSector(0x00123456));
  disk.Place(30, deep_test::BootSector(512));
  storage::SectorSource source;
  disk.Open(source);
  const deep_test::CarveOutcome first = deep_test::CarveAt(disk, source, 10);
  EXPECT_EQ(first.Name(), "10.mts");
  EXPECT_EQ(first.file.size, 192u);  // its packets stop after the first
  EXPECT_EQ(deep_test::CarveAt(disk, source, 14).status, 87);
  // After another kind of carve the same sector starts an mts.
  CarveNothing();
  EXPECT_EQ(deep_test::CarveAt(disk, source, 14).file.code, C::kMts);
}

TEST_F(TransportStreamTest, TwoScansKeepTheirOwnStreamState) {
  // One scan carves a stream; another, interleaved with it, still finds the
  // same sectors as a new stream because its context saw no carve.
  const std::vector<uint8_t> stream = LongStream(m_ts, 3);
  Disk disk(512, 120);
  disk.Place(10, stream);
  storage::SectorSource source;
  disk.Open(source);
  engine::signatures::CarveContext first;
  engine::signatures::CarveContext second;
  first.Attach(&source, 512);
  second.Attach(&source, 512);
  engine::signatures::CarvedFile file;
  ASSERT_EQ(engine::signatures::CarveSector(first, disk.At(10), 512, 10, {}, &file), 0);
  EXPECT_EQ(first.streamExtents.size(), 1u);
  EXPECT_TRUE(second.streamExtents.empty());
  EXPECT_FALSE(second.streamStartCheck);
  // Sector 57 lies inside the first scan's stream: only that scan skips it.
  second.streamStartCheck = true;
  EXPECT_EQ(engine::signatures::CarveSector(first, disk.At(57), 512, 57, {}, &file), 87);
  second.streamStartCheck = false;
  ASSERT_EQ(engine::signatures::CarveSector(second, disk.At(57), 512, 57, {}, &file), 0);
  EXPECT_EQ(file.code, C::kTs);
  first.ClearStreamExtents();
  EXPECT_TRUE(first.streamExtents.empty());
}

}  // namespace
