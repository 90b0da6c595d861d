// SPDX-License-Identifier: GPL-3.0-or-later
// Photos the pane cannot draw as they are (HEIC, AVIF, WebP, made by
// heif-enc, avifenc and cwebp) become a PNG picture through their decoders.
#include <gtest/gtest.h>

#include "jobs/document_converter.h"
#include "jobs/picture_converter.h"
#include "jobs/preview_product.h"
#include "platform/folders.h"
#include "tests/jobs/preview_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

TEST(PictureConverter, HeifAvifAndWebpBecomePictures) {
  testing_support::ScopedDataHome home;
  testing_support::TempDir dir;
  std::string out;
  ASSERT_EQ(
      testing_support::RunCommand(
          "tar -xzf '" + testing_support::FixturePath("modern_samples.tar.gz") + "' -C '" + dir.path() + "'", &out),
      0);
  const PreviewTools tools = DefaultPreviewTools();
  struct Case {
    const char* file;
    const char* program;
  };
  for (const Case& c :
       {Case{"photo.heic", "heif-convert"}, Case{"photo.avif", "heif-convert"}, Case{"photo.webp", "dwebp"}}) {
    SCOPED_TRACE(c.file);
    if (!testing::HaveProgram(c.program)) continue;
    PreviewRecord record;
    ClassifyForPreview(c.file, &record);
    ASSERT_EQ(record.converter, ConverterKind::kPicture);
    CToolRunner runner(tools, [] { return false; });
    const std::string extension = std::string(c.file).substr(std::string(c.file).rfind('.') + 1);
    auto converter = MakeConverter(ConverterKind::kPicture, runner, extension);
    ConversionOutput output;
    ASSERT_EQ(converter->Convert(dir.path() + "modern_samples/" + c.file, &output), 0) << output.problem;
    EXPECT_EQ(output.picturePath, testing_support::SessionFile("tmp.jpg"));
    const auto picture = testing_support::ReadFileBytes(output.picturePath);
    ASSERT_GE(picture.size(), 8u);
    EXPECT_EQ(std::string(picture.begin() + 1, picture.begin() + 4), "PNG");
  }
  // A file that is no such picture is a failure the pane shows as a dump.
  if (testing::HaveProgram("dwebp")) {
    CToolRunner runner(tools, [] { return false; });
    auto converter = MakeConverter(ConverterKind::kPicture, runner, "webp");
    ConversionOutput output;
    EXPECT_NE(converter->Convert(dir.path() + "modern_samples/letter.rtf", &output), 0);
    EXPECT_TRUE(output.picturePath.empty());
  }
}

// Only whole extensions of the lists are converted: a C source or an AVI video is no RAW or AVIF photo.
TEST(PictureConverter, OnlyThePhotoKindsItDecodes) {
  for (const char* extension : {"heic", "HEIF", "avif", "webp", "cr2", "NEF", "dng"}) {
    EXPECT_TRUE(NeedsPictureConversion(extension)) << extension;
  }
  for (const char* extension : {"c", "h", "avi", "r", "ic", "web", "cr", "", "jpg"}) {
    EXPECT_FALSE(NeedsPictureConversion(extension)) << extension;
  }
  PreviewRecord source;
  ClassifyForPreview("main.c", &source);
  EXPECT_NE(source.converter, ConverterKind::kPicture);
}

}  // namespace
}  // namespace jobs
