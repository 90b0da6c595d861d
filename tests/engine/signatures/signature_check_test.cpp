// SPDX-License-Identifier: GPL-3.0-or-later
// MatchesExtension: whether a file's first sector still looks like its extension.
#include "engine/signatures/signature_check.h"

#include <gtest/gtest.h>

#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using deep_test::Disk;

class MatchesExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    deep_test::ResetCarveContext();
    if (deep_test::Samples().empty()) GTEST_SKIP() << "samples.tar.gz missing";
  }
  void TearDown() override { deep_test::ResetCarveContext(); }

  // The sample at sector 20 of a disk; answers for its first sector.
  int32_t Check(const std::string& sampleName, std::string_view extension, bool overwrite = false,
                uint32_t sectorSize = 512) {
    const std::vector<uint8_t>* sample = deep_test::Sample(sampleName);
    EXPECT_NE(sample, nullptr) << sampleName;
    if (sample == nullptr) return -1;
    Disk disk(sectorSize, 20 + (sample->size() + sectorSize - 1) / sectorSize + 30);
    disk.Place(20, *sample);
    if (overwrite) std::memset(disk.At(20), 0x5A, 64);
    disk.Open(m_source);
    return engine::signatures::MatchesExtension(disk.At(20), sectorSize, extension);
  }

  storage::SectorSource m_source;
};

TEST_F(MatchesExtensionTest, IntactStartsMatchTheirExtensions) {
  const std::pair<const char*, const char*> cases[] = {
      {"jfif.jpg", "jpg"},     {"jfif.jpg", "JPEG"},      {"exif.jpg", "jpe"},     {"image.png", "png"},
      {"image.gif", "gif"},    {"image.bmp", "bmp"},      {"image.tif", "tiff"},   {"image.psd", "psd"},
      {"image.ico", "ico"},    {"video.avi", "avi"},      {"video.mp4", "mp4"},    {"video.mov", "mov"},
      {"video.3gp", "3gp"},    {"video.mkv", "mkv"},      {"video.flv", "flv"},    {"video.mpg", "vob"},
      {"video.ts", "ts"},      {"video.wmv", "wma"},      {"audio.wav", "wav"},    {"audio.mp3", "mp3"},
      {"document.doc", "doc"}, {"document.docx", "Docx"}, {"document.pdf", "pdf"}, {"sheet.xls", "xls"},
      {"sheet.xlsx", "xlsx"},  {"slides.ppt", "pps"},     {"slides.pptx", "pptx"}, {"archive.zip", "zip"},
      {"archive.7z", "7z"},    {"text.txt.gz", "gzip"},   {"archive.cab", "cab"},  {"database.sqlite", "db"},
      {"document.doc", "fla"}, {"document.docx", "zip"},
  };
  for (const auto& [sample, extension] : cases) {
    EXPECT_EQ(Check(sample, extension), 1) << sample << " as " << extension;
    EXPECT_EQ(Check(sample, extension, false, 4096), 1) << sample << " as " << extension << " (4096)";
  }
}

TEST_F(MatchesExtensionTest, OverwrittenStartsDoNot) {
  for (const auto& [sample, extension] : {std::pair{"jfif.jpg", "jpg"},
                                          {"image.png", "png"},
                                          {"document.doc", "doc"},
                                          {"sheet.xlsx", "xlsx"},
                                          {"video.ts", "ts"},
                                          {"document.pdf", "pdf"}}) {
    EXPECT_EQ(Check(sample, extension, true), 0) << sample;
  }
}

TEST_F(MatchesExtensionTest, AnyKindOfTheSameFamilyMatches) {
  // The family's magic is what the check can see; which member it is needs the directory.
  EXPECT_EQ(Check("sheet.xls", "doc"), 1);
  EXPECT_EQ(Check("document.docx", "xlsx"), 1);
  EXPECT_EQ(Check("jfif.jpg", "png"), 0);
  EXPECT_EQ(Check("image.png", "gif"), 0);
}

TEST_F(MatchesExtensionTest, ExtensionsWithoutARowAlwaysMatch) {
  EXPECT_EQ(Check("text.txt", "txt"), 1);
  EXPECT_EQ(Check("jfif.jpg", ""), 1);
  EXPECT_EQ(Check("jfif.jpg", "jpgx"), 1);
}

TEST_F(MatchesExtensionTest, OnlyTheBufferIsLookedAt) {
  // The reader and sector are no longer read: the same bytes give the same answer anywhere.
  const std::vector<uint8_t>& ts = *deep_test::Sample("video.ts");
  EXPECT_EQ(engine::signatures::MatchesExtension(ts.data(), 512, "ts"), 1);
  EXPECT_EQ(engine::signatures::MatchesExtension(ts.data() + 1, 511, "ts"), 0);
}

TEST_F(MatchesExtensionTest, NullBufferMatchesOnlyUnknownExtensions) {
  EXPECT_EQ(engine::signatures::MatchesExtension(nullptr, 0, "jpg"), 0);
  EXPECT_EQ(engine::signatures::MatchesExtension(nullptr, 0, "txt"), 1);
}

}  // namespace
