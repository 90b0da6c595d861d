// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/file_signature_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <vector>

#include "engine/signatures/text_content.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

// clang-format off
// The rows, in recognition order. The closing row (code kNone) ends the table.
constexpr FileSignatureRow kRows[] = {
    {"mpeg",  C::kMpeg,  &kMpegRecogniser,     MpegSize},
    {"mpg",   C::kMpeg,  &kMpegRecogniser,     MpegSize},
    {"vob",   C::kMpeg,  &kMpegRecogniser,     MpegSize},
    {"mp4",   C::kMp4,   &kMp4Recogniser,      IsoMediaSize},
    {"heic",  C::kHeic,  &kMp4Recogniser,      HeifSize},
    {"avif",  C::kAvif,  &kMp4Recogniser,      HeifSize},
    {"m4a",   C::kM4a,   &kMp4Recogniser,      IsoMediaSize},
    {"m4v",   C::kM4v,   &kMp4Recogniser,      IsoMediaSize},
    {"cr3",   C::kCr3,   &kMp4Recogniser,      IsoMediaSize},
    {"rmvb",  C::kRmvb,  &kRmvbRecogniser,     RmvbSize},
    {"rm",    C::kRmvb,  &kRmvbRecogniser,     RmvbSize},
    {"wmv",   C::kWmv,   &kWmvRecogniser,      WmvSize},
    {"asf",   C::kWmv,   &kWmvRecogniser,      WmvSize},
    {"wma",   C::kWmv,   &kWmvRecogniser,      WmvSize},
    {"swf",   C::kSwf,   &kSwfRecogniser,      SwfSize},
    {"avi",   C::kAvi,   &kAviRecogniser,      RiffSize},
    {"flv",   C::kFlv,   &kFlvRecogniser,      FlvSize},
    {"3gp",   C::k3gp,   &k3gpRecogniser,      IsoMediaSize},
    {"mkv",   C::kMkv,   &kMkvRecogniser,      MatroskaSize},
    {"webm",  C::kWebm,  &kMkvRecogniser,      MatroskaSize},
    {"ts",    C::kTs,    &kTsRecogniser,       TsSize},
    {"mts",   C::kMts,   &kMtsRecogniser,      MtsSize},
    {"mxf",   C::kMxf,   &kMxfRecogniser,      MxfSize},
    {"mp3",   C::kMp3,   &kMp3Recogniser,      Mp3Size},
    {"mid",   C::kMid,   &kMidRecogniser,      MidSize},
    {"ape",   C::kApe,   &kApeRecogniser,      ApeSize},
    {"wav",   C::kWav,   &kWavRecogniser,      RiffSize},
    {"mov",   C::kMov,   &kMovRecogniser,      IsoMediaSize},
    {"mp2",   C::kMp2,   &kMp2Recogniser,      NextStartWithin256MiB},
    {"mmf",   C::kMmf,   &kMmfRecogniser,      NextStartWithin256MiB},
    {"gif",   C::kGif,   &kGifRecogniser,      GifSize},
    {"bmp",   C::kBmp,   &kBmpRecogniser,      BmpSize},
    {"dib",   C::kBmp,   &kBmpRecogniser,      BmpSize},
    {"jpg",   C::kJpg,   &kJpgRecogniser,      JpgSize},
    {"jpeg",  C::kJpg,   &kJpgRecogniser,      JpgSize},
    {"jpe",   C::kJpg,   &kJpgRecogniser,      JpgSize},
    {"jfif",  C::kJpg,   &kJpgRecogniser,      JpgSize},
    {"png",   C::kPng,   &kPngRecogniser,      PngSize},
    {"psd",   C::kPsd,   &kPsdRecogniser,      PsdSize},
    {"tif",   C::kTif,   &kTifRecogniser,      TifSize},
    {"tiff",  C::kTif,   &kTifRecogniser,      TifSize},
    {"cr2",   C::kCr2,   &kTifRecogniser,      RawTiffSize},
    {"nef",   C::kNef,   &kTifRecogniser,      RawTiffSize},
    {"arw",   C::kArw,   &kTifRecogniser,      RawTiffSize},
    {"dng",   C::kDng,   &kTifRecogniser,      RawTiffSize},
    {"orf",   C::kOrf,   &kTifRecogniser,      RawTiffSize},
    {"rw2",   C::kRw2,   &kTifRecogniser,      RawTiffSize},
    {"pef",   C::kPef,   &kTifRecogniser,      RawTiffSize},
    {"ico",   C::kIco,   &kIcoRecogniser,      IcoSize},
    {"doc",   C::kDoc,   &kCompoundRecogniser, CompoundSize},
    {"dot",   C::kDoc,   &kCompoundRecogniser, CompoundSize},
    {"wps",   C::kDoc,   &kCompoundRecogniser, CompoundSize},
    {"wpt",   C::kDoc,   &kCompoundRecogniser, CompoundSize},
    {"xls",   C::kXls,   &kCompoundRecogniser, CompoundSize},
    {"xlt",   C::kXls,   &kCompoundRecogniser, CompoundSize},
    {"xla",   C::kXls,   &kCompoundRecogniser, CompoundSize},
    {"et",    C::kXls,   &kCompoundRecogniser, CompoundSize},
    {"ett",   C::kXls,   &kCompoundRecogniser, CompoundSize},
    {"ppt",   C::kPpt,   &kCompoundRecogniser, CompoundSize},
    {"pot",   C::kPpt,   &kCompoundRecogniser, CompoundSize},
    {"pps",   C::kPpt,   &kCompoundRecogniser, CompoundSize},
    {"dps",   C::kPpt,   &kCompoundRecogniser, CompoundSize},
    {"dpt",   C::kPpt,   &kCompoundRecogniser, CompoundSize},
    {"ole",   C::kOle,   &kCompoundRecogniser, CompoundSize},
    {"docx",  C::kDocx,  &kOoxmlRecogniser,    OoxmlSize},
    {"docm",  C::kDocx,  &kOoxmlRecogniser,    OoxmlSize},
    {"dotm",  C::kDocx,  &kOoxmlRecogniser,    OoxmlSize},
    {"dotx",  C::kDocx,  &kOoxmlRecogniser,    OoxmlSize},
    {"xlsx",  C::kXlsx,  &kOoxmlRecogniser,    OoxmlSize},
    {"xlsb",  C::kXlsx,  &kOoxmlRecogniser,    OoxmlSize},
    {"xlsm",  C::kXlsx,  &kOoxmlRecogniser,    OoxmlSize},
    {"xlam",  C::kXlsx,  &kOoxmlRecogniser,    OoxmlSize},
    {"xltx",  C::kXlsx,  &kOoxmlRecogniser,    OoxmlSize},
    {"xltm",  C::kXlsx,  &kOoxmlRecogniser,    OoxmlSize},
    {"pptx",  C::kPptx,  &kOoxmlRecogniser,    OoxmlSize},
    {"pptm",  C::kPptx,  &kOoxmlRecogniser,    OoxmlSize},
    {"potx",  C::kPptx,  &kOoxmlRecogniser,    OoxmlSize},
    {"potm",  C::kPptx,  &kOoxmlRecogniser,    OoxmlSize},
    {"ppsx",  C::kPptx,  &kOoxmlRecogniser,    OoxmlSize},
    {"ppsm",  C::kPptx,  &kOoxmlRecogniser,    OoxmlSize},
    {"mso07", C::kMso07, &kOoxmlRecogniser,    OoxmlSize},
    {"pdf",   C::kPdf,   &kPdfRecogniser,      PdfSize},
    {"gz",    C::kGz,    &kGzRecogniser,       GzSize},
    {"gzip",  C::kGz,    &kGzRecogniser,       GzSize},
    {"7z",    C::k7z,    &k7zRecogniser,       SevenZipSize},
    {"zip",   C::kZip,   &kZipRecogniser,      ZipSize},
    {"odt",   C::kOdt,   &kZipRecogniser,      ZipSize},
    {"ods",   C::kOds,   &kZipRecogniser,      ZipSize},
    {"odp",   C::kOdp,   &kZipRecogniser,      ZipSize},
    {"epub",  C::kEpub,  &kZipRecogniser,      ZipSize},
    {"rar",   C::kRar,   &kRarRecogniser,      RarSize},
    {"cab",   C::kCab,   &kCabRecogniser,      CabSize},
    {"exe",   C::kExe,   &kExeRecogniser,      nullptr},
    {"dll",   C::kDll,   &kExeRecogniser,      nullptr},
    {"sys",   C::kSys,   &kExeRecogniser,      nullptr},
    {"gho",   C::kGho,   &kGhoRecogniser,      nullptr},
    {"db",    C::kDb,    &kDbRecogniser,       DbSize},
    {"dbx",   C::kDbx,   &kDbxRecogniser,      NextStartWithin2GiB},
    {"pst",   C::kPst,   &kPstRecogniser,      NextStartWithin2GiB},
    {"fla",   C::kFla,   &kFlaRecogniser,      NextStartWithin256MiB},
    {"ttf",   C::kTtf,   &kTtfRecogniser,      TtfSize},
    {"webp",  C::kWebp,  &kWebpRecogniser,     WebpSize},
    {"raf",   C::kRaf,   &kRafRecogniser,      RafSize},
    {"flac",  C::kFlac,  &kFlacRecogniser,     FlacSize},
    {"ogg",   C::kOgg,   &kOggRecogniser,      OggSize},
    {"opus",  C::kOpus,  &kOggRecogniser,      OggSize},
    {"xz",    C::kXz,    &kXzRecogniser,       XzSize},
    {"bz2",   C::kBz2,   &kBz2Recogniser,      Bz2Size},
    {"zst",   C::kZst,   &kZstdRecogniser,     ZstdSize},
    {"tar",   C::kTar,   &kTarRecogniser,      TarArchiveSize},
    {"rtf",   C::kRtf,   &kRtfRecogniser,      RtfSize},
    {"svg",   C::kSvg,   &kXmlRecogniser,      XmlSize},
    {"xml",   C::kXml,   &kXmlRecogniser,      XmlSize},
    {"eml",   C::kEml,   &kMailRecogniser,     MailSize},
    {"mbox",  C::kMbox,  &kMailRecogniser,     MailSize},
    {"eml",   C::kEml,   &kMailRecogniserMore, MailSize},
    // Text by its content, after every kind with a magic of its own.
    {"txt",   C::kTxt,   &kPlainTextRecogniser, PlainTextSize},
    {"sh",    C::kSh,    &kPlainTextRecogniser, PlainTextSize},
    {"py",    C::kPy,    &kPlainTextRecogniser, PlainTextSize},
    {"pl",    C::kPl,    &kPlainTextRecogniser, PlainTextSize},
    {"c",     C::kC,     &kPlainTextRecogniser, PlainTextSize},
    {"cpp",   C::kCpp,   &kPlainTextRecogniser, PlainTextSize},
    {"java",  C::kJava,  &kPlainTextRecogniser, PlainTextSize},
    {"js",    C::kJs,    &kPlainTextRecogniser, PlainTextSize},
    {"json",  C::kJson,  &kPlainTextRecogniser, PlainTextSize},
    {"xml",   C::kXmlText, &kPlainTextRecogniser, PlainTextSize},
    {"html",  C::kHtml,  &kPlainTextRecogniser, PlainTextSize},
    {"csv",   C::kCsv,   &kPlainTextRecogniser, PlainTextSize},
    {"ini",   C::kIni,   &kPlainTextRecogniser, PlainTextSize},
    {"",      C::kNone,  nullptr,              nullptr},
};
// clang-format on

constexpr size_t kRowCount = std::size(kRows) - 1;

// The first-byte dispatch: every distinct recogniser, in the order of its
// first row, and per quick-key offset a 256-entry table of bit masks naming
// the recognisers whose key at that offset holds for a byte value.
struct Dispatch {
  struct Group {
    const Recogniser* recogniser = nullptr;
    int32_t firstRow = -1;
  };
  struct KeyTable {
    size_t offset = 0;
    std::array<uint64_t, 256> masks{};
  };
  std::vector<Group> groups;
  std::vector<KeyTable> tables;
  uint64_t textPrefix = 0;  // recognisers whose first 8 bytes must look like text
  uint64_t alwaysMask = 0;     // recognisers without keys
  uint64_t noNextStart = 0;    // recognisers whose starts do not end a read-ahead
  bool usable = true;          // false when there are more recognisers than mask bits
  std::array<int32_t, kFileTypeCodeCount> firstRowOfCode{};
};

Dispatch::KeyTable& TableAt(Dispatch& d, size_t offset) {
  for (Dispatch::KeyTable& t : d.tables) {
    if (t.offset == offset) return t;
  }
  d.tables.push_back({offset, {}});
  return d.tables.back();
}

Dispatch BuildDispatch() {
  Dispatch d;
  d.firstRowOfCode.fill(-1);
  for (size_t row = 0; row < kRowCount; ++row) {
    const auto code = static_cast<size_t>(kRows[row].code);
    if (code < d.firstRowOfCode.size() && d.firstRowOfCode[code] < 0)
      d.firstRowOfCode[code] = static_cast<int32_t>(row);
    const Recogniser* recogniser = kRows[row].recogniser;
    bool known = false;
    for (const Dispatch::Group& group : d.groups) known = known || group.recogniser == recogniser;
    if (known || recogniser == nullptr) continue;
    const size_t bit = d.groups.size();
    if (bit >= 64) {
      d.usable = false;
      continue;
    }
    d.groups.push_back({recogniser, static_cast<int32_t>(row)});
    if (!recogniser->endsReadAhead) d.noNextStart |= uint64_t{1} << bit;
    if (recogniser->keyCount == 0 && recogniser->firstByteClass == nullptr) d.alwaysMask |= uint64_t{1} << bit;
    if (recogniser->firstByteClass != nullptr) {
      Dispatch::KeyTable& first = TableAt(d, 0);
      for (uint32_t value = 0; value < 256; ++value) {
        if (recogniser->firstByteClass(static_cast<uint8_t>(value))) first.masks[value] |= uint64_t{1} << bit;
      }
    }
    if (recogniser->textPrefix) d.textPrefix |= uint64_t{1} << bit;
    for (size_t k = 0; k < recogniser->keyCount && k < recogniser->keys.size(); ++k) {
      const QuickKey key = recogniser->keys[k];
      TableAt(d, key.offset).masks[key.value] |= uint64_t{1} << bit;
    }
  }
  return d;
}

const Dispatch& TheDispatch() {
  static const Dispatch dispatch = BuildDispatch();
  return dispatch;
}

}  // namespace

std::span<const FileSignatureRow> FileSignatureTable() {
  return {kRows, kRowCount};
}

namespace {

Recognition Recognise(CarveContext& context, const uint8_t* bytes, size_t length, uint64_t excluded) {
  if (bytes == nullptr) return {};
  const Dispatch& d = TheDispatch();
  if (!d.usable) return RecogniseSectorByTableWalk(context, bytes, length);
  uint64_t mask = d.alwaysMask;
  for (const Dispatch::KeyTable& table : d.tables) {
    if (table.offset < length) mask |= table.masks[bytes[table.offset]];
  }
  mask &= ~excluded;
  // Without a branch: whether the first byte let text in is as likely as not.
  const uint64_t holds = length >= 8 && TextPrefixHolds(bytes) ? ~uint64_t{0} : 0;
  mask &= ~d.textPrefix | holds;
  while (mask != 0) {
    const int bit = std::countr_zero(mask);
    mask &= mask - 1;
    const Dispatch::Group& group = d.groups[static_cast<size_t>(bit)];
    const FileTypeCode code = group.recogniser->test(context, bytes, length);
    if (code != FileTypeCode::kNone) return {code, group.firstRow};
  }
  return {};
}

}  // namespace

Recognition RecogniseSector(CarveContext& context, const uint8_t* bytes, size_t length) {
  return Recognise(context, bytes, length, 0);
}

Recognition RecogniseNextStart(CarveContext& context, const uint8_t* bytes, size_t length) {
  return Recognise(context, bytes, length, TheDispatch().noNextStart);
}

Recognition RecogniseSectorByTableWalk(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (bytes == nullptr) return {};
  for (size_t row = 0; row < kRowCount; ++row) {
    const FileTypeCode code = kRows[row].recogniser->test(context, bytes, length);
    if (code != FileTypeCode::kNone) return {code, static_cast<int32_t>(row)};
  }
  return {};
}

int32_t FirstRowOfCode(FileTypeCode code) {
  const auto index = static_cast<size_t>(code);
  const auto& rows = TheDispatch().firstRowOfCode;
  return index < rows.size() ? rows[index] : -1;
}

uint64_t SectorsToSkipAfterCarve(FileTypeCode code, uint64_t sizeBytes, uint32_t sectorSize) {
  switch (code) {
    case C::kDoc:
    case C::kOle:
    case C::kXls:
    case C::kPpt:
    case C::kWav:
    case C::kAvi:
    case C::kWmv:
    case C::kSwf:
    case C::kBmp:
    case C::kCab:
    case C::kTtf:
    case C::kIco: return 1;
    default: break;
  }
  if (!IsUsableSectorSize(sectorSize)) return 1;
  const uint64_t sectors = sizeBytes / sectorSize + (sizeBytes % sectorSize != 0 ? 1 : 0);
  return sectors == 0 ? 1 : sectors;
}

int32_t RowOfExtension(std::string_view extension) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; };
  for (size_t row = 0; row < kRowCount; ++row) {
    const std::string_view candidate = kRows[row].extension;
    if (candidate.size() != extension.size()) continue;
    bool same = true;
    for (size_t i = 0; i < candidate.size() && same; ++i) same = lower(extension[i]) == candidate[i];
    if (same) return static_cast<int32_t>(row);
  }
  return -1;
}

}  // namespace engine::signatures
