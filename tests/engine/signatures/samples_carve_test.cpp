// SPDX-License-Identifier: GPL-3.0-or-later
// Every real sample file, placed in a disk image between other bytes, is
// recognised as its kind, named after its absolute sector and measured.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include "engine/byte_view.h"
#include "engine/signatures/file_signature_table.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using engine::signatures::FileTypeCode;
using C = FileTypeCode;

// How a sample's size comes out: its exact length, a fixed number of bytes,
// or up to the next file start (here: a boot sector placed behind it).
enum class Measure { kExact, kBytes, kNextStart };

struct SampleCase {
  const char* file;
  FileTypeCode code;
  const char* extension;
  Measure measure;
  uint64_t bytes = 0;  // for kBytes
};

const SampleCase kCases[] = {
    {"jfif.jpg", C::kJpg, "jpg", Measure::kExact},
    {"exif.jpg", C::kJpg, "jpg", Measure::kExact},
    {"image.png", C::kPng, "png", Measure::kExact},
    {"image.gif", C::kGif, "gif", Measure::kExact},
    {"image.bmp", C::kBmp, "bmp", Measure::kExact},
    {"image.tif", C::kTif, "tif", Measure::kExact},
    {"image.psd", C::kPsd, "psd", Measure::kExact},
    {"image.ico", C::kIco, "ico", Measure::kExact},
    {"video.avi", C::kAvi, "avi", Measure::kExact},
    {"video.mp4", C::kMp4, "mp4", Measure::kExact},
    {"video.mov", C::kMov, "mov", Measure::kExact},
    {"video.3gp", C::k3gp, "3gp", Measure::kExact},
    {"video.mkv", C::kMkv, "mkv", Measure::kExact},
    {"video.flv", C::kFlv, "flv", Measure::kExact},
    // A program stream without an end code ends after its last pack.
    {"video.mpg", C::kMpeg, "mpeg", Measure::kExact},
    {"video.ts", C::kTs, "ts", Measure::kExact},
    {"video.wmv", C::kWmv, "wmv", Measure::kExact},
    {"audio.wav", C::kWav, "wav", Measure::kExact},
    {"audio.mp3", C::kMp3, "mp3", Measure::kExact},
    {"document.doc", C::kDoc, "doc", Measure::kExact},
    {"document.docx", C::kDocx, "docx", Measure::kExact},
    // Ends at its last "%%EOF" and the line feed behind it.
    {"document.pdf", C::kPdf, "pdf", Measure::kExact},
    {"sheet.xls", C::kXls, "xls", Measure::kExact},
    {"sheet.xlsx", C::kXlsx, "xlsx", Measure::kExact},
    {"slides.ppt", C::kPpt, "ppt", Measure::kExact},
    {"slides.pptx", C::kPptx, "pptx", Measure::kExact},
    {"archive.zip", C::kZip, "zip", Measure::kExact},
    {"archive.7z", C::k7z, "7z", Measure::kExact},
    {"text.txt.gz", C::kGz, "gz", Measure::kExact},
    {"archive.cab", C::kCab, "cab", Measure::kExact},
    {"database.sqlite", C::kDb, "db", Measure::kExact},
    {"font.ttf", C::kTtf, "ttf", Measure::kExact},
};

struct Placement {
  uint32_t sectorSize;
  uint64_t sector;
};
void PrintTo(const Placement& p, std::ostream* os) {
  *os << "sector " << p.sector << " of " << p.sectorSize;
}

class SampleCarveTest : public ::testing::TestWithParam<Placement> {
 protected:
  void SetUp() override {
    deep_test::ResetCarveContext();
    if (deep_test::Samples().empty()) GTEST_SKIP() << "tests/fixtures/samples.tar.gz is missing";
  }
};

// The font recogniser wants the font header as the first table's data.
bool FontHeaderFirst(const std::vector<uint8_t>& font) {
  const engine::ByteView b(font.data(), font.size());
  return b.U32Be(12 + 16 * b.U16Be(4)) == 0x00010000;
}

TEST_P(SampleCarveTest, RecognisesNamesAndMeasuresEverySample) {
  const Placement place = GetParam();
  const uint32_t s = place.sectorSize;
  for (const SampleCase& c : kCases) {
    SCOPED_TRACE(c.file);
    const std::vector<uint8_t>* sample = deep_test::Sample(c.file);
    ASSERT_NE(sample, nullptr) << "sample missing from samples.tar.gz";
    if (c.code == C::kTtf && !FontHeaderFirst(*sample)) {
      std::printf("[ SKIPPED  ] %s: its first table is not the font header\n", c.file);
      continue;
    }
    const uint64_t sampleSectors = (sample->size() + s - 1) / s;
    const uint64_t end = place.sector + sampleSectors + 6;  // zero sectors follow the sample
    deep_test::Disk disk(s, end + 4);
    disk.Random(0, place.sector);
    disk.Place(place.sector, *sample);
    disk.Place(end, deep_test::BootSector(s));
    disk.Random(end + 1, end + 4, 11);
    storage::SectorSource source;
    disk.Open(source);
    deep_test::ResetCarveContext();

    const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, place.sector);
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.file.code, c.code);
    EXPECT_EQ(out.Name(), std::to_string(place.sector) + "." + c.extension);
    uint64_t expected = sample->size();
    if (c.measure == Measure::kBytes) expected = c.bytes;
    if (c.measure == Measure::kNextStart) expected = (end - place.sector) * s;
    EXPECT_EQ(out.file.size, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Placements, SampleCarveTest,
                         ::testing::Values(Placement{512, 0}, Placement{512, 37}, Placement{4096, 0},
                                           Placement{4096, 9}),
                         [](const ::testing::TestParamInfo<Placement>& info) {
                           return "Sector" + std::to_string(info.param.sector) + "Of" +
                                  std::to_string(info.param.sectorSize);
                         });

TEST(SampleCarve, PlainTextIsCarvedToItsEnd) {
  deep_test::ResetCarveContext();
  const std::vector<uint8_t>* text = deep_test::Sample("text.txt");
  if (text == nullptr) GTEST_SKIP() << "tests/fixtures/samples.tar.gz is missing";
  deep_test::Disk disk(512, 8);
  disk.Place(3, *text);
  storage::SectorSource source;
  disk.Open(source);
  const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 3);
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.file.code, C::kTxt);
  EXPECT_EQ(out.Name(), "3.txt");
  EXPECT_EQ(out.file.size, text->size());
}

}  // namespace
