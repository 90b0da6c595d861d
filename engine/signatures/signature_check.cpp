// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/signature_check.h"

#include <algorithm>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/recognisers.h"
#include "engine/signatures/text_content.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr uint8_t kCompoundMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint8_t kCompoundBetaMagic[] = {0x0E, 0x11, 0xFC, 0x0D, 0xD0, 0xCF, 0x11, 0x0E};
constexpr uint8_t kAsfHeaderGuid[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr uint8_t kPngMagic[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint8_t kSevenZipMagic[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr uint8_t kSqliteMagic[] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
constexpr uint8_t kMxfKeyPrefix[] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01};
// DIB header sizes: core (12), info (40), the two Adobe variants (52, 56), OS/2 2.x (64), v4 (108), v5 (124).
constexpr uint32_t kDibHeaderSizes[] = {12, 40, 52, 56, 64, 108, 124};
// Top-level box types an ISO media or QuickTime file may begin with.
constexpr const char* kIsoTopLevelBoxes[] = {"ftyp", "moov", "mdat", "free", "wide", "skip", "pnot", "uuid"};
// A PDF reader accepts the header anywhere in the first kilobyte.
constexpr size_t kPdfHeaderWindow = 1024;
constexpr size_t kTsPacketBytes = 188;
constexpr size_t kM2tsPacketBytes = 192;

bool IsIsoMediaStart(const ByteView& b) {
  for (const char* box : kIsoTopLevelBoxes) {
    if (b.Equals(4, box, 4)) return true;
  }
  return false;
}

// Every packet start that lies in the bytes holds the sync byte.
bool IsPacketStreamStart(const ByteView& b, size_t first, size_t packetBytes) {
  if (!b.Has(first, 1)) return false;
  for (size_t at = first; at < b.size(); at += packetBytes) {
    if (b.U8(at) != 0x47) return false;
  }
  return true;
}

bool IsBmpStart(const ByteView& b) {
  if (!(b.Equals(0, "BM", 2) || b.Equals(0, "BA", 2)) || !b.Has(14, 4)) return false;
  const uint32_t headerSize = b.U32(14);
  return std::find(std::begin(kDibHeaderSizes), std::end(kDibHeaderSizes), headerSize) != std::end(kDibHeaderSizes);
}

bool IsJpegStart(const ByteView& b) {
  // Any marker may follow the start of image (APPn of any n, DQT, DHT, SOFn, COM, or fill bytes).
  return b.Equals(0, "\xFF\xD8\xFF", 3) && b.Has(3, 1) && b.U8(3) >= 0xC0;
}

bool IsGzipStart(const ByteView& b) {
  // Deflate method; the reserved flag bits are clear. XFL and OS may be anything.
  return b.Equals(0, "\x1F\x8B\x08", 3) && b.Has(3, 1) && (b.U8(3) & 0xE0) == 0;
}

bool IsMpegAudioStart(const ByteView& b) {
  if (b.Equals(0, "ID3", 3)) return true;
  MpegAudioFrame frame;
  return b.Has(0, 4) && ParseMpegAudioHeader(b.data(), b.size(), /*allowFreeFormat=*/true, &frame);
}

bool IsTrueTypeStart(const ByteView& b) {
  const bool tag = b.U32Be(0) == 0x00010000 || b.Equals(0, "true", 4) || b.Equals(0, "OTTO", 4);
  return tag && b.Has(4, 2) && b.U16Be(4) != 0;
}

bool IsZipStart(const ByteView& b) {
  return b.Equals(0, "PK\x03\x04", 4) || b.Equals(0, "PK\x05\x06", 4) || b.Equals(0, "PK\x07\x08", 4);
}

bool IsCompoundStart(const ByteView& b) {
  return b.Equals(0, kCompoundMagic, sizeof kCompoundMagic) ||
         b.Equals(0, kCompoundBetaMagic, sizeof kCompoundBetaMagic);
}

bool IsPlausible(C code, const ByteView& b) {
  switch (code) {
    case C::kMpeg: return b.Equals(0, "\x00\x00\x01\xBA", 4) || b.Equals(0, "\x00\x00\x01\xB3", 4);
    case C::kMp4:
    case C::k3gp:
    case C::kMov: return IsIsoMediaStart(b);
    case C::kRmvb: return b.Equals(0, ".RMF", 4);
    case C::kWmv: return b.Equals(0, kAsfHeaderGuid, sizeof kAsfHeaderGuid);
    case C::kSwf: return (b.Equals(0, "FWS", 3) || b.Equals(0, "CWS", 3) || b.Equals(0, "ZWS", 3)) && b.Has(3, 1);
    case C::kAvi: return b.Equals(0, "RIFF", 4) && b.Equals(8, "AVI ", 4);
    case C::kFlv: return b.Equals(0, "FLV\x01", 4);
    case C::kMkv: return b.Equals(0, "\x1A\x45\xDF\xA3", 4);
    case C::kTs: return IsPacketStreamStart(b, 0, kTsPacketBytes);
    // Cameras write .mts with 192-byte packets; other programs (ffmpeg) with 188-byte ones.
    case C::kMts: return IsPacketStreamStart(b, 4, kM2tsPacketBytes) || IsPacketStreamStart(b, 0, kTsPacketBytes);
    case C::kMxf: return b.Equals(0, kMxfKeyPrefix, sizeof kMxfKeyPrefix);
    case C::kMp3:
    case C::kMp2: return IsMpegAudioStart(b);
    case C::kMid: return b.Equals(0, "MThd", 4) || (b.Equals(0, "RIFF", 4) && b.Equals(8, "RMID", 4));
    case C::kApe: return b.Equals(0, "MAC ", 4) || b.Equals(0, "ID3", 3);
    case C::kWav:
      return (b.Equals(0, "RIFF", 4) || b.Equals(0, "RIFX", 4) || b.Equals(0, "RF64", 4)) && b.Equals(8, "WAVE", 4);
    case C::kMmf: return b.Equals(0, "MMMD", 4);
    case C::kGif: return b.Equals(0, "GIF87a", 6) || b.Equals(0, "GIF89a", 6);
    case C::kBmp: return IsBmpStart(b);
    case C::kJpg: return IsJpegStart(b);
    case C::kPng: return b.Equals(0, kPngMagic, sizeof kPngMagic);
    case C::kPsd: return b.Equals(0, "8BPS", 4) && b.Has(4, 2) && (b.U16Be(4) == 1 || b.U16Be(4) == 2);
    case C::kTif:
      return b.Equals(0, "II\x2A\x00", 4) || b.Equals(0, "MM\x00\x2A", 4) || b.Equals(0, "II\x2B\x00", 4) ||
             b.Equals(0, "MM\x00\x2B", 4);
    case C::kIco: return b.Equals(0, "\x00\x00\x01\x00", 4) && b.Has(4, 2) && b.U16(4) != 0;
    case C::kDoc:
    case C::kXls:
    case C::kPpt:
    case C::kOle: return IsCompoundStart(b);
    case C::kDocx:
    case C::kXlsx:
    case C::kPptx:
    case C::kMso07: return b.Equals(0, "PK\x03\x04", 4);
    case C::kPdf: return FindFrom(b.data(), std::min(b.size(), kPdfHeaderWindow), 0, "%PDF-", 5) != kNotFound;
    case C::kGz: return IsGzipStart(b);
    case C::k7z: return b.Equals(0, kSevenZipMagic, sizeof kSevenZipMagic);
    case C::kZip: return IsZipStart(b);
    case C::kRar: return b.Equals(0, "Rar!\x1A\x07\x00", 7) || b.Equals(0, "Rar!\x1A\x07\x01\x00", 8);
    case C::kCab: return b.Equals(0, "MSCF\x00\x00\x00\x00", 8);
    case C::kExe:
    case C::kDll:
    case C::kSys: return b.Equals(0, "MZ", 2);
    case C::kGho: return b.Equals(0, "\xFE\xEF", 2);
    case C::kDb: return b.Equals(0, kSqliteMagic, sizeof kSqliteMagic);
    case C::kDbx: return b.Equals(0, "\xCF\xAD\x12\xFE", 4);
    case C::kPst: return b.Equals(0, "!BDN", 4);
    case C::kFla: return IsCompoundStart(b) || b.Equals(0, "PK\x03\x04", 4);
    case C::kTtf: return IsTrueTypeStart(b);
    case C::kHeic:
    case C::kAvif:
    case C::kM4a:
    case C::kM4v: return IsIsoMediaStart(b);
    case C::kWebp: return b.Equals(0, "RIFF", 4) && b.Equals(8, "WEBP", 4);
    case C::kFlac: return b.Equals(0, "fLaC", 4) || b.Equals(0, "ID3", 3);
    case C::kOgg:
    case C::kOpus: return b.Equals(0, "OggS", 4);
    case C::kWebm: return b.Equals(0, "\x1A\x45\xDF\xA3", 4);
    case C::kXz: return b.Equals(0, "\xFD" "7zXZ\x00", 6);
    case C::kBz2: return b.Equals(0, "BZh", 3);
    case C::kZst: return b.Equals(0, "\x28\xB5\x2F\xFD", 4);
    case C::kTar: return b.Equals(257, "ustar", 5) || (b.Has(0, 512) && b.U8(0) != 0);
    case C::kOdt:
    case C::kOds:
    case C::kOdp:
    case C::kEpub: return IsZipStart(b);
    case C::kRtf: return b.Equals(0, "{\\rtf", 5);
    // Text kinds: any start that is text (a byte-order mark, spaces, any header order).
    case C::kSvg:
    case C::kXml:
    case C::kEml:
    case C::kMbox: return b.Has(0, 1) && (b.U8(0) >= 0x09);
    case C::kCr2:
    case C::kNef:
    case C::kArw:
    case C::kDng:
    case C::kPef: return b.Equals(0, "II\x2A\x00", 4) || b.Equals(0, "MM\x00\x2A", 4);
    case C::kOrf: return b.Equals(0, "IIRO", 4) || b.Equals(0, "IIRS", 4) || b.Equals(0, "MMOR", 4);
    case C::kRw2: return b.Equals(0, "IIU\x00", 4);
    case C::kRaf: return b.Equals(0, "FUJIFILMCCD-RAW", 15);
    case C::kCr3: return IsIsoMediaStart(b);
    case C::kTxt:
    case C::kSh:
    case C::kPy:
    case C::kPl:
    case C::kC:
    case C::kCpp:
    case C::kJava:
    case C::kJs:
    case C::kJson:
    case C::kXmlText:
    case C::kHtml:
    case C::kCsv:
    case C::kIni:  // no rule (CheckPlausibleStart)
    case C::kNone: break;
  }
  return false;
}

}  // namespace

StartVerdict CheckPlausibleStart(const uint8_t* bytes, size_t length, std::string_view extension) {
  const int32_t row = RowOfExtension(extension);
  if (row < 0) return StartVerdict::kNoRule;
  const ByteView view(bytes, bytes == nullptr ? 0 : length);
  const FileTypeCode code = FileSignatureTable()[static_cast<size_t>(row)].code;
  // Text may begin with anything a text holds (any encoding, nothing at all): no evidence either way.
  if (IsPlainTextCode(code)) return StartVerdict::kNoRule;
  return IsPlausible(code, view) ? StartVerdict::kPlausible : StartVerdict::kImplausible;
}

int32_t MatchesExtension(const uint8_t* buffer, size_t length, std::string_view extension) {
  return CheckPlausibleStart(buffer, length, extension) == StartVerdict::kImplausible ? 0 : 1;
}

}  // namespace engine::signatures
