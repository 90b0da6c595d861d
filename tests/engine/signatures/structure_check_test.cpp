// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/structure_check.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using engine::signatures::CheckFileStructure;
using engine::signatures::StructureVerdict;

const std::map<std::string, std::vector<uint8_t>>& StructureSamples() {
  static const auto samples = deep_test::ReadFixtureArchive("structure_samples.tar.gz");
  return samples;
}

// The verdict on bytes presented as a file of their own, in sectors of sectorSize.
StructureVerdict Check(const std::vector<uint8_t>& file, const std::string& extension, uint32_t sectorSize = 512) {
  std::vector<uint8_t> padded(file);
  padded.resize((file.size() + sectorSize - 1) / sectorSize * sectorSize, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, std::move(padded));
  return CheckFileStructure(source, sectorSize, file.size(), extension);
}

std::string ExtensionOf(const std::string& name) {
  return name.substr(name.rfind('.') + 1);
}

struct Sample {
  const char* name;
  const char* donor;  // another file whose bytes stand in for a foreign cluster
  bool payload;       // the check reads the payload too (a foreign cluster anywhere breaks it)
  bool cutTells;      // a cut file breaks the structure (a transport stream cut at a packet still holds)
};

// Every sample of make_structure_samples.sh; the donors are files of the same
// family where there is one, the hardest foreign bytes to tell apart.
constexpr Sample kSamples[] = {
    {"camera.jpg", "progressive.jpg", true, true}, {"progressive.jpg", "camera.jpg", true, true},
    {"picture.png", "camera.jpg", true, true},     {"archive.zip", "report.odt", true, true},
    {"report.docx", "report.odt", true, true},     {"report.odt", "report.docx", true, true},
    {"table.xlsx", "report.docx", true, true},     {"video.ts", "video.m2ts", true, false},
    {"video.m2ts", "video.ts", true, false},        {"audio.mp3", "tagged.mp3", true, true},
    {"tagged.mp3", "audio.mp3", true, true},       {"video.avi", "video.mp4", false, true},
    {"audio.wav", "video.avi", false, true},       {"video.mp4", "video.mov", false, true},
    {"video.mov", "video.mp4", false, true},       {"audio.m4a", "audio.mp3", false, true},
};

TEST(StructureCheck, RealFilesAreConsistentAndForeignClustersBreakThem) {
  ASSERT_EQ(StructureSamples().size(), std::size(kSamples));
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.name);
    const std::vector<uint8_t>& file = StructureSamples().at(s.name);
    const std::vector<uint8_t>& donor = StructureSamples().at(s.donor);
    const std::string extension = ExtensionOf(s.name);
    EXPECT_EQ(Check(file, extension, 512), StructureVerdict::kConsistent);
    EXPECT_EQ(Check(file, extension, 4096), StructureVerdict::kConsistent);
    // Cut in the middle.
    if (s.cutTells) {
      const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() / 2 + 1));
      EXPECT_EQ(Check(cut, extension), StructureVerdict::kBroken);
    }
    // One 4 KiB cluster of foreign bytes: first, second, in the middle, last but one, last.
    constexpr size_t kCluster = 4096;
    const size_t last = (file.size() - 1) / kCluster;
    std::set<size_t> where = {0};
    if (s.payload) where.insert({1, last / 2, last - 1, last});
    for (const size_t index : where) {
      SCOPED_TRACE("foreign cluster at " + std::to_string(index * kCluster));
      std::vector<uint8_t> patched = file;
      for (size_t i = index * kCluster; i < (index + 1) * kCluster && i < patched.size(); ++i) {
        patched[i] = donor[i % donor.size()];
      }
      EXPECT_EQ(Check(patched, extension, 4096), StructureVerdict::kBroken);
    }
  }
}

TEST(StructureCheck, KindsWithoutACheckAndFilesAboveTheLimitAreNotJudged) {
  const std::vector<uint8_t>& jpeg = StructureSamples().at("camera.jpg");
  EXPECT_EQ(Check(jpeg, "txt"), StructureVerdict::kNoCheck);
  EXPECT_EQ(engine::signatures::StructureCheckLimit("txt"), 0u);
  EXPECT_EQ(engine::signatures::StructureCheckLimit("MOV"), engine::signatures::kUnlimitedCheckBytes);
  // A foreign file above the decode limit is not judged on its first bytes.
  storage::SectorSource source;
  storage::OpenMemorySource(source, std::vector<uint8_t>(1 << 20, 0));
  EXPECT_EQ(CheckFileStructure(source, 512, engine::signatures::kMaxCheckedFileBytes + 1, "jpg"),
            StructureVerdict::kNoCheck);
}

}  // namespace
