// SPDX-License-Identifier: GPL-3.0-or-later
// Audio and video: mpeg, mp4, rmvb, wmv, swf, avi, flv, 3gp, mkv, mts, mxf,
// mp3, mid, ape, wav, mov, mp2, mmf. (Transport streams have their own file.)
#include <algorithm>
#include <cstring>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr uint8_t kAsfHeaderGuid[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr uint8_t kAsfFilePropertiesGuid[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                              0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// ASF File Properties object: file size (64-bit) at +40, flags (32-bit) at +88; flag bit 0 = broadcast.
constexpr size_t kAsfFileSize = 40;
constexpr size_t kAsfFlags = 88;
constexpr size_t kAsfSearchFrom = 30;  // after the 30-byte header object

constexpr uint8_t kMxfKey[] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                               0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
// An M2TS first packet: 4-byte time code, then a transport packet carrying the PAT.
constexpr uint8_t kMtsPatBytes[] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
constexpr size_t kMtsPatOffset = 8;

constexpr uint8_t kMpegPack[] = {0x00, 0x00, 0x01, 0xBA};
constexpr uint8_t kMpegSystemHeader[] = {0x00, 0x00, 0x01, 0xBB};
constexpr uint8_t kMpegSequence[] = {0x00, 0x00, 0x01, 0xB3};
constexpr uint8_t kMpegExtension[] = {0x00, 0x00, 0x01, 0xB8};
constexpr uint8_t kMpegSequenceEnd[] = {0x00, 0x00, 0x01, 0xB7};
constexpr uint8_t kMpegProgramEnd[] = {0x00, 0x00, 0x01, 0xB9};
constexpr size_t kMpegHeaderWindow = 32;

constexpr uint8_t kRealEmptyIndex[] = {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0};
constexpr char kIsoMediaText[] = "freeIsoMedia File Produced";  // 26 bytes
constexpr uint8_t kApeTagFooter[] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07};
constexpr size_t kApeTagFooterBytes = 32;
constexpr size_t kId3v1Bytes = 128;

// MIDI: "MThd", header length 6 (big-endian), format, track count (offset 10), division; then "MTrk" chunks.
constexpr size_t kMidiTrackCount = 10;
constexpr size_t kMidiFirstTrack = 14;
constexpr size_t kMidiChunkHeader = 8;

C RecogniseMpeg(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16) return C::kNone;
  const size_t window = std::min(length, kMpegHeaderWindow);
  if (b.Equals(0, kMpegPack, 4) && ForwardSearch(bytes, window, kMpegSystemHeader, 4) != nullptr) return C::kMpeg;
  if (b.Equals(0, kMpegSequence, 4) && ForwardSearch(bytes, window, kMpegExtension, 4) != nullptr) return C::kMpeg;
  return C::kNone;
}

C RecogniseMp4(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 32 || !b.Equals(4, "ftyp", 4)) return C::kNone;
  return b.Equals(8, "iso", 3) || b.Equals(8, "mp42", 4) ? C::kMp4 : C::kNone;
}

C RecogniseRmvb(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 4 && ByteView(bytes, length).Equals(0, ".RMF", 4) ? C::kRmvb : C::kNone;
}

C RecogniseWmv(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 24 && ByteView(bytes, length).Equals(0, kAsfHeaderGuid, 16) ? C::kWmv : C::kNone;
}

C RecogniseSwf(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 8) return C::kNone;
  const uint8_t version = b.U8(3);
  if (b.Equals(0, "CWS", 3) && version >= 6 && version <= 15) return C::kSwf;
  if (b.Equals(0, "FWS", 3) && version < 6) return C::kSwf;
  return C::kNone;
}

C RecogniseAvi(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  return length >= 16 && b.Equals(0, "RIFF", 4) && b.Equals(8, "AVI ", 4) && b.Equals(12, "LIST", 4) ? C::kAvi
                                                                                                     : C::kNone;
}

C RecogniseFlv(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  return length >= 16 && b.Equals(0, "FLV\x01", 4) && b.Equals(5, "\x00\x00\x00\x09", 4) ? C::kFlv : C::kNone;
}

C Recognise3gp(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  return length >= 32 && b.Equals(4, "ftyp", 4) && b.Equals(8, "3gp", 3) ? C::k3gp : C::kNone;
}

C RecogniseMkv(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 16 && ByteView(bytes, length).Equals(0, "\x1A\x45\xDF\xA3", 4) ? C::kMkv : C::kNone;
}

C RecogniseMts(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16 || !b.Equals(kMtsPatOffset, kMtsPatBytes, sizeof kMtsPatBytes)) return C::kNone;
  // A later packet of the stream just carved (non-zero time code) is no new file.
  if (b.U32(0) != 0 && context.previousWasMts) return C::kNone;
  return C::kMts;
}

C RecogniseMxf(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 16 && ByteView(bytes, length).Equals(0, kMxfKey, sizeof kMxfKey) ? C::kMxf : C::kNone;
}

C RecogniseMp3(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  // The ID3v2 header is 10 bytes; every one of them is tested.
  if (length < 10 || !b.Equals(0, "ID3", 3)) return C::kNone;
  if (b.U8(3) == 0xFF || b.U8(4) == 0xFF || (b.U8(5) & 0x1F) != 0) return C::kNone;
  for (size_t i = 6; i < 10; ++i) {
    if (b.U8(i) >= 0x80) return C::kNone;
  }
  return C::kMp3;
}

C RecogniseMid(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  return length >= 16 && b.Equals(0, "MThd", 4) && b.U32Be(4) == 6 && b.Equals(kMidiFirstTrack, "MTrk", 4) ? C::kMid
                                                                                                           : C::kNone;
}

C RecogniseApe(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 4 && ByteView(bytes, length).Equals(0, "MAC ", 4) ? C::kApe : C::kNone;
}

C RecogniseWav(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  return length >= 16 && b.Equals(0, "RIFF", 4) && b.Equals(8, "WAVE", 4) && b.Equals(12, "fmt ", 4) ? C::kWav
                                                                                                     : C::kNone;
}

C RecogniseMov(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16) return C::kNone;
  if (b.Equals(0, "moov", 4)) return C::kMov;
  return b.Equals(4, "ftyp", 4) && b.Equals(8, "qt  ", 4) ? C::kMov : C::kNone;
}

C RecogniseMp2(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 4 && ByteView(bytes, length).Equals(0, "\xFF\xFD\xE4\x00", 4) ? C::kMp2 : C::kNone;
}

C RecogniseMmf(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 4 && ByteView(bytes, length).Equals(0, "MMMD", 4) ? C::kMmf : C::kNone;
}

// Collects the MIDI track chunks of a file as its bytes go by, to find where
// the last announced track ends. Chunk headers may straddle chunk borders.
class MidiTrackWalk {
 public:
  explicit MidiTrackWalk(uint32_t trackCount) : m_remaining(trackCount), m_valid(trackCount != 0) {}

  // Feeds the bytes [base, base + byteCount) of the file.
  void Feed(const uint8_t* data, size_t byteCount, uint64_t base) {
    while (m_valid && m_remaining > 0) {
      const uint64_t wanted = m_next + m_have;
      if (wanted < base) {  // a gap in what was fed
        m_valid = false;
        return;
      }
      if (wanted >= base + byteCount) return;
      const size_t offset = static_cast<size_t>(wanted - base);
      const size_t take = std::min(kMidiChunkHeader - m_have, byteCount - offset);
      std::memcpy(m_header + m_have, data + offset, take);
      m_have += take;
      if (m_have < kMidiChunkHeader) return;
      const ByteView header(m_header, kMidiChunkHeader);
      if (!header.Equals(0, "MTrk", 4)) {
        m_valid = false;
        return;
      }
      m_next += kMidiChunkHeader + header.U32Be(4);
      m_have = 0;
      --m_remaining;
    }
  }
  // True once every track was seen; End() is then the file's end.
  bool Complete() const { return m_valid && m_remaining == 0; }
  bool Failed() const { return !m_valid; }
  uint64_t End() const { return m_next; }

 private:
  uint64_t m_next = kMidiFirstTrack;
  uint32_t m_remaining;
  bool m_valid;
  uint8_t m_header[kMidiChunkHeader] = {};
  size_t m_have = 0;
};

}  // namespace

bool ParseMpegAudioHeader(const uint8_t* bytes, size_t length, bool allowFreeFormat, MpegAudioFrame* frame) {
  // Bitrates in kbit/s by [MPEG-1?][layer - 1][index].
  static constexpr uint16_t kBitrates[2][3][15] = {
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}}};
  static constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000};
  if (bytes == nullptr || length < 4 || frame == nullptr) return false;
  if (bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0) return false;
  const uint8_t version = (bytes[1] >> 3) & 3;
  const uint8_t layerBits = (bytes[1] >> 1) & 3;
  const uint8_t bitrateIndex = bytes[2] >> 4;
  const uint8_t rateIndex = (bytes[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 15 || rateIndex == 3 || (bytes[3] & 3) == 2) return false;
  if (bitrateIndex == 0 && !allowFreeFormat) return false;
  const uint8_t layer = static_cast<uint8_t>(4 - layerBits);
  const bool mpeg1 = version == 3;
  const uint32_t sampleRate = kSampleRates[rateIndex] >> (mpeg1 ? 0 : (version == 2 ? 1 : 2));
  const uint32_t bitrate = kBitrates[mpeg1 ? 1 : 0][layer - 1][bitrateIndex] * 1000u;
  const uint32_t padding = (bytes[2] >> 1) & 1;
  uint32_t frameBytes = 0;
  if (layer == 1) {
    frameBytes = (12 * bitrate / sampleRate + padding) * 4;
  } else {
    const uint32_t factor = (layer == 3 && !mpeg1) ? 72 : 144;
    frameBytes = factor * bitrate / sampleRate + padding;
  }
  frame->bytes = frameBytes;
  frame->sampleRate = sampleRate;
  frame->channelMode = bytes[3] >> 6;
  frame->version = version;
  frame->layer = layer;
  return true;
}

const Recogniser kMpegRecogniser{RecogniseMpeg, {{{0, 0x00}}}, 1};
const Recogniser kMp4Recogniser{RecogniseMp4, {{{4, 'f'}}}, 1};
const Recogniser kRmvbRecogniser{RecogniseRmvb, {{{0, '.'}}}, 1};
const Recogniser kWmvRecogniser{RecogniseWmv, {{{0, 0x30}}}, 1};
const Recogniser kSwfRecogniser{RecogniseSwf, {{{0, 'C'}, {0, 'F'}}}, 2};
const Recogniser kAviRecogniser{RecogniseAvi, {{{0, 'R'}}}, 1};
const Recogniser kFlvRecogniser{RecogniseFlv, {{{0, 'F'}}}, 1};
const Recogniser k3gpRecogniser{Recognise3gp, {{{4, 'f'}}}, 1};
const Recogniser kMkvRecogniser{RecogniseMkv, {{{0, 0x1A}}}, 1};
const Recogniser kMtsRecogniser{RecogniseMts, {{{kMtsPatOffset + 2, 0xB0}}}, 1};
const Recogniser kMxfRecogniser{RecogniseMxf, {{{0, 0x06}}}, 1};
const Recogniser kMp3Recogniser{RecogniseMp3, {{{0, 'I'}}}, 1};
const Recogniser kMidRecogniser{RecogniseMid, {{{0, 'M'}}}, 1};
const Recogniser kApeRecogniser{RecogniseApe, {{{0, 'M'}}}, 1};
const Recogniser kWavRecogniser{RecogniseWav, {{{0, 'R'}}}, 1};
const Recogniser kMovRecogniser{RecogniseMov, {{{0, 'm'}, {4, 'f'}}}, 2};
const Recogniser kMp2Recogniser{RecogniseMp2, {{{0, 0xFF}}}, 1};
const Recogniser kMmfRecogniser{RecogniseMmf, {{{0, 'M'}}}, 1};

uint64_t MpegSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  const bool videoStream = ByteView(bytes, length).Equals(0, kMpegSequence, 4);
  const uint8_t* endCode = videoStream ? kMpegSequenceEnd : kMpegProgramEnd;
  return ReadAhead(context, k6GiB, true, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFirstQualifying(chunk, chunkBytes, endCode, 4, sectorSize);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at + 4);
  });
}

uint64_t Mp4Size(CarveContext& context, const uint8_t*, size_t) {
  constexpr size_t kTextBytes = sizeof kIsoMediaText - 1;
  return ReadAhead(context, k6GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFrom(chunk, chunkBytes, 0, kIsoMediaText, kTextBytes);
    if (at == kNotFound) return ChunkVerdict::GoOn();
    size_t end = at + kTextBytes;
    while (end < chunkBytes && chunk[end] != 0) ++end;
    return ChunkVerdict::EndWithSize(base + end);
  });
}

uint64_t RmvbSize(CarveContext& context, const uint8_t*, size_t) {
  return ReadAhead(context, k6GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFrom(chunk, chunkBytes, 0, kRealEmptyIndex, sizeof kRealEmptyIndex);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at + sizeof kRealEmptyIndex);
  });
}

uint64_t WmvSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  if (length <= kAsfSearchFrom) return sectorSize;
  const ByteView b(bytes, length);
  const size_t object = FindFrom(bytes, length, kAsfSearchFrom, kAsfFilePropertiesGuid, 16);
  if (object == kNotFound || !b.Has(object + kAsfFlags, 4) || !b.Has(object + kAsfFileSize, 8)) return sectorSize;
  if ((b.U32(object + kAsfFlags) & 1) != 0) return sectorSize;  // broadcast: the size field is not valid
  return std::min<uint64_t>(b.U64(object + kAsfFileSize), k256MiB);
}

uint64_t SwfSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (b.Equals(0, "FWS", 3)) return std::min<uint64_t>(b.U32(4), k256MiB);
  return context.sectorSize;
}

uint64_t RiffSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (length < 16) return context.sectorSize;
  // The RIFF size excludes the 8-byte chunk header; the sum stays 32-bit.
  return static_cast<uint32_t>(ByteView(bytes, length).U32(4) + 8u);
}

uint64_t Mp3Size(CarveContext& context, const uint8_t*, size_t) {
  uint64_t candidate = 0;
  uint64_t size = ReadAhead(context, k2GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFrom(chunk, chunkBytes, 0, "TAG", 3);
    if (at != kNotFound) candidate = base + at + kId3v1Bytes;
    return ChunkVerdict::GoOn();
  });
  if (candidate != 0 && candidate < size) size = candidate;
  return size;
}

uint64_t MidSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  // The tracks the header announces bound the file; the next file start
  // within 8 MiB bounds it as well, and the smaller bound wins.
  MidiTrackWalk walk(ByteView(bytes, length).U16Be(kMidiTrackCount));
  walk.Feed(bytes, length, 0);
  if (walk.Complete() && walk.End() <= length) return walk.End();
  const uint64_t size = ReadAhead(context, k8MiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    walk.Feed(chunk, chunkBytes, base);
    return walk.Complete() && walk.End() <= base + chunkBytes ? ChunkVerdict::EndAfterChunk() : ChunkVerdict::GoOn();
  });
  return walk.Complete() ? std::min(size, walk.End()) : size;
}

uint64_t ApeSize(CarveContext& context, const uint8_t*, size_t) {
  return ReadAhead(context, k2GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFrom(chunk, chunkBytes, 0, kApeTagFooter, sizeof kApeTagFooter);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at + kApeTagFooterBytes);
  });
}

}  // namespace engine::signatures
