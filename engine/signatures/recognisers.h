// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/file_type_code.h"
#include "engine/signatures/read_ahead.h"

// The recognisers and size rules the signature table is made of, one family
// per recognisers_<family>.cpp. A recogniser looks at one candidate sector
// (bytes, length) and answers the code of the kind it found, or kNone; a size
// rule measures the file that starts there, in bytes. Both read the shared
// CarveContext (sector size, reader, hit sector, read position) and may read
// the source around the candidate; every offset taken from the data is
// checked against its buffer. Scanning thread only.
namespace engine::signatures {

using RecogniseFn = FileTypeCode (*)(CarveContext& context, const uint8_t* bytes, size_t length);
using SizeRuleFn = uint64_t (*)(CarveContext& context, const uint8_t* bytes, size_t length);

// One byte a recogniser cannot match without: byte `offset` equals `value`.
struct QuickKey {
  uint8_t offset = 0;
  uint8_t value = 0;
};

// A recogniser and its quick keys: a sector can match only when at least one
// key holds (no keys and no first-byte class: always tried). The keys drive
// the first-byte dispatch and must never exclude a sector the test would
// accept.
struct Recogniser {
  RecogniseFn test = nullptr;
  std::array<QuickKey, 3> keys{};
  uint8_t keyCount = 0;
  // A key over a class of values: byte 0 is one this answers true for.
  bool (*firstByteClass)(uint8_t) = nullptr;
  // The first 8 bytes must look like UTF-8 text (TextPrefixHolds, checked
  // in the dispatch without a call; the test must hold to it).
  bool textPrefix = false;
  // Whether a start of this kind ends another file's read-ahead
  // (FindNextFileStart). Text does not: text runs on inside text kinds,
  // documents and mail, and a text file's middle looks like a start.
  bool endsReadAhead = true;
};

// --- images (recognisers_images.cpp)
extern const Recogniser kGifRecogniser;
extern const Recogniser kBmpRecogniser;
extern const Recogniser kJpgRecogniser;
extern const Recogniser kPngRecogniser;
extern const Recogniser kPsdRecogniser;
extern const Recogniser kTifRecogniser;
extern const Recogniser kIcoRecogniser;
extern const Recogniser kRafRecogniser;  // Fujifilm RAW
// Camera RAW files built on TIFF (CR2, NEF, ARW, DNG, ORF, RW2, PEF): the
// TIFF walk to the furthest directory, strip or tile, up to 1 GiB.
uint64_t RawTiffSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t RafSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t JpgSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t GifSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t PngSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t BmpSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t IcoSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t TifSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t PsdSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- audio and video (recognisers_media.cpp)
extern const Recogniser kMpegRecogniser;
extern const Recogniser kMp4Recogniser;
extern const Recogniser kRmvbRecogniser;
extern const Recogniser kWmvRecogniser;
extern const Recogniser kSwfRecogniser;
extern const Recogniser kAviRecogniser;
extern const Recogniser kFlvRecogniser;
extern const Recogniser k3gpRecogniser;
extern const Recogniser kMkvRecogniser;
extern const Recogniser kMtsRecogniser;
extern const Recogniser kMxfRecogniser;
extern const Recogniser kMp3Recogniser;
extern const Recogniser kMidRecogniser;
extern const Recogniser kApeRecogniser;
extern const Recogniser kWavRecogniser;
extern const Recogniser kMovRecogniser;
extern const Recogniser kMp2Recogniser;
extern const Recogniser kMmfRecogniser;
// One MPEG audio frame header (layers I-III of MPEG-1, MPEG-2 and MPEG-2.5).
struct MpegAudioFrame {
  uint32_t bytes = 0;  // the whole frame, header included; 0 for a free-format frame
  uint32_t sampleRate = 0;
  uint32_t channelMode = 0;
  uint8_t version = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  uint8_t layer = 0;    // 1, 2 or 3
};
// Parses the 4-byte frame header at bytes[0]; false when the bytes are no
// frame header (or fewer than 4). allowFreeFormat accepts the free-format
// bitrate, whose frame length the header does not give (bytes stays 0).
bool ParseMpegAudioHeader(const uint8_t* bytes, size_t length, bool allowFreeFormat, MpegAudioFrame* frame);
uint64_t MpegSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t Mp4Size(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t IsoMediaSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t MatroskaSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t FlvSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t MxfSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t RmvbSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t WmvSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t SwfSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t RiffSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t Mp3Size(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t MidSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t ApeSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- MPEG transport streams (recognisers_transport_stream.cpp)
extern const Recogniser kTsRecogniser;
uint64_t TsSize(CarveContext& context, const uint8_t* bytes, size_t length);
// True when the candidate starts a stream of 192-byte packets (a 4-byte time
// code, then a transport packet whose sync byte lines up in every packet of
// the sector and of the 4 KiB read at the read position), which is no
// continuation of a stream met or carved before (as for ts).
bool StartsM2tsStream(CarveContext& context, const uint8_t* bytes, size_t length);
// The 192-byte packets from the candidate on, while their sync bytes hold;
// records the stream's sectors like TsSize.
uint64_t MtsSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- office documents (recognisers_office.cpp)
extern const Recogniser kCompoundRecogniser;
extern const Recogniser kOoxmlRecogniser;
extern const Recogniser kPdfRecogniser;
uint64_t CompoundSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t OoxmlSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t PdfSize(CarveContext& context, const uint8_t* bytes, size_t length);
// The compound-document header computation alone: 0 when it gives no result;
// a size past kOfficeLimit when the FAT puts the end past it (the hit is then
// rejected by CompoundSize).
uint64_t CompoundHeaderSize(CarveContext& context, const uint8_t* bytes, size_t length);
// Size of a ZIP-like file: the last end-of-central-directory record in the
// candidate sector, else in a read-ahead chunk, ends it (the OOXML and zip
// rows, each with its own limit).
uint64_t ZipLikeSize(CarveContext& context, const uint8_t* bytes, size_t length, uint64_t limitBytes);

// --- archives (recognisers_archives.cpp)
extern const Recogniser kGzRecogniser;
extern const Recogniser k7zRecogniser;
extern const Recogniser kZipRecogniser;
extern const Recogniser kRarRecogniser;
extern const Recogniser kCabRecogniser;
uint64_t ZipSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t GzSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t RarSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t CabSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t SevenZipSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- programs and disk images (recognisers_executables.cpp); never carved
extern const Recogniser kExeRecogniser;
extern const Recogniser kGhoRecogniser;

// --- databases, mail stores, Flash sources, fonts (recognisers_other.cpp)
extern const Recogniser kDbRecogniser;
extern const Recogniser kDbxRecogniser;
extern const Recogniser kPstRecogniser;
extern const Recogniser kFlaRecogniser;
extern const Recogniser kTtfRecogniser;
uint64_t TtfSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t DbSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- ISO media told apart by brand (recognisers_iso_brands.cpp)
// The kind the file-type box at the start of bytes names by its brands:
// kHeic, kAvif, kCr3, kM4a, kM4v, or kNone for any other brand (or no such box).
FileTypeCode IsoBrandCode(const uint8_t* bytes, size_t length);
// A HEIF/AVIF image's end: the file-type box, then top-level boxes (meta,
// mdat, free...) up to the first that is none; 0 without a meta box, a
// value past cap when a box runs past it.
uint64_t IsoImageEnd(FileWindow& window, uint64_t cap);
uint64_t HeifSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- stream walks (recognisers_streams.cpp); a stream cut before its end is
// carved as far as it holds and marked damaged (context.carvedDamaged)
extern const Recogniser kWebpRecogniser;
extern const Recogniser kFlacRecogniser;
extern const Recogniser kOggRecogniser;
extern const Recogniser kXzRecogniser;
extern const Recogniser kBz2Recogniser;
extern const Recogniser kZstdRecogniser;
uint64_t WebpSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t FlacSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t OggSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t XzSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t Bz2Size(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t ZstdSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- text kinds and tar (recognisers_text.cpp)
extern const Recogniser kMailRecogniser;      // EML and mbox, first letters F, R, M
extern const Recogniser kMailRecogniserMore;  // EML, first letters D, S, X
extern const Recogniser kRtfRecogniser;
extern const Recogniser kXmlRecogniser;
extern const Recogniser kTarRecogniser;
uint64_t MailSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t RtfSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t XmlSize(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t TarArchiveSize(CarveContext& context, const uint8_t* bytes, size_t length);

// --- text told by its content (recognisers_plain_text.cpp): UTF-8 text
// from the sector's first byte, named by what it looks like (text_content.h)
extern const Recogniser kPlainTextRecogniser;
// The text up to its first byte that is no text (a zero byte: the rest of
// its last cluster), the next file start, the end of the run of sectors
// being scanned (context.runEnd) or kMaxTextBytes. Damaged unless a zero
// byte ended it, zeros to the end of its sector: text cut by anything else
// may go on elsewhere.
uint64_t PlainTextSize(CarveContext& context, const uint8_t* bytes, size_t length);
inline constexpr uint64_t kMaxTextBytes = 0x4000000;  // 64 MiB

// --- "next start" size rules: the read-ahead with no terminator (read_ahead.cpp)
uint64_t NextStartWithin128MiB(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t NextStartWithin256MiB(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t NextStartWithin2GiB(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t NextStartWithin4GiB(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t NextStartWithin6GiB(CarveContext& context, const uint8_t* bytes, size_t length);
uint64_t NextStartWithin64GiB(CarveContext& context, const uint8_t* bytes, size_t length);

// Read-ahead limits (bytes).
inline constexpr uint64_t k8MiB = 0x800000;
inline constexpr uint64_t k128MiB = 0x8000000;
inline constexpr uint64_t k256MiB = 0x10000000;
inline constexpr uint64_t k1GiB = 0x40000000;
inline constexpr uint64_t k2GiB = 0x80000000;
inline constexpr uint64_t k4GiB = 0x100000000;
inline constexpr uint64_t k6GiB = 0x180000000;
inline constexpr uint64_t k64GiB = 0x1000000000;
// Office documents: both the header computation and the read-ahead stop here.
inline constexpr uint64_t kOfficeLimit = 0x7FFFFFF;

}  // namespace engine::signatures
