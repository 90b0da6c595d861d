// SPDX-License-Identifier: GPL-3.0-or-later
// Databases (SQLite db, Outlook Express dbx, Outlook pst), Flash sources (fla)
// and TrueType fonts (ttf).
#include <algorithm>

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
  if (tables == 0 || b.U16Be(6) == 0 || b.U16Be(8) == 0 || b.U16Be(10) == 0) return C::kNone;
  if (16 + kTtfRecordBytes * tables > length) return C::kNone;
  // The first table's data (the font header, version 1.0) follows the records.
  return b.U32Be(kTtfRecords + kTtfRecordBytes * tables) == kTrueTypeVersion ? C::kTtf : C::kNone;
}

}  // namespace

const Recogniser kDbRecogniser{RecogniseDb, {{{0, 'S'}}}, 1};
const Recogniser kDbxRecogniser{RecogniseDbx, {{{0, 0xCF}}}, 1};
const Recogniser kPstRecogniser{RecognisePst, {{{0, '!'}}}, 1};
const Recogniser kFlaRecogniser{RecogniseFla, {{{0, 0xD0}}}, 1};
const Recogniser kTtfRecogniser{RecogniseTtf, {{{0, 0x00}}}, 1};

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
  return end;
}

}  // namespace engine::signatures
