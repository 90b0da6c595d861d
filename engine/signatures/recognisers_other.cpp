// SPDX-License-Identifier: GPL-3.0-or-later
// Databases (SQLite db, Outlook Express dbx, Outlook pst), Flash sources (fla)
// and TrueType fonts (ttf).
#include <algorithm>
#include <bit>

#include "engine/byte_view.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr uint8_t kSqliteMagic[] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
// TrueType offset table (big-endian): version 0x00010000, table count at 4,
// search range, entry selector, range shift; then 16-byte table records from
// 12: tag, checksum, offset (+8), length (+12).
constexpr uint32_t kTrueTypeVersion = 0x00010000;
constexpr size_t kTtfTableCount = 4;
constexpr size_t kTtfRecords = 12;
constexpr size_t kTtfRecordBytes = 16;
constexpr size_t kTtfRecordOffset = 8;
constexpr size_t kTtfRecordLength = 12;
constexpr size_t kTtfMaxTables = 64;
// SQLite header (big-endian): page size at 16 (1 = 65536), change counter at
// 24, page count at 28, version-valid-for at 92.
constexpr size_t kSqlitePageSize = 16;
constexpr size_t kSqliteChangeCounter = 24;
constexpr size_t kSqlitePageCount = 28;
constexpr size_t kSqliteValidFor = 92;

C RecogniseDb(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 16 && ByteView(bytes, length).Equals(0, kSqliteMagic, sizeof kSqliteMagic) ? C::kDb : C::kNone;
}

C RecogniseDbx(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 16 && ByteView(bytes, length).Equals(0, "\xCF\xAD\x12\xFE", 4) ? C::kDbx : C::kNone;
}

C RecognisePst(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  return length >= 16 && b.Equals(0, "!BDN", 4) && b.Equals(8, "SM", 2) ? C::kPst : C::kNone;
}

C RecogniseFla(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 16 && ByteView(bytes, length).Equals(0, "\xD0\xCF\x11\xE0", 4) ? C::kFla : C::kNone;
}

C RecogniseTtf(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16 || b.U32Be(0) != kTrueTypeVersion) return C::kNone;
  const size_t tables = b.U16Be(kTtfTableCount);
  if (tables == 0 || tables > kTtfMaxTables || kTtfRecords + kTtfRecordBytes * tables > length) return C::kNone;
  // The binary-search fields follow from the table count.
  const uint32_t selector = static_cast<uint32_t>(std::bit_width(tables) - 1);
  const uint32_t range = 16u << selector;
  if (b.U16Be(6) != range || b.U16Be(8) != selector || b.U16Be(10) != tables * 16 - range) return C::kNone;
  // The records that lie in the sector: tags of printable text in ascending order, data after the directory.
  uint32_t previous = 0;
  for (size_t i = 0; i < tables && b.Has(kTtfRecords + kTtfRecordBytes * i, kTtfRecordBytes); ++i) {
    const size_t record = kTtfRecords + kTtfRecordBytes * i;
    for (size_t k = 0; k < 4; ++k) {
      const uint8_t c = b.U8(record + k);
      if (c < 0x20 || c > 0x7E) return C::kNone;
    }
    const uint32_t tag = b.U32Be(record);
    if (i > 0 && tag <= previous) return C::kNone;
    previous = tag;
    if (b.U32Be(record + kTtfRecordOffset) < kTtfRecords + kTtfRecordBytes * tables) return C::kNone;
  }
  return C::kTtf;
}

}  // namespace

const Recogniser kDbRecogniser{RecogniseDb, {{{0, 'S'}}}, 1};
const Recogniser kDbxRecogniser{RecogniseDbx, {{{0, 0xCF}}}, 1};
const Recogniser kPstRecogniser{RecognisePst, {{{0, '!'}}}, 1};
const Recogniser kFlaRecogniser{RecogniseFla, {{{0, 0xD0}}}, 1};
const Recogniser kTtfRecogniser{RecogniseTtf, {{{0, 0x00}}}, 1};

uint64_t DbSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  // Page size times page count, when the header's count is valid (its change
  // counter equals the version-valid-for number); else the next start.
  const ByteView b(bytes, length);
  const uint32_t pageField = b.U16Be(kSqlitePageSize);
  const uint32_t pageSize = pageField == 1 ? 65536 : pageField;
  const uint32_t pages = b.U32Be(kSqlitePageCount);
  const bool powerOfTwo = pageSize >= 512 && (pageSize & (pageSize - 1)) == 0;
  if (length >= 100 && powerOfTwo && pages != 0 && b.U32Be(kSqliteChangeCounter) == b.U32Be(kSqliteValidFor)) {
    FileWindow window(context, bytes, length);
    return EndWithin(window, uint64_t{pageSize} * pages, k4GiB);
  }
  return ReadAheadToNextStart(context, k4GiB);
}

uint64_t TtfSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  const size_t tables = ByteView(bytes, length).U16Be(kTtfTableCount);
  if (tables == 0) return sectorSize;
  const ByteView directory = CandidateDirectory(context, bytes, length, kTtfRecords + kTtfRecordBytes * tables);
  if (directory.size() == 0) return sectorSize;
  uint64_t end = 0;
  for (size_t i = 0; i < tables; ++i) {
    const size_t record = kTtfRecords + kTtfRecordBytes * i;
    if (!directory.Has(record, kTtfRecordBytes)) return sectorSize;
    end = std::max<uint64_t>(end, static_cast<uint64_t>(directory.U32Be(record + kTtfRecordOffset)) +
                                      directory.U32Be(record + kTtfRecordLength));
  }
  // Tables are padded to 4 bytes, the last one too.
  FileWindow window(context, bytes, length);
  return EndWithin(window, (end + 3) / 4 * 4, k256MiB);
}

}  // namespace engine::signatures
