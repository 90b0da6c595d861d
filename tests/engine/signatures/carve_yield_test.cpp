// SPDX-License-Identifier: GPL-3.0-or-later
// Carving yield over real files: the corpus laid out between random filler
// and scanned as the signature scanner does; each file must come out whole
// and exactly as long as it is. Random bytes and zeros carve nothing.
#include <gtest/gtest.h>

#include <cstdio>

#include "engine/signatures/signature_check.h"
#include "tests/engine/signatures/carve_corpus.h"
#include "tests/support/test_support.h"

namespace {

using engine::signatures::StartVerdict;

const std::vector<carve_corpus::CorpusFile>& Corpus() {
  static const std::vector<carve_corpus::CorpusFile> corpus =
      carve_corpus::LoadCorpus(testing_support::FixturePath("carve_corpus.tar.gz"));
  return corpus;
}

std::string Extension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

TEST(CarveYield, RealFilesAreCarvedByteExact) {
  const auto& corpus = Corpus();
  if (corpus.empty()) GTEST_SKIP() << "tests/fixtures/carve_corpus.tar.gz is missing";
  ASSERT_EQ(corpus.size(), 70u);
  const carve_corpus::Image image = carve_corpus::LayOut(corpus, 2024);
  int32_t status = 0;
  const auto carves = carve_corpus::Scan(image.bytes, 512, &status);
  EXPECT_EQ(status, 0);
  const carve_corpus::Yield yield = carve_corpus::Measure(corpus, image, carves);
  carve_corpus::Print(yield, stdout);
  EXPECT_GE(yield.exact, 66);
}

TEST(CarveYield, RandomBytesAndZerosCarveNothing) {
  std::vector<uint8_t> bytes(size_t{48} << 20);
  std::mt19937_64 rng(99);
  carve_corpus::FillRandom(bytes.data(), bytes.size(), rng);
  for (const carve_corpus::Carve& carve : carve_corpus::Scan(bytes, 512)) {
    ADD_FAILURE() << "false hit at sector " << carve.sector << ": code " << static_cast<int>(carve.code) << ", "
                  << carve.size << " bytes";
  }
  std::vector<uint8_t> zeros(size_t{32} << 20, 0);
  EXPECT_TRUE(carve_corpus::Scan(zeros, 512).empty());
}

TEST(PlausibleStart, EveryRealFileIsAPlausibleStartOfItsKind) {
  const auto& corpus = Corpus();
  if (corpus.empty()) GTEST_SKIP() << "tests/fixtures/carve_corpus.tar.gz is missing";
  for (const carve_corpus::CorpusFile& file : corpus) {
    const std::string extension = Extension(file.name);
    // Package formats without a row of their own are checked as what they are.
    const std::string checked = extension == "odt" || extension == "ods" || extension == "odp" ? "zip"
                                : extension == "m2ts"                                          ? "mts"
                                : extension == "webm"                                          ? "mkv"
                                : extension == "m4a"                                           ? "mp4"
                                : extension == "sqlite"                                        ? "db"
                                                                                               : extension;
    const size_t sector = std::min<size_t>(file.bytes.size(), 512);
    EXPECT_EQ(engine::signatures::CheckPlausibleStart(file.bytes.data(), sector, checked), StartVerdict::kPlausible)
        << file.name;
    // The family's other extensions accept it too (jpeg, tiff, gzip...).
    EXPECT_EQ(engine::signatures::MatchesExtension(file.bytes.data(), sector, file.kind, nullptr, 512, 0), 1)
        << file.name << " as " << file.kind;
  }
}

TEST(PlausibleStart, OtherKindsZerosAndTextAreNoPhotos) {
  const auto& corpus = Corpus();
  if (corpus.empty()) GTEST_SKIP() << "tests/fixtures/carve_corpus.tar.gz is missing";
  const std::vector<uint8_t> zeros(512, 0);
  const std::string text = "Dear reader, this sector holds plain text and nothing else at all.\n";
  for (const char* photo : {"jpg", "jpeg", "jpe", "jfif", "png", "gif", "bmp", "dib", "tif", "tiff", "psd", "ico"}) {
    EXPECT_EQ(engine::signatures::CheckPlausibleStart(zeros.data(), zeros.size(), photo), StartVerdict::kImplausible);
    EXPECT_EQ(
        engine::signatures::CheckPlausibleStart(reinterpret_cast<const uint8_t*>(text.data()), text.size(), photo),
        StartVerdict::kImplausible);
    for (const carve_corpus::CorpusFile& file : corpus) {
      const auto row = engine::signatures::RowOfExtension(photo);
      const auto code = engine::signatures::FileSignatureTable()[static_cast<size_t>(row)].code;
      const auto fileRow = engine::signatures::RowOfExtension(file.kind);
      if (fileRow >= 0 && engine::signatures::FileSignatureTable()[static_cast<size_t>(fileRow)].code == code) continue;
      EXPECT_EQ(
          engine::signatures::CheckPlausibleStart(file.bytes.data(), std::min<size_t>(512, file.bytes.size()), photo),
          StartVerdict::kImplausible)
          << file.name << " as " << photo;
    }
  }
}

TEST(PlausibleStart, EveryExtensionOfTheTableHasARule) {
  const std::vector<uint8_t> zeros(4096, 0);
  for (const auto& row : engine::signatures::FileSignatureTable()) {
    EXPECT_EQ(engine::signatures::CheckPlausibleStart(zeros.data(), zeros.size(), row.extension),
              StartVerdict::kImplausible)
        << row.extension;
  }
  EXPECT_EQ(engine::signatures::CheckPlausibleStart(zeros.data(), zeros.size(), "txt"), StartVerdict::kNoRule);
  EXPECT_EQ(engine::signatures::CheckPlausibleStart(nullptr, 100, "JPG"), StartVerdict::kImplausible);
  EXPECT_EQ(engine::signatures::CheckPlausibleStart(nullptr, 0, "txt"), StartVerdict::kNoRule);
}

TEST(PlausibleStart, StartsTheNarrowCarvingRulesRefuse) {
  const auto check = [](std::initializer_list<uint8_t> bytes, const char* extension) {
    const std::vector<uint8_t> v(bytes);
    return engine::signatures::CheckPlausibleStart(v.data(), v.size(), extension);
  };
  // A JPEG may begin with any marker; FF D8 FF followed by data is no JPEG.
  for (const uint8_t marker : {0xDB, 0xE2, 0xED, 0xEE, 0xC4, 0xFE}) {
    EXPECT_EQ(check({0xFF, 0xD8, 0xFF, marker, 0x00, 0x10}, "jpg"), StartVerdict::kPlausible) << int{marker};
  }
  EXPECT_EQ(check({0xFF, 0xD8, 0xFF, 0x12, 0x00, 0x10}, "jpg"), StartVerdict::kImplausible);
  // BMP header sizes 12 to 124; an unknown one is no bitmap.
  for (const uint8_t size : {12, 40, 52, 56, 64, 108, 124}) {
    EXPECT_EQ(check({'B', 'M', 1, 2, 3, 4, 0, 0, 0, 0, 0x8A, 0, 0, 0, size, 0, 0, 0}, "bmp"), StartVerdict::kPlausible);
  }
  EXPECT_EQ(check({'B', 'M', 1, 2, 3, 4, 0, 0, 0, 0, 0x8A, 0, 0, 0, 41, 0, 0, 0}, "bmp"), StartVerdict::kImplausible);
  // gzip with XFL 0 and a Unix OS byte; reserved flag bits set are refused.
  EXPECT_EQ(check({0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03}, "gz"), StartVerdict::kPlausible);
  EXPECT_EQ(check({0x1F, 0x8B, 0x08, 0x20, 0, 0, 0, 0, 0x00, 0x03}, "gz"), StartVerdict::kImplausible);
  // MPEG audio without a tag: a layer III frame header.
  EXPECT_EQ(check({0xFF, 0xFB, 0x90, 0x64}, "mp3"), StartVerdict::kPlausible);
  EXPECT_EQ(check({0xFF, 0xFF, 0xFF, 0xFF}, "mp3"), StartVerdict::kImplausible);
  // ISO media may begin with any top-level box.
  EXPECT_EQ(check({0, 0, 0, 8, 'm', 'd', 'a', 't'}, "mov"), StartVerdict::kPlausible);
  EXPECT_EQ(check({0, 0, 0, 8, 'w', 'i', 'd', 'e'}, "mp4"), StartVerdict::kPlausible);
  EXPECT_EQ(check({0, 0, 0, 8, 'x', 'x', 'x', 'x'}, "3gp"), StartVerdict::kImplausible);
  // Big-endian TIFF.
  EXPECT_EQ(check({'M', 'M', 0, 42, 0, 0, 0, 8}, "tiff"), StartVerdict::kPlausible);
}

}  // namespace
