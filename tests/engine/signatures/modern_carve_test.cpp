// SPDX-License-Identifier: GPL-3.0-or-later
// The kinds phones, cameras and today's desktops write, made by their own
// tools (tests/fixtures/modern_samples.tar.gz), laid one after the other in
// a raw image with gaps of zeros, random bytes and other files between them,
// at 512- and 4096-byte boundaries: each is carved byte-exact under its own
// extension; a cut stream is carved as far as it holds and marked damaged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/signatures/carve_sector.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

const std::map<std::string, std::vector<uint8_t>>& ModernSamples() {
  static const auto samples = deep_test::ReadFixtureArchive("modern_samples.tar.gz");
  return samples;
}

struct Kind {
  const char* file;
  const char* extension;
};

constexpr Kind kKinds[] = {
    {"photo.heic", "heic"}, {"photo.avif", "avif"},   {"photo.webp", "webp"},     {"memo.m4a", "m4a"},
    {"clip.m4v", "m4v"},    {"song.flac", "flac"},    {"song.ogg", "ogg"},        {"voice.opus", "opus"},
    {"clip.webm", "webm"},  {"letter.odt", "odt"},    {"sheet.ods", "ods"},       {"letter.epub", "epub"},
    {"letter.rtf", "rtf"},  {"drawing.svg", "svg"},   {"notes.7z", "7z"},         {"notes.txt.xz", "xz"},
    {"notes.txt.bz2", "bz2"}, {"notes.txt.zst", "zst"}, {"notes.tar", "tar"},    {"letter.eml", "eml"},
    {"inbox.mbox", "mbox"},
};

std::string ExtensionOf(const char* name) {
  const std::string n = name;
  return n.substr(n.rfind('.') + 1);
}

class ModernCarveTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    deep_test::ResetCarveContext();
    if (ModernSamples().empty()) GTEST_SKIP() << "tests/fixtures/modern_samples.tar.gz is missing";
  }
};

TEST_P(ModernCarveTest, EveryKindIsCarvedByteExactWithItsExtension) {
  const uint32_t boundary = GetParam();
  const uint32_t sectorSize = 512;
  const uint64_t perBoundary = boundary / sectorSize;
  deep_test::Disk disk(sectorSize, 16);
  struct Placed {
    const Kind* kind;
    uint64_t sector;
  };
  std::vector<Placed> placed;
  uint64_t next = perBoundary;
  int gap = 0;
  for (const Kind& kind : kKinds) {
    const std::vector<uint8_t>& file = ModernSamples().at(kind.file);
    disk.Place(next, file);
    placed.push_back({&kind, next});
    next += (file.size() + boundary - 1) / boundary * perBoundary;
    // The gap: zeros, random bytes, or another kind's file cut short (text
    // ends at its first zero byte, so the cut file is followed by zeros).
    const uint64_t gapSectors = perBoundary * 2;
    disk.Place(next + gapSectors - 1, std::vector<uint8_t>(sectorSize, 0));
    if (gap % 3 == 1) disk.Random(next, next + gapSectors, static_cast<uint32_t>(next));
    if (gap % 3 == 2) {
      const std::vector<uint8_t>& other = deep_test::Samples().at("text.txt");
      disk.Place(next, other);
    }
    next += gapSectors;
    ++gap;
  }
  storage::SectorSource source;
  disk.Open(source);
  for (const Placed& p : placed) {
    SCOPED_TRACE(p.kind->file);
    const deep_test::CarveOutcome outcome = deep_test::CarveAt(disk, source, p.sector);
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.Name(), std::to_string(p.sector) + "." + p.kind->extension);
    EXPECT_EQ(outcome.file.size, ModernSamples().at(p.kind->file).size());
    EXPECT_FALSE(outcome.file.damaged);
  }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, ModernCarveTest, ::testing::Values(512u, 4096u));

// Streams cut in the middle, random bytes after the cut, are carved as far
// as they hold and marked damaged.
TEST(ModernCarveCut, CutStreamsAreDamaged) {
  for (const char* name : {"song.ogg", "voice.opus", "song.flac", "notes.tar"}) {
    SCOPED_TRACE(name);
    deep_test::ResetCarveContext();
    const std::vector<uint8_t>& file = ModernSamples().at(name);
    deep_test::Disk disk(512, 256);
    disk.Random(0, 256);
    disk.Place(8, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() / 2)));
    storage::SectorSource source;
    disk.Open(source);
    const deep_test::CarveOutcome outcome = deep_test::CarveAt(disk, source, 8);
    ASSERT_EQ(outcome.status, 0);
    EXPECT_TRUE(outcome.file.damaged);
    EXPECT_LT(outcome.file.size, file.size());
    EXPECT_EQ(outcome.Name(), "8." + ExtensionOf(name));
  }
}

// Carved photos, videos, songs, documents and mail are named and dated by
// their own metadata.
TEST(ModernCarveNames, CarvedFilesAreNamedByTheirOwnMetadata) {
  struct Named {
    const char* file;
    const char* name;  // expected metadata name
    bool hasTime;
  };
  static constexpr Named kNamed[] = {
      {"photo.heic", "2025-07-14 18.22.05 Pixel 8 Pro.heic", true},
      {"clip.m4v", "2025-07-14 18.22.05.m4v", true},
      {"memo.m4a", "Quellmoor voice memo.m4a", false},
      {"song.flac", "Quellmoor song.flac", false},
      {"letter.odt", "Quellmoor letter.odt", false},
      {"letter.epub", "Quellmoor letter.epub", false},
      {"letter.eml", "2025-07-14 18.22.01 Holiday photos 1.eml", true},
      {"inbox.mbox", "2025-07-14 18.22.02 Holiday photos 2.mbox", true},
  };
  for (const Named& n : kNamed) {
    SCOPED_TRACE(n.file);
    deep_test::ResetCarveContext();
    deep_test::Disk disk(512, 8);
    disk.Place(2, ModernSamples().at(n.file));
    storage::SectorSource source;
    disk.Open(source);
    const deep_test::CarveOutcome outcome = deep_test::CarveAt(disk, source, 2);
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(std::string(outcome.file.metadataName.data()), n.name);
    EXPECT_EQ(outcome.file.hasTime, n.hasTime);
  }
  // 2025-07-14 18:22:05 is 1752517325 seconds after 1970.
  deep_test::ResetCarveContext();
  deep_test::Disk disk(512, 8);
  disk.Place(2, ModernSamples().at("photo.heic"));
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).file.unixSeconds, 1752517325);
}

}  // namespace
