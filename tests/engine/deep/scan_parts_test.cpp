// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of the deep scan that decide what is read and what is shown: the
// free-space walk (never looping, whatever a fast engine answers), what the
// fast engine walked left out, the rule that shows a file several engines
// found once, and the state a stopped scan keeps.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>

#include "engine/deep/deep_scan_state.h"
#include "engine/deep/duplicate_index.h"
#include "engine/deep/scan_extents.h"
#include "tests/support/test_support.h"

namespace engine::deep {
namespace {

// A fast engine that answers GetNextFreeExtent from a script; other slots unused.
class ScriptedFreeSpace final : public IFileRecoveryParse {
 public:
  struct Answer {
    int32_t result;
    uint64_t sector;
    uint64_t count;   // written only when writeCount
    bool writeCount;  // false: the length is left as it was (an engine at the volume's end)
  };
  explicit ScriptedFreeSpace(std::deque<Answer> script) : m_script(std::move(script)) {}
  int calls = 0;

  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override {
    ++calls;
    if (m_script.empty()) return 1;  // at the end: position and length untouched
    const Answer a = m_script.front();
    m_script.pop_front();
    *inoutSector = a.sector;
    if (a.writeCount) *outSectorCount = a.count;
    return a.result;
  }
  Status OpenImage(const std::string&, uint16_t) override { return 0; }
  Status OpenPartition(int32_t, uint64_t, uint64_t, uint16_t) override { return 0; }
  Status SetProgressCallbacks(ScanProgressFn, CopyProgressFn, void*, int32_t) override { return 0; }
  Status Scan(const char*) override { return 0; }
  Status ListChildren(const ItemRecord*, int32_t, std::vector<ItemRecord>&) override { return 0; }
  Status CountFiles(const ItemRecord*, int32_t, int32_t*) override { return 0; }
  uint64_t GetItemCount() override { return 0; }
  Status GetItemPath(const ItemRecord*, std::string&) override { return 0; }
  Status RecoverItem(const ItemRecord*, const std::string&, int32_t) override { return 0; }
  Status SetSearchCallback(SearchProgressFn, void*) override { return 0; }
  int32_t Search(const std::string&, std::vector<ItemRecord>&) override { return 0; }
  Status BuildAllocationMap() override { return 0; }
  Status ExtractItem(const ItemRecord*, std::string&, uint8_t*, uint32_t*, ExtractProgressFn, void*) override {
    return 0;
  }

 private:
  std::deque<Answer> m_script;
};

TEST(ScanExtentsTest, TheFreeSpaceWalkEndsWhateverTheEngineAnswers) {
  // An engine without a map (the ext engine) answers 0: no free-space mode.
  {
    ScriptedFreeSpace ext({{0, 0, 0, false}});
    ScanExtents extents;
    EXPECT_FALSE(extents.CollectFree(ext, 512, 512, 1000));
    EXPECT_TRUE(extents.Extents().empty());
  }
  // At the end an engine leaves the length as it was: the walk still ends.
  {
    ScriptedFreeSpace fat({{1, 100, 50, true}, {1, 400, 10, true}});
    ScanExtents extents;
    ASSERT_TRUE(extents.CollectFree(fat, 512, 512, 1000));
    EXPECT_LE(fat.calls, 3);
    ASSERT_EQ(extents.Extents().size(), 2u);
    EXPECT_EQ(extents.TotalSectors(), 60u);
  }
  // An engine that reports the same extent again, or one behind, does not loop.
  {
    ScriptedFreeSpace stuck({{1, 10, 5, true}, {1, 10, 5, true}, {1, 3, 5, true}, {1, 10, 5, true}});
    ScanExtents extents;
    ASSERT_TRUE(extents.CollectFree(stuck, 512, 512, 1000));
    EXPECT_EQ(stuck.calls, 2);
    EXPECT_EQ(extents.TotalSectors(), 5u);
  }
  // Extents in 4 KiB sectors on a 512-byte source, the last one past the volume.
  {
    ScriptedFreeSpace ntfs({{1, 2, 3, true}, {1, 120, 100, true}, {1, 0, 0, true}});
    ScanExtents extents;
    ASSERT_TRUE(extents.CollectFree(ntfs, 4096, 512, 1000));
    ASSERT_EQ(extents.Extents().size(), 2u);
    EXPECT_EQ(extents.Extents()[0].start, 16u);
    EXPECT_EQ(extents.Extents()[0].count, 24u);
    EXPECT_EQ(extents.Extents()[1].start, 960u);
    EXPECT_EQ(extents.Extents()[1].count, 40u);  // clipped to the volume
  }
}

TEST(ScanExtentsTest, WhatTheFastEngineWalkedIsLeftOut) {
  ScanExtents extents;
  extents.Assign({{0, 100}, {200, 100}});
  // Whole sectors only: a run that covers half a sector leaves it in.
  extents.Subtract({{10 * 512, 10 * 512}, {95 * 512, 10 * 512 + 100}, {250 * 512 + 1, 511}}, 512);
  ASSERT_EQ(extents.Extents().size(), 3u);
  EXPECT_EQ(extents.Extents()[0].start, 0u);
  EXPECT_EQ(extents.Extents()[0].count, 10u);
  EXPECT_EQ(extents.Extents()[1].start, 20u);
  EXPECT_EQ(extents.Extents()[1].count, 75u);
  EXPECT_EQ(extents.Extents()[2].start, 200u);
  EXPECT_EQ(extents.Extents()[2].count, 100u);
  std::vector<ByteRun> runs{{100, 50}, {0, 10}, {140, 100}, {500, 0}};
  NormalizeByteRuns(runs);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].offset, 100u);
  EXPECT_EQ(runs[1].length, 140u);
}

ItemRecord File(SourceKind kind, int32_t id, const char* name, uint64_t size) {
  ItemRecord r = ZeroRecord();
  r.sourceKind = static_cast<int32_t>(kind);
  r.id = id;
  r.size = size;
  r.isIntact = 1;
  r.clusterBytes = kind == SourceKind::kSignature ? -1 : 4096;
  SetItemName(r, name);
  return r;
}

TEST(DuplicateIndexTest, TheEngineThatKnowsMostKeepsAFileFoundTwice) {
  DuplicateIndex index;
  // A camera thumbnail and the JPEG carved at its first byte are one file;
  // a PNG carved there is another.
  index.Add(File(SourceKind::kFastFat, 1, "IMG_0001.THM", 5000), 4096);
  index.Add(File(SourceKind::kSignature, 1, "8.jpg", 4000), 4096);
  index.Add(File(SourceKind::kSignature, 2, "8.png", 4000), 4096);
  // Spellings of one kind of file.
  index.Add(File(SourceKind::kProfessionalNtfs, 7, "clip.MPEG", 900), 8192);
  index.Add(File(SourceKind::kSignature, 3, "16.mpg", 800), 8192);
  index.Add(File(SourceKind::kFastNtfs, 3, "song.m4a", 700), 12288);
  index.Add(File(SourceKind::kSignature, 4, "24.mp4", 700), 12288);
  index.Add(File(SourceKind::kProfessionalFat, 9, "raw.CR2", 70), 16384);
  index.Add(File(SourceKind::kSignature, 5, "32.tif", 70), 16384);
  // A professional engine's file yields to a fast one only when the sizes agree.
  index.Add(File(SourceKind::kFastFat, 4, "a.txt", 10), 20480);
  index.Add(File(SourceKind::kProfessionalFat, 10, "a.txt", 10), 20480);
  index.Add(File(SourceKind::kFastFat, 5, "b.txt", 10), 24576);
  index.Add(File(SourceKind::kProfessionalFat, 11, "b.txt", 99), 24576);
  // Two files of one engine at one byte (hard links) both stay.
  index.Add(File(SourceKind::kFastNtfs, 6, "x.doc", 5), 28672);
  index.Add(File(SourceKind::kFastNtfs, 8, "y.doc", 5), 28672);
  // A damaged photo is hidden by its own store: a carved one at its place stays.
  ItemRecord damaged = File(SourceKind::kFastFat, 12, "c.jpg", 5);
  damaged.isIntact = 0;
  index.Add(damaged, 32768);
  index.Add(File(SourceKind::kSignature, 6, "64.jpg", 5), 32768);
  // A carved file yields only to an intact file of its size within a
  // cluster: a stale small entry over a larger photo, or an overwritten one,
  // hides nothing.
  index.Add(File(SourceKind::kFastFat, 13, "small.jpg", 2900), 36864);
  index.Add(File(SourceKind::kSignature, 7, "72.jpg", 140000), 36864);
  ItemRecord overwritten = File(SourceKind::kProfessionalFat, 14, "d.jpg", 9000);
  SetState(overwritten, ItemState::kOverwritten);
  index.Add(overwritten, 40960);
  index.Add(File(SourceKind::kSignature, 8, "80.jpg", 9000), 40960);
  // Another kind's name is the same file only when intact and exactly as
  // long: a header whose name says .h over text carved as .c, a name
  // without an extension.
  index.Add(File(SourceKind::kProfessionalExt4, 15, "store.h", 149), 45056);
  index.Add(File(SourceKind::kSignature, 9, "88.c", 149), 45056);
  index.Add(File(SourceKind::kFastFat, 16, "DATA", 900), 49152);
  index.Add(File(SourceKind::kSignature, 10, "96.txt", 900), 49152);
  index.Settle();

  EXPECT_TRUE(index.IsHidden(4, 9));
  EXPECT_TRUE(index.IsHidden(4, 10));
  EXPECT_FALSE(index.IsHidden(1, 1));
  EXPECT_TRUE(index.IsHidden(4, 1));
  EXPECT_FALSE(index.IsHidden(4, 2));
  EXPECT_TRUE(index.IsHidden(4, 3));
  EXPECT_TRUE(index.IsHidden(4, 4));
  EXPECT_TRUE(index.IsHidden(4, 5));
  EXPECT_TRUE(index.IsHidden(3, 10));
  EXPECT_FALSE(index.IsHidden(3, 11));
  EXPECT_FALSE(index.IsHidden(0, 6));
  EXPECT_FALSE(index.IsHidden(0, 8));
  EXPECT_FALSE(index.IsHidden(4, 6));
  EXPECT_FALSE(index.IsHidden(4, 7));
  EXPECT_FALSE(index.IsHidden(4, 8));
  EXPECT_EQ(index.HiddenCount(), 7u);
  EXPECT_EQ(index.HiddenCount(4), 6u);
  EXPECT_EQ(ExtensionFamily("JPEG"), ExtensionFamily("thm"));
  EXPECT_NE(ExtensionFamily("png"), ExtensionFamily("jpg"));
  EXPECT_EQ(ExtensionFamily("xyz"), ExtensionFamily("XYZ"));
}

TEST(DeepScanStateTest, AStoppedScanIsReadBackAsItWasWritten) {
  testing_support::TempDir dir;
  DeepScanState state;
  state.sectorBytes = 4096;
  state.volumeStart = 63;
  state.sectorCount = 1u << 20;
  state.freeSpaceOnly = true;
  state.fastStatus = 1117;
  state.extentIndex = 2;
  state.extentDone = 17;
  state.skipUntil = 99;
  state.sectorsDone = 12345;
  state.unreadableSectors = 3;
  state.replayEntries = 2;
  state.metadataRuns = {{512, 1024}};
  state.extents = {{0, 10}, {20, 30}, {100, 1000}};
  ASSERT_EQ(WriteDeepScanState(dir.path(), state), kStatusOk);
  DeepScanState back;
  ASSERT_EQ(ReadDeepScanState(dir.path(), &back), kStatusOk);
  EXPECT_EQ(back.sectorBytes, 4096u);
  EXPECT_EQ(back.volumeStart, 63u);
  EXPECT_TRUE(back.freeSpaceOnly);
  EXPECT_FALSE(back.finished);
  EXPECT_EQ(back.fastStatus, 1117);
  EXPECT_EQ(back.extentDone, 17u);
  EXPECT_EQ(back.skipUntil, 99u);
  EXPECT_EQ(back.unreadableSectors, 3u);
  ASSERT_EQ(back.extents.size(), 3u);
  EXPECT_EQ(back.extents[2].count, 1000u);
  ASSERT_EQ(back.metadataRuns.size(), 1u);

  EXPECT_EQ(ReadDeepScanState(dir.path() + "none/", &back), platform::kErrorFileNotFound);
}

// Every byte of a kept state is covered: a file cut short, grown, with any
// bit changed, of another version, or not a plain file is refused whole.
TEST(DeepScanStateTest, AnyChangedByteOrAnotherKindOfFileIsRefused) {
  testing_support::TempDir dir;
  DeepScanState state;
  state.sectorCount = 4096;
  state.extents = {{0, 100}, {200, 50}};
  state.replayEntries = 1;
  ASSERT_EQ(WriteDeepScanState(dir.path(), state), kStatusOk);
  const std::vector<uint8_t> good = testing_support::ReadFileBytes(dir.path() + kDeepStateName);
  auto fault = [&](const std::vector<uint8_t>& bytes) {
    DeepScanState back;
    return ParseDeepScanState(ByteView(bytes.data(), bytes.size()), &back);
  };
  EXPECT_EQ(fault(good), KeptStateFault::kNone);
  for (size_t bit = 0; bit < good.size() * 8; ++bit) {
    std::vector<uint8_t> flipped = good;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    const KeptStateFault why = fault(flipped);
    EXPECT_EQ(why, bit / 8 == 6 || bit / 8 == 7 ? KeptStateFault::kOtherVersion : KeptStateFault::kDamaged) << bit;
  }
  for (size_t length = 0; length < good.size(); ++length) {
    EXPECT_EQ(fault(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length))),
              KeptStateFault::kDamaged);
  }
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_EQ(fault(longer), KeptStateFault::kDamaged);
  for (const auto& bytes : {longer, std::vector<uint8_t>(good.begin(), good.end() - 1)}) {
    testing_support::WriteFileBytes(dir.path() + kDeepStateName, bytes);
    KeptStateFault why = KeptStateFault::kNone;
    DeepScanState back;
    EXPECT_EQ(ReadDeepScanState(dir.path(), &back, &why), platform::kErrorInvalidData);
    EXPECT_EQ(why, KeptStateFault::kDamaged);
  }

  const std::string path = dir.path() + kDeepStateName;
  for (const char* other : {"folder", "/dev/zero", "/dev/null"}) {
    std::filesystem::remove_all(path);
    if (std::string(other) == "folder") {
      std::filesystem::create_directory(path);
    } else {
      std::filesystem::create_symlink(other, path);
    }
    KeptStateFault why = KeptStateFault::kNone;
    DeepScanState back;
    EXPECT_EQ(ReadDeepScanState(dir.path(), &back, &why), platform::kErrorInvalidData) << other;
    EXPECT_EQ(why, KeptStateFault::kUnreadable) << other;
  }
}

// Every field is checked against the volume it is to continue on.
TEST(DeepScanStateTest, AStateThatDoesNotFitItsVolumeIsRefused) {
  DeepScanState good;
  good.sectorBytes = 512;
  good.volumeStart = 2048;
  good.sectorCount = 4096;
  good.extents = {{0, 100}, {200, 50}, {4000, 96}};
  good.extentIndex = 1;
  good.extentDone = 10;
  good.sectorsDone = 110;
  good.unreadableSectors = 2;
  good.skipUntil = 2048 + 205;
  good.replayEntries = 7;
  ASSERT_EQ(CheckDeepScanState(good, 512, 2048, 4096), KeptStateFault::kNone);
  EXPECT_EQ(CheckDeepScanState(good, 4096, 2048, 4096), KeptStateFault::kOtherVolume);
  EXPECT_EQ(CheckDeepScanState(good, 512, 0, 4096), KeptStateFault::kOtherVolume);
  EXPECT_EQ(CheckDeepScanState(good, 512, 2048, 4095), KeptStateFault::kOtherVolume);
  const struct {
    const char* what;
    std::function<void(DeepScanState&)> change;
    KeptStateFault fault;
  } cases[] = {
      {"an extent past the end", [](DeepScanState& s) { s.extents[2].count = 97; }, KeptStateFault::kOutside},
      {"an extent starting past the end",
       [](DeepScanState& s) {
         s.extents[2] = {4096, 1};
       },
       KeptStateFault::kOutside},
      {"an extent wrapping to sector 0",
       [](DeepScanState& s) {
         s.extents[2] = {~uint64_t{0} - 10, 20};
       },
       KeptStateFault::kOutside},
      {"an extent of 2^32 sectors", [](DeepScanState& s) { s.extents[2].count = uint64_t{1} << 32; },
       KeptStateFault::kOutside},
      {"extents out of order", [](DeepScanState& s) { std::swap(s.extents[0], s.extents[1]); },
       KeptStateFault::kOutside},
      {"extents overlapping", [](DeepScanState& s) { s.extents[1].start = 99; }, KeptStateFault::kOutside},
      {"an empty extent", [](DeepScanState& s) { s.extents[1].count = 0; }, KeptStateFault::kOutside},
      {"the extent index past the list", [](DeepScanState& s) { s.extentIndex = 4; }, KeptStateFault::kOutside},
      {"done past its extent", [](DeepScanState& s) { s.extentDone = 51; }, KeptStateFault::kOutside},
      {"done after the last extent", [](DeepScanState& s) { s.extentIndex = 3; }, KeptStateFault::kOutside},
      {"finished half-way", [](DeepScanState& s) { s.finished = true; }, KeptStateFault::kOutside},
      {"a skip before the volume", [](DeepScanState& s) { s.skipUntil = 5; }, KeptStateFault::kOutside},
      {"a skip past the volume", [](DeepScanState& s) { s.skipUntil = 2048 + 4097; }, KeptStateFault::kOutside},
      {"more sectors done than there are", [](DeepScanState& s) { s.sectorsDone = 247; }, KeptStateFault::kOutside},
      {"more unreadable than read", [](DeepScanState& s) { s.unreadableSectors = uint64_t{1} << 62; },
       KeptStateFault::kOutside},
      {"more replay entries than sectors", [](DeepScanState& s) { s.replayEntries = 4097; }, KeptStateFault::kReplay},
      {"a fast status no system has", [](DeepScanState& s) { s.fastStatus = -5; }, KeptStateFault::kDamaged},
  };
  for (const auto& c : cases) {
    DeepScanState bad = good;
    c.change(bad);
    EXPECT_EQ(CheckDeepScanState(bad, 512, 2048, 4096), c.fault) << c.what;
  }
  DeepScanState done = good;
  done.extentIndex = 3;
  done.extentDone = 0;
  done.finished = true;
  EXPECT_EQ(CheckDeepScanState(done, 512, 2048, 4096), KeptStateFault::kNone);
}

TEST(DeepScanStateTest, ReplayRunsMustRiseInsideTheVolume) {
  auto fits = [](std::vector<ReplayRun> runs) {
    return ReplayLog::RunsFit(runs, 2048, 4096, [](ReplayKind k) { return k == ReplayKind::kNtfsRecord ? 2u : 1u; });
  };
  constexpr uint8_t kNtfs = 1;
  constexpr uint8_t kFat = 3;
  EXPECT_TRUE(fits({}));
  EXPECT_TRUE(fits({{2048, 10, kFat, 1}, {2060, 5, kNtfs, 2}, {6142, 1, kNtfs, 1}}));
  EXPECT_TRUE(fits({{6143, 1, kFat, 1}}));
  EXPECT_FALSE(fits({{2047, 1, kFat, 1}}));                      // before the volume
  EXPECT_FALSE(fits({{6144, 1, kFat, 1}}));                      // past it
  EXPECT_FALSE(fits({{6143, 1, kNtfs, 1}}));                     // a record cut by its end
  EXPECT_FALSE(fits({{2048, 0xFFFFFFFFu, kFat, 1}}));            // a huge count
  EXPECT_FALSE(fits({{~uint64_t{0} - 3, 8, kFat, 1}}));          // wrapping round to sector 0
  EXPECT_FALSE(fits({{3000, 1, kFat, 1}, {2500, 1, kFat, 1}}));  // out of order
  EXPECT_FALSE(fits({{3000, 2, kFat, 1}, {3001, 1, kFat, 1}}));  // the same sector twice
  EXPECT_FALSE(fits({{3000, 3, kNtfs, 1}}));                     // records overlapping
  EXPECT_FALSE(fits({{3000, 1, 0, 1}}));                         // no kind
}

TEST(DeepScanStateTest, TheReplayLogKeepsOrderRunsAndOnlyWhatWasCounted) {
  testing_support::TempDir dir;
  uint64_t hashOfFour = 0;
  {
    ReplayLog log;
    ASSERT_EQ(log.Open(dir.path(), 0), kStatusOk);
    for (uint64_t s = 100; s < 110; s += 2) log.Add(ReplayKind::kNtfsRecord, s, 2);  // one run
    log.Add(ReplayKind::kFatDirectoryStart, 500, 1);
    log.Add(ReplayKind::kFatDirectorySector, 501, 1);
    log.Add(ReplayKind::kFatDirectorySector, 502, 1);
    log.Add(ReplayKind::kNtfsRecord, 110, 2);  // not after the FAT sectors: a run of its own
    ASSERT_EQ(log.Close(), kStatusOk);
    EXPECT_EQ(log.Entries(), 4u);
    hashOfFour = log.Hash();
  }
  std::vector<ReplayRun> runs;
  ASSERT_EQ(ReplayLog::Read(dir.path(), 4, hashOfFour, &runs), kStatusOk);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0].sector, 100u);
  EXPECT_EQ(runs[0].count, 5u);
  EXPECT_EQ(runs[0].step, 2u);
  EXPECT_EQ(runs[2].count, 2u);
  EXPECT_EQ(runs[3].sector, 110u);
  EXPECT_EQ(ReplayLog::Read(dir.path(), 4, hashOfFour ^ 1, &runs), platform::kErrorInvalidData);
  // Continuing keeps the counted entries and drops what lies past them.
  uint64_t hashOfTwo = 0;  // of the first two entries, written alone elsewhere
  {
    testing_support::TempDir other;
    ReplayLog log;
    ASSERT_EQ(log.Open(other.path(), 0), kStatusOk);
    for (uint64_t s = 100; s < 110; s += 2) log.Add(ReplayKind::kNtfsRecord, s, 2);
    log.Add(ReplayKind::kFatDirectoryStart, 500, 1);
    ASSERT_EQ(log.Close(), kStatusOk);
    hashOfTwo = log.Hash();
  }
  uint64_t hashOfThree = 0;
  {
    ReplayLog log;
    ASSERT_EQ(log.Open(dir.path(), 2, hashOfTwo), kStatusOk);
    log.Add(ReplayKind::kFatDirectoryStart, 900, 1);
    ASSERT_EQ(log.Close(), kStatusOk);
    hashOfThree = log.Hash();
  }
  ASSERT_EQ(ReplayLog::Read(dir.path(), 3, hashOfThree, &runs), kStatusOk);
  EXPECT_EQ(runs[2].sector, 900u);
  EXPECT_NE(ReplayLog::Read(dir.path(), 4, hashOfThree, &runs), kStatusOk);
  ReplayLog longer;
  EXPECT_EQ(longer.Open(dir.path(), 10), platform::kErrorInvalidData);
}

}  // namespace
}  // namespace engine::deep
