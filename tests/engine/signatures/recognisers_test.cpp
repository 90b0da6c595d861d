// SPDX-License-Identifier: GPL-3.0-or-later
// Recognisers at the edges of their buffers, header-field sizes and their
// limits, and the terminators that end read-ahead.
#include "engine/signatures/recognisers.h"

#include <gtest/gtest.h>

#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/read_ahead.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using deep_test::Disk;
using engine::signatures::FileTypeCode;
using C = FileTypeCode;

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  const uint8_t le[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                         static_cast<uint8_t>(v >> 24)};
  std::memcpy(&b.at(at + 3) - 3, le, 4);
}
void Put32Be(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
void Put16Be(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
std::vector<uint8_t> Bytes(const char* text, size_t length, size_t total = 512, uint8_t fill = 0) {
  std::vector<uint8_t> b(total, fill);
  std::memcpy(b.data(), text, length);
  return b;
}

// Recognition of exactly `length` bytes (a heap copy, so reads past it are caught).
FileTypeCode Recognise(const std::vector<uint8_t>& bytes, size_t length) {
  std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
  return engine::signatures::RecogniseSector(deep_test::TestContext(), exact.data(), exact.size()).code;
}

class RecogniserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    deep_test::ResetCarveContext();
    deep_test::TestContext().reader = nullptr;
    deep_test::TestContext().sectorSize = 512;
  }
  void TearDown() override { deep_test::ResetCarveContext(); }
};

TEST_F(RecogniserTest, EverySamplePrefixIsSafeAtEveryLength) {
  if (deep_test::Samples().empty()) GTEST_SKIP() << "samples.tar.gz missing";
  for (const auto& [name, bytes] : deep_test::Samples()) {
    for (size_t length = 0; length <= std::min<size_t>(bytes.size(), 600); ++length) {
      (void)Recognise(bytes, length);  // under the sanitizers: no read outside the copy
    }
  }
}

TEST_F(RecogniserTest, Id3HeaderNeedsAllTenBytes) {
  const auto mp3 = Bytes("ID3\x03\x00\x00\x00\x00\x00\x26", 10);
  EXPECT_EQ(Recognise(mp3, 10), C::kMp3);
  for (size_t length = 3; length < 10; ++length) EXPECT_EQ(Recognise(mp3, length), C::kNone) << length;
  auto badSize = mp3;
  badSize[9] = 0x80;  // sync-safe size bytes stay below 0x80
  EXPECT_EQ(Recognise(badSize, 10), C::kNone);
}

TEST_F(RecogniserTest, IconDirectoryMustFitAndChainItsImages) {
  auto ico = Bytes("\x00\x00\x01\x00\x02\x00", 6);
  Put32(ico, 6 + 8, 100);      // image 0: 100 bytes
  Put32(ico, 6 + 12, 6 + 32);  // right after the two entries
  Put32(ico, 22 + 8, 50);
  Put32(ico, 22 + 12, 6 + 32 + 100);
  EXPECT_EQ(Recognise(ico, 512), C::kIco);
  EXPECT_EQ(engine::signatures::FileSignatureTable()[engine::signatures::FirstRowOfCode(C::kIco)].sizeRule(
                deep_test::TestContext(), ico.data(), 512),
            6u + 32 + 100 + 50);
  EXPECT_EQ(Recognise(ico, 37), C::kNone);  // the second entry does not fit
  auto gap = ico;
  Put32(gap, 22 + 12, 6 + 32 + 101);
  EXPECT_EQ(Recognise(gap, 512), C::kNone);
  auto many = ico;
  many[4] = 0xFF;
  many[5] = 0xFF;  // 65535 entries: far beyond the sector
  EXPECT_EQ(Recognise(many, 512), C::kNone);
  auto huge = ico;
  Put32(huge, 6 + 8, 0xFFFFFFFF);  // image sizes that overflow 32 bits do not wrap around
  Put32(huge, 22 + 12, static_cast<uint32_t>(6 + 32 + 0xFFFFFFFFull));
  EXPECT_EQ(Recognise(huge, 512), C::kNone);
}

TEST_F(RecogniserTest, FontDirectoryMustFitTheSector) {
  auto ttf = Bytes("\x00\x01\x00\x00", 4);
  Put16Be(ttf, 4, 2);
  Put16Be(ttf, 6, 32);
  Put16Be(ttf, 8, 1);
  Put16Be(ttf, 10, 16);
  std::memcpy(&ttf[12], "head", 4);
  std::memcpy(&ttf[28], "name", 4);
  EXPECT_EQ(Recognise(ttf, 512), C::kNone);  // a range shift that does not follow from the count
  Put16Be(ttf, 10, 0);
  Put32Be(ttf, 12 + 32, 0x00010000);  // the font header follows the two records
  Put32Be(ttf, 12 + 8, 44);
  Put32Be(ttf, 12 + 12, 54);
  Put32Be(ttf, 28 + 8, 100);
  Put32Be(ttf, 28 + 12, 20);
  EXPECT_EQ(Recognise(ttf, 512), C::kTtf);
  EXPECT_EQ(engine::signatures::TtfSize(deep_test::TestContext(), ttf.data(), 512), 120u);
  EXPECT_EQ(Recognise(ttf, 43), C::kNone);  // the directory is cut
  auto many = ttf;
  Put16Be(many, 4, 0xFFFF);
  EXPECT_EQ(Recognise(many, 512), C::kNone);
}

TEST_F(RecogniserTest, ProgramHeaderOffsetStaysInTheFirstSector) {
  auto exe = Bytes("MZ", 2);
  auto place = [&](uint32_t offset, uint16_t characteristics) {
    auto b = exe;
    Put32(b, 0x3C, offset);
    if (uint64_t{offset} + 0x18 <= b.size()) {
      std::memcpy(&b[offset], "PE\0\0", 4);
      b[offset + 0x16] = static_cast<uint8_t>(characteristics);
      b[offset + 0x17] = static_cast<uint8_t>(characteristics >> 8);
    }
    return b;
  };
  EXPECT_EQ(Recognise(place(488, 0x0102), 512), C::kExe);
  EXPECT_EQ(Recognise(place(489, 0x0102), 512), C::kNone);
  EXPECT_EQ(Recognise(place(0xFFFFFFF0, 0x0102), 512), C::kNone);
  EXPECT_EQ(Recognise(place(0x80, 0x0100), 512), C::kNone);  // not an executable image
  EXPECT_EQ(Recognise(place(0x80, 0x3102), 512), C::kSys);   // system before library
  EXPECT_EQ(Recognise(place(0x80, 0x2102), 512), C::kDll);
  EXPECT_EQ(Recognise(place(0x80, 0x0102), 511), C::kNone);
}

TEST_F(RecogniserTest, ShortMagicKindsNeedTheirWholeMagic) {
  EXPECT_EQ(Recognise(Bytes("\xFE\xEF\x00\x00", 4), 4), C::kGho);
  EXPECT_EQ(Recognise(Bytes("\xFE\xEF\x00\x00", 4), 2), C::kNone);
  EXPECT_EQ(Recognise(Bytes("7z\xBC\xAF\x27", 5), 5), C::k7z);
  EXPECT_EQ(Recognise(Bytes("7z\xBC\xAF\x27", 5), 2), C::kNone);
}

TEST_F(RecogniserTest, TransportStreamOfExactlyTwoPacketsIsSafe) {
  std::vector<uint8_t> two(376, 0xAA);
  two[0] = two[188] = 0x47;
  two[1] = 0x40;
  EXPECT_EQ(Recognise(two, 376), C::kNone);  // no reader: the 4 KiB probe fails
}

TEST_F(RecogniserTest, HeaderVariantsThatAreAndAreNotRecognised) {
  struct Case {
    std::vector<uint8_t> bytes;
    C code;
  } cases[] = {
      {Bytes("FWS\x05\x40\x00\x00\x00\x50", 9), C::kSwf},
      {Bytes("FWS\x0A\x40\x00\x00\x00\x50", 9), C::kSwf},  // any version, length from the header
      {Bytes("FWS\x06", 4), C::kNone},                     // a length too short for the header
      {Bytes("CWS\x06", 4), C::kSwf},
      {Bytes("CWS\x10", 4), C::kSwf},
      {Bytes("CWS\x40", 4), C::kNone},
      {Bytes("\x00\x00\x01\xBA", 4), C::kNone},  // a pack header without a system header close by
      {Bytes("\x00\x00\x01\xB3\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\xB8", 16), C::kMpeg},
      {Bytes("MThd\x00\x00\x00\x07\x00\x00\x00\x01\x00\x60MTrk", 18), C::kNone},
      {Bytes("\x1F\x8B\x08\x00\x00\x00\x00\x00\x02\x03", 10), C::kGz},
      {Bytes("\x1F\x8B\x08\x01\x00\x00\x00\x00\x02\x03", 10), C::kGz},    // FTEXT
      {Bytes("\x1F\x8B\x08\x20\x00\x00\x00\x00\x02\x03", 10), C::kNone},  // a reserved flag
      {Bytes("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10), C::kGz},    // XFL 0: the default level
      {Bytes("\x1F\x8B\x08\x00\x00\x00\x00\x00\x01\x03", 10), C::kNone},
      {Bytes("\x1F\x8B\x08\x08\x00\x00\x00\x00\x04\xFF", 10), C::kGz},
      {Bytes("GIF89a", 6), C::kGif},
      {Bytes("GIF8xa", 6), C::kNone},
      {Bytes("moov", 4), C::kMov},
      {Bytes("\x00\x00\x00\x14"
             "ftypqt  ",
             12),
       C::kMov},
      {Bytes("\x00\x00\x00\x14"
             "ftypmp42",
             12),
       C::kMp4},
      {Bytes("\x00\x00\x00\x14"
             "ftyp3gp5",
             12),
       C::k3gp},
      {Bytes("\x00\x00\x00\x14"
             "ftypM4A ",
             12),
       C::kM4a},
      // Camera RAW headers: Canon CR2 and CR3, Olympus ORF, Panasonic RW2, Fujifilm RAF.
      {Bytes("II\x2A\x00\x10\x00\x00\x00"
             "CR\x02\x00",
             12),
       C::kCr2},
      {Bytes("\x00\x00\x00\x18"
             "ftypcrx ",
             12),
       C::kCr3},
      {Bytes("IIRO\x08\x00\x00\x00", 8), C::kOrf},
      {Bytes("IIU\x00\x08\x00\x00\x00", 8), C::kRw2},
      {Bytes("FUJIFILMCCD-RAW 0201", 20), C::kRaf},
      {Bytes("\x00\x00\x00\x14"
             "ftyp\x01\x02\x03\x04",
             12),
       C::kNone},
      {Bytes("!BDN\x00\x00\x00\x00SM", 10), C::kPst},
      {Bytes("RIFF\x00\x00\x00\x00WAVEfmt ", 16), C::kWav},
      {Bytes("RIFF\x00\x00\x00\x00WAVEdata", 16), C::kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(Recognise(c.bytes, 512), c.code);
}

TEST_F(RecogniserTest, HeaderLengthsPastTheCapRejectTheHit) {
  using engine::signatures::kRejectHit;
  auto bmp = Bytes("BM", 2);
  Put32(bmp, 2, 0xFFFFFFFF);
  EXPECT_EQ(engine::signatures::BmpSize(deep_test::TestContext(), bmp.data(), 512), kRejectHit);
  auto cab = Bytes("MSCF", 4);
  Put32(cab, 8, 0xFFFFFFFF);
  EXPECT_EQ(engine::signatures::CabSize(deep_test::TestContext(), cab.data(), 512), kRejectHit);
  EXPECT_EQ(engine::signatures::CabSize(deep_test::TestContext(), cab.data(), 35), 512u);
  auto swf = Bytes("FWS\x05", 4);
  Put32(swf, 4, 0xFFFFFFFF);
  EXPECT_EQ(engine::signatures::SwfSize(deep_test::TestContext(), swf.data(), 512), kRejectHit);
  EXPECT_EQ(engine::signatures::SwfSize(deep_test::TestContext(), Bytes("CWS\x08", 4).data(), 512), 512u);
  auto avi = Bytes("RIFF", 4);
  Put32(avi, 4, 0xFFFFFFFC);
  EXPECT_EQ(engine::signatures::RiffSize(deep_test::TestContext(), avi.data(), 512), 4u);  // the RIFF sum stays 32-bit
  EXPECT_EQ(engine::signatures::RiffSize(deep_test::TestContext(), avi.data(), 15), 512u);
}

// The ASF header object, then a File Properties object at 30.
std::vector<uint8_t> Asf(uint64_t fileSize, uint32_t flags) {
  const uint8_t header[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                            0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  const uint8_t properties[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  std::vector<uint8_t> b(512, 0);
  std::memcpy(b.data(), header, 16);
  std::memcpy(&b[30], properties, 16);
  Put32(b, 30 + 40, static_cast<uint32_t>(fileSize));
  Put32(b, 30 + 44, static_cast<uint32_t>(fileSize >> 32));
  Put32(b, 30 + 88, flags);
  return b;
}

TEST_F(RecogniserTest, AsfSizeComesFromFilePropertiesUnlessBroadcast) {
  EXPECT_EQ(engine::signatures::WmvSize(deep_test::TestContext(), Asf(123456, 2).data(), 512), 123456u);
  EXPECT_EQ(engine::signatures::WmvSize(deep_test::TestContext(), Asf(123456, 3).data(), 512), 512u);
  EXPECT_EQ(engine::signatures::WmvSize(deep_test::TestContext(), Asf(0x123456789ull, 2).data(), 512),
            engine::signatures::kRejectHit);
  EXPECT_EQ(engine::signatures::WmvSize(deep_test::TestContext(), Asf(123456, 2).data(), 121),
            512u);  // the flags are cut off
  EXPECT_EQ(engine::signatures::WmvSize(deep_test::TestContext(), Asf(123456, 2).data(), 30), 512u);
}

// --- Size rules that end at a terminator in the read-ahead.

struct TerminatorCase {
  const char* name;
  std::vector<uint8_t> header;      // the candidate sector's first bytes
  std::vector<uint8_t> terminator;  // placed at offset 100 of the fourth sector after the candidate
  uint64_t expected;                // size from the file's first byte; 0 = runs to the next start
};

std::vector<uint8_t> V(const char* text, size_t length) {
  return {text, text + length};
}

TEST_F(RecogniserTest, TerminatorsEndTheirFiles) {
  const uint64_t at = 4 * 512 + 100;  // the terminator's offset from the file start
  const TerminatorCase cases[] = {
      {"rmvb", V(".RMF", 4), V("INDX\0\0\0\x14\0\0\0\0\0\0\0\x02\0\0\0\0", 20), at + 20},
      {"mp4",
       V("\0\0\0\x18"
         "ftypisom",
         12),
       V("freeIsoMedia File Produced abc", 30), at + 26 + 4},
      {"ape", V("MAC ", 4), V("APETAGEX\xD0\x07", 10), at + 32},
      {"pdf", V("%PDF-1.4", 8), V("trailer <<>> %%EOF", 18), at + 13 + 5},
      {"pdf without %%EOF", V("%PDF-1.4", 8), V("trailer <<>>", 12), at + 7},
      {"mpeg video", V("\0\0\x01\xB3\0\0\0\0\0\0\0\0\0\0\x01\xB8", 16), V("\0\0\x01\xB7", 4), at + 4},
      {"mpeg program", V("\0\0\x01\xBA\0\0\0\0\0\0\0\0\0\0\x01\xBB", 16), V("\0\0\x01\xB9", 4), at + 4},
      {"mpeg program, wrong end code", V("\0\0\x01\xBA\0\0\0\0\0\0\0\0\0\0\x01\xBB", 16), V("\0\0\x01\xB7", 4), 0},
      {"rar", V("Rar!\x1A\x07\x00", 7), V("\xC4\x3D\x7B\x00\x40\x07\x00", 7), at + 7},
      {"zip", V("PK\x03\x04", 4), V("PK\x05\x06", 4), at + 22},
  };
  for (const TerminatorCase& c : cases) {
    SCOPED_TRACE(c.name);
    deep_test::ResetCarveContext();
    Disk disk(512, 40);
    disk.Fill(0, 40, 0x11);
    std::vector<uint8_t> header = c.header;
    header.resize(512, 0x11);
    disk.Place(2, header);
    std::vector<uint8_t> chunk(512, 0);  // zeros behind the terminator: it qualifies
    std::memcpy(&chunk[100], c.terminator.data(), c.terminator.size());
    disk.Place(6, chunk);
    disk.Place(30, deep_test::BootSector(512));
    storage::SectorSource source;
    disk.Open(source);
    const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 2);
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.file.size, c.expected == 0 ? 28u * 512 : c.expected);
  }
}

TEST_F(RecogniserTest, QualifyingEndsNeedZerosToTheSectorEnd) {
  Disk disk(512, 40);
  disk.Fill(0, 40, 0x11);
  std::vector<uint8_t> rar(512, 0x11);
  std::memcpy(rar.data(), "Rar!\x1A\x07\x00", 7);
  disk.Place(2, rar);
  std::vector<uint8_t> chunk(512, 0);
  std::memcpy(&chunk[100], "\xC4\x3D\x7B\x00\x40\x07\x00", 7);
  chunk[300] = 1;  // data after the end block
  std::memcpy(&chunk[400], "\xC4\x3D\x7B\x00\x40\x07\x00", 7);
  disk.Place(6, chunk);
  disk.Place(30, deep_test::BootSector(512));
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).file.size, 4u * 512 + 407);
}

TEST_F(RecogniserTest, Id3v1TagCutsAnMp3ButALaterOneWins) {
  Disk disk(512, 400);
  disk.Fill(0, 400, 0x11);
  disk.Place(2, Bytes("ID3\x03\x00\x00\x00\x00\x00\x26", 10, 512, 0x11));
  std::vector<uint8_t> tag(512, 0x11);
  std::memcpy(&tag[10], "TAG", 3);
  disk.Place(5, tag);
  disk.Place(200, tag);  // in the second chunk
  disk.Place(300, deep_test::BootSector(512));
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).file.size, 198u * 512 + 10 + 128);
}

// --- MIDI: the announced tracks bound the file.

std::vector<uint8_t> Midi(const std::vector<uint32_t>& trackBytes) {
  std::vector<uint8_t> m = V("MThd\0\0\0\x06\0\x01\0\0\0\x60", 14);
  Put16Be(m, 10, static_cast<uint16_t>(trackBytes.size()));
  for (uint32_t length : trackBytes) {
    const size_t at = m.size();
    m.resize(at + 8 + length, 0x22);
    std::memcpy(&m[at], "MTrk", 4);
    Put32Be(m, at + 4, length);
  }
  return m;
}

TEST_F(RecogniserTest, MidiEndsAfterItsLastTrack) {
  struct Case {
    const char* name;
    std::vector<uint32_t> tracks;
  } cases[] = {
      {"within the first sector", {100, 20}},
      {"header straddling the first sector's end", {486, 30}},
      {"across chunks", {70000, 10}},
      {"empty tracks", {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    deep_test::ResetCarveContext();
    const std::vector<uint8_t> midi = Midi(c.tracks);
    Disk disk(512, 400);
    disk.Fill(0, 400, 0x11);
    disk.Place(2, midi);
    disk.Place(390, deep_test::BootSector(512));
    storage::SectorSource source;
    disk.Open(source);
    const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 2);
    EXPECT_EQ(out.Name(), "2.mid");
    EXPECT_EQ(out.file.size, midi.size());
  }
}

TEST_F(RecogniserTest, MidiNeverOutrunsTheNextStart) {
  std::vector<uint8_t> midi = Midi({3000});
  Disk disk(512, 40);
  disk.Fill(0, 40, 0x11);
  disk.Place(2, midi);
  disk.Place(5, deep_test::BootSector(512));  // inside the announced track
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).file.size, 3u * 512);
}

TEST_F(RecogniserTest, MidiWithABrokenChunkChainRunsToTheNextStart) {
  std::vector<uint8_t> midi = Midi({600, 10});
  std::memcpy(&midi[14 + 8 + 600], "XTrk", 4);
  Disk disk(512, 40);
  disk.Fill(0, 40, 0x11);
  disk.Place(2, midi);
  disk.Place(20, deep_test::BootSector(512));
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 2).file.size, 18u * 512);
}

}  // namespace
