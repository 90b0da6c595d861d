// SPDX-License-Identifier: GPL-3.0-or-later
// Compound documents (doc, xls, ppt, ole) and ZIP packages (docx, xlsx, pptx, zip):
// which kind a start is, and how the compound header measures the file.
#include <gtest/gtest.h>

#include "engine/byte_view.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using deep_test::Disk;
using engine::signatures::FileTypeCode;
using C = FileTypeCode;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A ZIP local file header for `name` followed by dataBytes stored bytes.
std::vector<uint8_t> LocalMember(const std::string& name, size_t dataBytes) {
  std::vector<uint8_t> m(30, 0);
  std::memcpy(m.data(), "PK\x03\x04", 4);
  Put16(m, 4, 20);
  Put32(m, 18, static_cast<uint32_t>(dataBytes));
  Put32(m, 22, static_cast<uint32_t>(dataBytes));
  Put16(m, 26, static_cast<uint16_t>(name.size()));
  m.insert(m.end(), name.begin(), name.end());
  m.insert(m.end(), dataBytes, 'd');
  return m;
}

std::vector<uint8_t> CentralMember(const std::string& name) {
  std::vector<uint8_t> m(46, 0);
  std::memcpy(m.data(), "PK\x01\x02", 4);
  Put16(m, 28, static_cast<uint16_t>(name.size()));
  m.insert(m.end(), name.begin(), name.end());
  return m;
}

std::vector<uint8_t> EndOfDirectory() {
  std::vector<uint8_t> m(22, 0);
  std::memcpy(m.data(), "PK\x05\x06", 4);
  return m;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class OfficeDetectionTest : public ::testing::Test {
 protected:
  void SetUp() override { deep_test::ResetCarveContext(); }

  deep_test::CarveOutcome CarveFile(const std::vector<uint8_t>& file, uint32_t sectorSize = 512,
                                    storage::MemorySourceOptions options = {}) {
    const uint64_t at = 3;
    const uint64_t sectors = (file.size() + sectorSize - 1) / sectorSize;
    m_disk = std::make_unique<Disk>(sectorSize, at + sectors + 8);
    m_disk->Random(0, at);
    m_disk->Place(at, file);
    m_end = at + sectors + 4;
    m_disk->Place(m_end, deep_test::BootSector(sectorSize));
    m_disk->Open(m_source, std::move(options));
    return deep_test::CarveAt(*m_disk, m_source, at);
  }
  uint64_t NextStartSize(uint32_t sectorSize = 512) const { return (m_end - 3) * sectorSize; }

  std::unique_ptr<Disk> m_disk;
  storage::SectorSource m_source;
  uint64_t m_end = 0;
};

// --- ZIP packages: the first member that names a Word, Excel or PowerPoint part decides.

TEST_F(OfficeDetectionTest, ZipIsTypedByItsFirstOfficeMember) {
  struct Case {
    const char* member;
    C code;
    const char* extension;
  } cases[] = {
      {"notes.txt", C::kZip, "zip"},
      {"word/document.xml", C::kDocx, "docx"},
      {"WORD/document.xml", C::kDocx, "docx"},
      {"xl/workbook.xml", C::kXlsx, "xlsx"},
      {"ppt/presentation.xml", C::kPptx, "pptx"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    const auto zip = Concat({LocalMember(c.member, 100), CentralMember(c.member), EndOfDirectory()});
    const deep_test::CarveOutcome out = CarveFile(zip);
    EXPECT_EQ(out.file.code, c.code);
    EXPECT_EQ(out.Name(), std::string("3.") + c.extension);
    EXPECT_EQ(out.file.size, zip.size());
  }
}

TEST_F(OfficeDetectionTest, CentralDirectoryNamesCountToo) {
  const auto zip = Concat({LocalMember("a.txt", 20), CentralMember("ppt/slides/slide1.xml"), EndOfDirectory()});
  EXPECT_EQ(CarveFile(zip).file.code, C::kPptx);
}

TEST_F(OfficeDetectionTest, MembersBeyondTwentySectorsAreNotLookedAt) {
  const auto zip = Concat({LocalMember("big.bin", 20 * 512), LocalMember("word/document.xml", 10), EndOfDirectory()});
  const deep_test::CarveOutcome out = CarveFile(zip);
  EXPECT_EQ(out.file.code, C::kZip);
  EXPECT_EQ(out.file.size, zip.size());
}

TEST_F(OfficeDetectionTest, MembersAfterTheEndOfTheDirectoryAreNotLookedAt) {
  const auto zip = Concat({LocalMember("a.txt", 10), EndOfDirectory(), LocalMember("word/document.xml", 10)});
  EXPECT_EQ(CarveFile(zip).file.code, C::kZip);
}

TEST_F(OfficeDetectionTest, SmallZipEndsAtItsOwnEndOfDirectory) {
  const auto zip = Concat({LocalMember("a.txt", 10), CentralMember("a.txt"), EndOfDirectory()});
  ASSERT_LT(zip.size(), 512u);
  EXPECT_EQ(CarveFile(zip).file.size, zip.size());
}

TEST_F(OfficeDetectionTest, ZipWithoutAnyEndRecordRunsToTheNextStart) {
  const auto zip = LocalMember("data.bin", 3000);
  const uint64_t size = CarveFile(zip).file.size;
  EXPECT_EQ(size, NextStartSize());
}

// --- Compound documents.

TEST_F(OfficeDetectionTest, WordStreamRightAfterTheHeaderMakesADoc) {
  const std::vector<uint8_t>* xls = deep_test::Sample("sheet.xls");
  if (xls == nullptr) GTEST_SKIP() << "sheet.xls missing";
  std::vector<uint8_t> file = *xls;
  Put16(file, 512, 0xA5EC);
  const deep_test::CarveOutcome out = CarveFile(file);
  EXPECT_EQ(out.file.code, C::kDoc);
  EXPECT_EQ(out.Name(), "3.doc");
}

TEST_F(OfficeDetectionTest, WorkbookRecordRightAfterTheHeaderMakesAnXls) {
  const std::vector<uint8_t>* doc = deep_test::Sample("document.doc");
  if (doc == nullptr) GTEST_SKIP() << "document.doc missing";
  std::vector<uint8_t> file = *doc;
  Put16(file, 512, 0x0809);
  Put16(file, 514, 0x0010);
  Put16(file, 516, 0x0600);
  EXPECT_EQ(CarveFile(file).file.code, C::kXls);
}

// The xls sample's first directory sector: the root entry (Excel class id)
// and the "Workbook" stream.
std::vector<uint8_t> XlsWithoutClassId(const std::vector<uint8_t>& xls, size_t* directory) {
  std::vector<uint8_t> file = xls;
  *directory = (engine::ByteView(file.data(), file.size()).U32(0x30) + 1) * 512;
  std::fill(file.begin() + static_cast<std::ptrdiff_t>(*directory + 0x50),
            file.begin() + static_cast<std::ptrdiff_t>(*directory + 0x60), 0);
  return file;
}

TEST_F(OfficeDetectionTest, StreamNameDecidesWhenTheClassIsUnknown) {
  const std::vector<uint8_t>* xls = deep_test::Sample("sheet.xls");
  if (xls == nullptr) GTEST_SKIP() << "sheet.xls missing";
  size_t directory = 0;
  std::vector<uint8_t> file = XlsWithoutClassId(*xls, &directory);
  EXPECT_EQ(CarveFile(file).file.code, C::kXls);
  for (size_t e = directory; e < directory + 512; e += 128) {
    if (file[e] == 'W' && file[e + 2] == 'o') file[e + 2] = 'O';  // WOrkbook
  }
  deep_test::ResetCarveContext();
  EXPECT_EQ(CarveFile(file).file.code, C::kXls);
}

TEST_F(OfficeDetectionTest, UnknownClassAndStreamNamesMakeAnOleFile) {
  const std::vector<uint8_t>* xls = deep_test::Sample("sheet.xls");
  if (xls == nullptr) GTEST_SKIP() << "sheet.xls missing";
  size_t directory = 0;
  std::vector<uint8_t> file = XlsWithoutClassId(*xls, &directory);
  for (size_t e = directory; e < directory + 512; e += 128) {
    if (file[e] == 'W') file[e] = 'X';  // Workbook -> Xorkbook
  }
  const deep_test::CarveOutcome out = CarveFile(file);
  EXPECT_EQ(out.file.code, C::kOle);
  EXPECT_EQ(out.Name(), "3.ole");
  EXPECT_EQ(out.file.size, xls->size());
}

TEST_F(OfficeDetectionTest, UnreadableSectorAfterTheHeaderMakesAnOleFile) {
  const std::vector<uint8_t>* doc = deep_test::Sample("document.doc");
  if (doc == nullptr) GTEST_SKIP() << "document.doc missing";
  storage::MemorySourceOptions options;
  options.faultSectors = {4};
  EXPECT_EQ(CarveFile(*doc, 512, options).file.code, C::kOle);
}

// A compound file laid out by hand: header, then compound sectors 0.. as given.
std::vector<uint8_t> CompoundFile(uint32_t fatSectors, uint32_t difatSectors, uint32_t firstDifat,
                                  const std::vector<std::vector<uint8_t>>& sectors) {
  std::vector<uint8_t> f(512, 0);
  const uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(f.data(), magic, 8);
  Put16(f, 0x1A, 3);
  Put16(f, 0x1C, 0xFFFE);
  Put16(f, 0x1E, 9);
  Put16(f, 0x20, 6);
  Put32(f, 0x2C, fatSectors);
  Put32(f, 0x30, 0xFFFFFFFE);
  Put32(f, 0x44, firstDifat);
  Put32(f, 0x48, difatSectors);
  for (size_t at = 0x4C; at < 512; at += 4) Put32(f, at, 0xFFFFFFFF);
  for (const auto& s : sectors) f.insert(f.end(), s.begin(), s.end());
  return f;
}

std::vector<uint8_t> Entries(std::initializer_list<std::pair<size_t, uint32_t>> values, uint32_t fill) {
  std::vector<uint8_t> s(512, 0);
  for (size_t at = 0; at < 512; at += 4) Put32(s, at, fill);
  for (auto [index, value] : values) Put32(s, index * 4, value);
  return s;
}

TEST_F(OfficeDetectionTest, HeaderSizeFollowsTheDifatChainToTheLastFatSector) {
  // 110 FAT sectors: 109 in the header, the last one named by entry 0 of
  // DIFAT sector 0; FAT sector 1 is the last, with 100 free entries at its end.
  std::vector<uint8_t> fat(512, 0);
  for (size_t i = 0; i < 128; ++i) Put32(fat, i * 4, i < 28 ? 0xFFFFFFFE : 0xFFFFFFFF);
  auto file = CompoundFile(110, 1, 0, {Entries({{0, 1}, {127, 0xFFFFFFFE}}, 0xFFFFFFFF), fat});
  const uint64_t expected = (110 * 128 + 1 - 100) * 512;
  file.resize(expected, 0);  // the volume holds the whole file
  for (uint32_t sectorSize : {512u, 4096u}) {
    SCOPED_TRACE(sectorSize);
    deep_test::ResetCarveContext();
    const deep_test::CarveOutcome out = CarveFile(file, sectorSize);
    EXPECT_EQ(out.file.code, C::kOle);
    EXPECT_EQ(out.file.size, expected);
  }
}

TEST_F(OfficeDetectionTest, BrokenDifatChainFallsBackToTheNextStart) {
  // Two DIFAT sectors announced where one is needed.
  const auto tooLong = CompoundFile(110, 2, 0, {Entries({{127, 0xFFFFFFFE}}, 0xFFFFFFFF)});
  uint64_t size = CarveFile(tooLong).file.size;
  EXPECT_EQ(size, NextStartSize());
  // The chain starts at an end-of-chain mark.
  deep_test::ResetCarveContext();
  const auto noChain = CompoundFile(110, 1, 0xFFFFFFFE, {Entries({}, 0xFFFFFFFF)});
  size = CarveFile(noChain).file.size;
  EXPECT_EQ(size, NextStartSize());
}

TEST_F(OfficeDetectionTest, HeaderFieldsOutsideTheirBoundsGiveNoHeaderSize) {
  auto header = CompoundFile(1, 0, 0xFFFFFFFE, {});
  auto size = [&](std::vector<uint8_t> h) {
    deep_test::ResetCarveContext();
    return engine::signatures::CompoundHeaderSize(deep_test::TestContext(), h.data(), h.size());
  };
  auto with = [&](size_t at, uint32_t value, bool wide) {
    std::vector<uint8_t> h = header;
    if (wide) {
      Put32(h, at, value);
    } else {
      Put16(h, at, static_cast<uint16_t>(value));
    }
    return h;
  };
  EXPECT_EQ(size(with(0x1E, 10, false)), 0u);        // sector shift neither 9 nor 12
  EXPECT_EQ(size(with(0x2C, 0, true)), 0u);          // no FAT sector
  EXPECT_EQ(size(with(0x2C, 200, true)), 0u);        // more FAT sectors than the header lists, no DIFAT
  EXPECT_EQ(size(with(0x2C, 0x3000000, true)), 0u);  // beyond the largest FAT
  EXPECT_EQ(size(with(0x40, 0x3000000, true)), 0u);  // mini-FAT beyond the largest
  EXPECT_EQ(size(with(0x48, 1, true)), 0u);          // a DIFAT with fewer than 109 FAT sectors
  std::vector<uint8_t> shortHeader(header.begin(), header.begin() + 256);
  EXPECT_EQ(size(shortHeader), 0u);
}

TEST_F(OfficeDetectionTest, HugeFatPassesTheLimitWithoutReadingItAndRejectsTheHit) {
  auto header = CompoundFile(3000, 23, 5, {});
  EXPECT_GT(engine::signatures::CompoundHeaderSize(deep_test::TestContext(), header.data(), header.size()), 0x7FFFFFFu);
  EXPECT_EQ(engine::signatures::CompoundSize(deep_test::TestContext(), header.data(), header.size()),
            engine::signatures::kRejectHit);
}

TEST_F(OfficeDetectionTest, HeaderWithoutResultFallsBackToTheOfficeSuiteMarker) {
  auto file =
      CompoundFile(0, 0, 0xFFFFFFFE,
                   {std::vector<uint8_t>(512, 0x11), std::vector<uint8_t>(512, 0x11), std::vector<uint8_t>(512, 0x11)});
  const uint8_t marker[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
  const uint8_t text[] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ',  'O',  'f',  'f',
                          'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
  std::memcpy(&file[3 * 512 + 10], marker, sizeof marker);
  std::memcpy(&file[3 * 512 + 100], text, sizeof text);
  EXPECT_EQ(CarveFile(file).file.size, 4u * 512);
}

}  // namespace
