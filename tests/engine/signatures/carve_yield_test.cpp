// SPDX-License-Identifier: GPL-3.0-or-later
// Carving yield over real files: the corpus laid out between random filler
// and scanned as the signature scanner does; each file must come out whole
// and exactly as long as it is. Random bytes and zeros carve nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/signatures/signature_check.h"
#include "engine/signatures/text_content.h"
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

// Carves at sector 0 of bytes; the outcome's status and size.
std::pair<int32_t, uint64_t> CarveFirst(const std::vector<uint8_t>& bytes) {
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::signatures::CarveContext context;
  context.Attach(&source, 512);
  engine::signatures::CarvedFile file;
  const int32_t status = engine::signatures::CarveSector(context, bytes.data(), 512, 0, {}, &file);
  return {status, file.size};
}

TEST(CarveYield, DamagedFilesStayWithinTheVolume) {
  // Cut short, with their middle overwritten, or with header fields changed:
  // the walks meet broken structures and must neither run past the data nor crash.
  const auto& corpus = Corpus();
  if (corpus.empty()) GTEST_SKIP() << "tests/fixtures/carve_corpus.tar.gz is missing";
  std::mt19937_64 rng(5);
  for (const carve_corpus::CorpusFile& file : corpus) {
    for (int variant = 0; variant < 4; ++variant) {
      std::vector<uint8_t> bytes((file.bytes.size() + 511) / 512 * 512 + 8 * 512);
      carve_corpus::FillRandom(bytes.data(), bytes.size(), rng);
      const size_t keep = variant == 0 ? std::max<size_t>(file.bytes.size() / 2, 512) : file.bytes.size();
      std::memcpy(bytes.data(), file.bytes.data(), std::min(keep, file.bytes.size()));
      if (variant == 1 && file.bytes.size() > 2048) {
        carve_corpus::FillRandom(bytes.data() + file.bytes.size() / 3, 1024, rng);
      }
      // Header fields (lengths, counts, offsets) changed at random; the magic stays.
      for (int flip = 0; variant >= 2 && flip < 8; ++flip) {
        bytes[8 + rng() % std::min<size_t>(248, file.bytes.size() - 8)] = static_cast<uint8_t>(rng());
      }
      const auto [status, size] = CarveFirst(bytes);
      EXPECT_TRUE(status == 0 || status == 87) << file.name;
      if (status == 0) {
        EXPECT_LE(size, bytes.size()) << file.name << " variant " << variant;
      }
    }
  }
}

TEST(CarveYield, LengthsPastTheVolumeRejectTheHit) {
  std::vector<uint8_t> bytes(size_t{1} << 20, 0x33);
  const auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); };
  // Uncompressed Flash of any version stating 150 MB on a 1 MiB volume.
  std::memcpy(bytes.data(), "FWS\x0A", 4);
  put32(4, 150u << 20);
  bytes[8] = 0x50;
  EXPECT_EQ(CarveFirst(bytes).first, 87);
  put32(4, 4000);
  EXPECT_EQ(CarveFirst(bytes), (std::pair<int32_t, uint64_t>{0, 4000}));
  // A 7z start header pointing past the end.
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  std::memcpy(bytes.data(), "7z\xBC\xAF\x27\x1C\x00\x04", 8);
  put32(12, 2u << 20);
  put32(20, 100);
  EXPECT_EQ(CarveFirst(bytes).first, 87);
  put32(12, 1000);
  EXPECT_EQ(CarveFirst(bytes), (std::pair<int32_t, uint64_t>{0, 32 + 1000 + 100}));
  // The volume may end before the source: nothing past its end is read or claimed.
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::signatures::CarveContext context;
  context.Attach(&source, 512, 2);
  engine::signatures::CarvedFile file;
  EXPECT_EQ(engine::signatures::CarveSector(context, bytes.data(), 512, 0, {}, &file), 87);
  context.Attach(&source, 512, 3);
  EXPECT_EQ(engine::signatures::CarveSector(context, bytes.data(), 512, 0, {}, &file), 0);
  EXPECT_EQ(file.size, 32u + 1000 + 100);
  EXPECT_EQ(context.EndSector(), 3u);
  EXPECT_EQ(engine::signatures::ReadContextSectors(context, 2, 4, context.WorkBuffer()), 1u);
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
    EXPECT_EQ(engine::signatures::MatchesExtension(file.bytes.data(), sector, file.kind), 1)
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
    // Text told by its content has no start rule (any bytes may begin a text).
    const StartVerdict expected = engine::signatures::IsPlainTextCode(row.code) && row.extension != "xml"
                                      ? StartVerdict::kNoRule
                                      : StartVerdict::kImplausible;
    EXPECT_EQ(engine::signatures::CheckPlausibleStart(zeros.data(), zeros.size(), row.extension), expected)
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
