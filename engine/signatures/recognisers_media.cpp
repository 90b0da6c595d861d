// SPDX-License-Identifier: GPL-3.0-or-later
// Audio and video: mpeg, mp4, rmvb, wmv, swf, avi, flv, 3gp, mkv, mts, mxf,
// mp3, mid, ape, wav, mov, mp2, mmf. (Transport streams have their own file.)
#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/deflate_walk.h"
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

constexpr uint8_t kMxfRandomIndexKey[] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                          0x0D, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00};
constexpr uint64_t kEbmlHeaderId = 0x1A45DFA3;
constexpr uint64_t kSegmentId = 0x18538067;
constexpr uint8_t kMaxSwfVersion = 50;
// Frames that must chain before a tagless MP3 is recognised.
constexpr int kChainedFrames = 4;
// Structure walks stop after this many steps.
constexpr uint32_t kMaxWalkSteps = 1u << 22;

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

// A layer III frame header at bytes[0] followed by kChainedFrames - 1 more
// of the same version, layer and sample rate, each where the previous one's
// length says (read through the context when they lie past the sector).
bool ChainedMp3Frames(CarveContext& context, const uint8_t* bytes, size_t length) {
  MpegAudioFrame first;
  if (!ParseMpegAudioHeader(bytes, length, false, &first) || first.layer != 3) return false;
  uint64_t offset = first.bytes;
  for (int i = 1; i < kChainedFrames; ++i) {
    const uint8_t* header = nullptr;
    if (offset + 4 <= length) {
      header = bytes + offset;
    } else {
      header = ReadContextBytes(context, context.readPosition, offset, 4);
    }
    MpegAudioFrame frame;
    if (header == nullptr || !ParseMpegAudioHeader(header, 4, false, &frame) || frame.layer != first.layer ||
        frame.version != first.version || frame.sampleRate != first.sampleRate) {
      return false;
    }
    offset += frame.bytes;
  }
  return true;
}

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
  if (const C branded = IsoBrandCode(bytes, length); branded != C::kNone) return branded;
  if (b.Equals(8, "iso", 3) || b.Equals(8, "mp42", 4)) return C::kMp4;
  // Other ISO media brands ("M4A ", "M4V ", "mp41", "avc1", "dash", "f4v "...): a file-type box of
  // plausible size whose brand is text; the 3GPP and QuickTime brands stay with their own rows.
  const uint32_t boxSize = b.U32Be(0);
  if (boxSize < 16 || boxSize > 1024 || boxSize % 4 != 0) return C::kNone;
  if (b.Equals(8, "3g", 2) || b.Equals(8, "qt  ", 4)) return C::kNone;
  for (size_t i = 8; i < 12; ++i) {
    const uint8_t c = b.U8(i);
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ')) return C::kNone;
  }
  return C::kMp4;
}

C RecogniseRmvb(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 4 && ByteView(bytes, length).Equals(0, ".RMF", 4) ? C::kRmvb : C::kNone;
}

C RecogniseWmv(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 24 && ByteView(bytes, length).Equals(0, kAsfHeaderGuid, 16) ? C::kWmv : C::kNone;
}

C RecogniseSwf(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16) return C::kNone;
  const uint8_t version = b.U8(3);
  if (b.Equals(0, "CWS", 3) && version >= 6 && version <= kMaxSwfVersion) return C::kSwf;
  if (!b.Equals(0, "FWS", 3) || version == 0 || version > kMaxSwfVersion) return C::kNone;
  // Uncompressed, any version: the length must hold the header (frame rectangle, rate and count).
  const uint32_t bits = b.U8(8) >> 3;
  const uint32_t rectangle = (5 + 4 * bits + 7) / 8;
  return b.U32(4) >= 8 + rectangle + 4 ? C::kSwf : C::kNone;
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
  if (length < 16 || !ByteView(bytes, length).Equals(0, "\x1A\x45\xDF\xA3", 4)) return C::kNone;
  // The EBML header's DocType element (0x4282, 4 bytes) tells WebM from Matroska.
  constexpr uint8_t kWebmDocType[] = {0x42, 0x82, 0x84, 'w', 'e', 'b', 'm'};
  const size_t header = std::min<size_t>(length, 64);
  return ForwardSearch(bytes, header, kWebmDocType, sizeof kWebmDocType) != nullptr ? C::kWebm : C::kMkv;
}

C RecogniseMts(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 16) return C::kNone;
  if (!b.Equals(kMtsPatOffset, kMtsPatBytes, sizeof kMtsPatBytes)) {
    // Any other first packet: 192-byte packets whose sync bytes line up.
    return StartsM2tsStream(context, bytes, length) ? C::kMts : C::kNone;
  }
  // A later packet of the stream just carved (non-zero time code) is no new file.
  if (b.U32(0) != 0 && context.previousWasMts) return C::kNone;
  return C::kMts;
}

C RecogniseMxf(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 16 && ByteView(bytes, length).Equals(0, kMxfKey, sizeof kMxfKey) ? C::kMxf : C::kNone;
}

C RecogniseMp3(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 10) return C::kNone;
  // Without a tag: layer III frame headers that chain, frame after frame.
  if (b.U8(0) == 0xFF) return ChainedMp3Frames(context, bytes, length) ? C::kMp3 : C::kNone;
  // The ID3v2 header is 10 bytes; every one of them is tested.
  if (!b.Equals(0, "ID3", 3)) return C::kNone;
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

// ISO media and QuickTime top-level boxes.
bool IsTopLevelBox(const uint8_t* type) {
  static constexpr const char* kTypes[] = {"ftyp", "styp", "moov", "mdat", "free", "skip", "wide", "uuid", "pnot",
                                           "meta", "moof", "mfra", "sidx", "ssix", "prft", "emsg", "pdin", "junk"};
  for (const char* known : kTypes) {
    if (std::memcmp(type, known, 4) == 0) return true;
  }
  return false;
}

// ISO media (mp4, mov, 3gp): the top-level boxes by their sizes (32-bit,
// 64-bit large size) up to the first bytes that are no top-level box; 0 when
// there is no movie box or a box runs to the end of the file (size 0).
uint64_t IsoMediaEnd(FileWindow& window, uint64_t cap) {
  uint64_t pos = 0;
  bool movie = false;
  for (uint32_t step = 0; step < kMaxWalkSteps; ++step) {
    const uint8_t* h = window.Get(pos, 8);
    if (h == nullptr || !IsTopLevelBox(h + 4)) break;
    if (pos != 0 && std::memcmp(h + 4, "ftyp", 4) == 0) break;  // the next file's first box
    const ByteView box(h, 8);
    uint64_t size = box.U32Be(0);
    if (size == 0) return 0;
    if (size == 1) {
      const uint8_t* large = window.Get(pos + 8, 8);
      if (large == nullptr) return 0;
      size = ByteView(large, 8).U64Be(0);
      if (size < 16) return 0;
    } else if (size < 8) {
      break;
    }
    if (box.Equals(4, "moov", 4) || box.Equals(4, "moof", 4)) movie = true;
    if (size > cap || pos + size > cap) return cap + 1;
    pos += size;
  }
  return movie ? pos : 0;
}

// An EBML variable-length number at p (at most 8 bytes); its byte count, 0 when invalid.
size_t EbmlNumber(FileWindow& window, uint64_t pos, bool keepMarker, uint64_t* value, bool* unknown) {
  const uint8_t* first = window.Get(pos, 1);
  if (first == nullptr || *first == 0) return 0;
  const size_t bytes = static_cast<size_t>(std::countl_zero(*first)) + 1;
  const uint8_t* p = window.Get(pos, bytes);
  if (p == nullptr) return 0;
  uint64_t v = keepMarker ? p[0] : (p[0] & (0xFF >> bytes));
  bool allOnes = v == (0xFFu >> bytes);
  for (size_t i = 1; i < bytes; ++i) {
    v = (v << 8) | p[i];
    allOnes = allOnes && p[i] == 0xFF;
  }
  *value = v;
  if (unknown != nullptr) *unknown = !keepMarker && allOnes;
  return bytes;
}

// Matroska and WebM: the EBML header element, then the segment by its size.
uint64_t MatroskaEnd(FileWindow& window, uint64_t cap) {
  uint64_t pos = 0;
  for (int element = 0; element < 2; ++element) {
    uint64_t id = 0;
    uint64_t size = 0;
    bool unknown = false;
    const size_t idBytes = EbmlNumber(window, pos, true, &id, nullptr);
    if (idBytes == 0) return 0;
    const size_t sizeBytes = EbmlNumber(window, pos + idBytes, false, &size, &unknown);
    if (sizeBytes == 0 || unknown) return 0;
    if (id != (element == 0 ? kEbmlHeaderId : kSegmentId)) return 0;
    if (size > cap) return cap + 1;
    pos += idBytes + sizeBytes + size;
    if (pos > cap) return cap + 1;
  }
  return pos;
}

// FLV: the header, then tags (audio, video, script data) whose trailing
// previous-tag size matches; ends after the last such tag.
uint64_t FlvEnd(FileWindow& window) {
  const uint8_t* h = window.Get(0, 9);
  if (h == nullptr) return 0;
  const uint64_t headerBytes = ByteView(h, 9).U32Be(5);
  if (headerBytes < 9 || headerBytes > 1024) return 0;
  uint64_t pos = headerBytes + 4;
  for (uint32_t step = 0; step < kMaxWalkSteps; ++step) {
    const uint8_t* tag = window.Get(pos, 11);
    if (tag == nullptr) break;
    const uint8_t type = tag[0];
    const uint32_t dataBytes = (uint32_t{tag[1]} << 16) | (uint32_t{tag[2]} << 8) | tag[3];
    if ((type != 8 && type != 9 && type != 18) || tag[8] != 0 || tag[9] != 0 || tag[10] != 0) break;
    const uint8_t* previous = window.Get(pos + 11 + dataBytes, 4);
    if (previous == nullptr || ByteView(previous, 4).U32Be(0) != 11 + dataBytes) break;
    pos += 11 + uint64_t{dataBytes} + 4;
  }
  return pos;
}

// MXF: key-length-value triplets (SMPTE keys, BER lengths) from the header
// partition on, to the first bytes that are no such triplet or the random
// index pack that closes the file.
uint64_t MxfEnd(FileWindow& window, uint64_t cap) {
  uint64_t pos = 0;
  for (uint32_t step = 0; step < kMaxWalkSteps; ++step) {
    const uint8_t* k = window.Get(pos, 17);
    if (k == nullptr || !ByteView(k, 17).Equals(0, kMxfKey, 4)) break;
    // A second header partition is the next file's.
    if (pos != 0 && ByteView(k, 17).Equals(0, kMxfKey, 13) && k[13] == 0x02) break;
    const bool randomIndex = ByteView(k, 17).Equals(0, kMxfRandomIndexKey, sizeof kMxfRandomIndexKey);
    uint64_t length = k[16];
    size_t lengthBytes = 1;
    if (length >= 0x80) {
      const size_t n = length & 0x7F;
      const uint8_t* l = window.Get(pos + 17, n);
      if (n == 0 || n > 8 || l == nullptr) return 0;
      length = 0;
      for (size_t i = 0; i < n; ++i) length = (length << 8) | l[i];
      lengthBytes = 1 + n;
    }
    if (length > cap) return cap + 1;
    pos += 16 + lengthBytes + length;
    if (pos > cap) return cap + 1;
    if (randomIndex) break;
  }
  return pos;
}

// MPEG program stream: pack headers (MPEG-1 or MPEG-2 with stuffing) and the
// system header and packets that follow them by their lengths, to the
// program end code (or to the first bytes that are none of these).
uint64_t ProgramStreamEnd(FileWindow& window, uint64_t cap) {
  uint64_t pos = 0;
  for (uint32_t step = 0; step < kMaxWalkSteps && pos <= cap; ++step) {
    const uint8_t* p = window.Get(pos, 14);
    if (p == nullptr || p[0] != 0 || p[1] != 0 || p[2] != 1) break;
    const uint8_t code = p[3];
    if (code == 0xB9) return pos + 4;
    if (code == 0xBA) {
      if ((p[4] >> 6) == 1) {
        pos += 14 + (p[13] & 7);
      } else if ((p[4] >> 4) == 2) {
        pos += 12;
      } else {
        break;
      }
    } else if (code >= 0xBB) {
      pos += 6 + uint64_t{ByteView(p, 6).U16Be(4)};
    } else {
      break;
    }
  }
  return pos;
}

// MP3: the ID3v2 tag by its size, the chain of frames of the first frame's
// kind, then an ID3v1 tag if one follows; 0 when no frame follows the tag.
uint64_t Mp3End(FileWindow& window) {
  uint64_t pos = 0;
  const uint8_t* tag = window.Get(0, 10);
  if (tag == nullptr) return 0;
  if (ByteView(tag, 10).Equals(0, "ID3", 3)) {
    const uint64_t tagBytes = (uint64_t{tag[6]} << 21) | (uint64_t{tag[7]} << 14) | (uint64_t{tag[8]} << 7) | tag[9];
    pos = 10 + tagBytes + ((tag[5] & 0x10) != 0 ? 10 : 0);
  }
  MpegAudioFrame first;
  uint32_t frames = 0;
  for (uint32_t step = 0; step < (1u << 24); ++step) {
    const uint8_t* header = window.Get(pos, 4);
    MpegAudioFrame frame;
    if (header == nullptr || !ParseMpegAudioHeader(header, 4, false, &frame)) break;
    if (frames == 0) first = frame;
    if (frame.layer != first.layer || frame.version != first.version || frame.sampleRate != first.sampleRate) break;
    // A frame that does not fit in the data is the end.
    if (window.Get(pos + frame.bytes - 1, 1) == nullptr) break;
    pos += frame.bytes;
    ++frames;
  }
  if (frames == 0) return 0;
  const uint8_t* v1 = window.Get(pos, 3);
  if (v1 != nullptr && std::memcmp(v1, "TAG", 3) == 0 && window.Get(pos + kId3v1Bytes - 1, 1) != nullptr) {
    pos += kId3v1Bytes;
  }
  return pos;
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
const Recogniser kMtsRecogniser{RecogniseMts, {{{kMtsPatOffset + 2, 0xB0}, {4, 0x47}}}, 2};
const Recogniser kMxfRecogniser{RecogniseMxf, {{{0, 0x06}}}, 1};
const Recogniser kMp3Recogniser{RecogniseMp3, {{{0, 'I'}, {0, 0xFF}}}, 2};
const Recogniser kMidRecogniser{RecogniseMid, {{{0, 'M'}}}, 1};
const Recogniser kApeRecogniser{RecogniseApe, {{{0, 'M'}}}, 1};
const Recogniser kWavRecogniser{RecogniseWav, {{{0, 'R'}}}, 1};
const Recogniser kMovRecogniser{RecogniseMov, {{{0, 'm'}, {4, 'f'}}}, 2};
const Recogniser kMp2Recogniser{RecogniseMp2, {{{0, 0xFF}}}, 1};
const Recogniser kMmfRecogniser{RecogniseMmf, {{{0, 'M'}}}, 1};

uint64_t MpegSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (ByteView(bytes, length).Equals(0, kMpegPack, 4)) {
    FileWindow window(context, bytes, length);
    const uint64_t end = ProgramStreamEnd(window, k6GiB);
    if (end != 0) return EndWithin(window, end, k6GiB);
  }
  const uint32_t sectorSize = context.sectorSize;
  const bool videoStream = ByteView(bytes, length).Equals(0, kMpegSequence, 4);
  const uint8_t* endCode = videoStream ? kMpegSequenceEnd : kMpegProgramEnd;
  return ReadAhead(context, k6GiB, true, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindFirstQualifying(chunk, chunkBytes, endCode, 4, sectorSize);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at + 4);
  });
}

uint64_t IsoMediaSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = IsoMediaEnd(window, k6GiB);
  if (end != 0) return EndWithin(window, end, k6GiB);
  if (ByteView(bytes, length).Equals(4, "ftyp", 4) &&
      (ByteView(bytes, length).Equals(8, "iso", 3) || ByteView(bytes, length).Equals(8, "mp42", 4))) {
    return Mp4Size(context, bytes, length);
  }
  return ReadAheadToNextStart(context, k6GiB);
}

uint64_t MatroskaSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = MatroskaEnd(window, k64GiB);
  if (end != 0) return EndWithin(window, end, k64GiB);
  return ReadAheadToNextStart(context, k64GiB);
}

uint64_t FlvSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = FlvEnd(window);
  if (end != 0) return EndWithin(window, end, k6GiB);
  return ReadAheadToNextStart(context, k6GiB);
}

uint64_t MxfSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = MxfEnd(window, k6GiB);
  if (end != 0) return EndWithin(window, end, k6GiB);
  return ReadAheadToNextStart(context, k6GiB);
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
  FileWindow window(context, bytes, length);
  return EndWithin(window, b.U64(object + kAsfFileSize), k256MiB);
}

uint64_t SwfSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  FileWindow window(context, bytes, length);
  // Uncompressed: the header states the length. Compressed: the zlib stream after the 8-byte header.
  if (b.Equals(0, "FWS", 3)) return EndWithin(window, b.U32(4), k256MiB);
  const uint8_t method = b.U8(8);
  const uint8_t flags = b.U8(9);
  if ((method & 0x0F) == 8 && ((method << 8) | flags) % 31 == 0 && (flags & 0x20) == 0) {
    const uint64_t end = DeflateStreamEnd(window, 10, k256MiB);
    if (end != 0) return EndWithin(window, end + 4, k256MiB);
  }
  return context.sectorSize;
}

uint64_t RiffSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (length < 16) return context.sectorSize;
  // The RIFF size excludes the 8-byte chunk header; the sum stays 32-bit.
  FileWindow window(context, bytes, length);
  return EndWithin(window, static_cast<uint32_t>(ByteView(bytes, length).U32(4) + 8u), k4GiB);
}

uint64_t Mp3Size(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  const uint64_t end = Mp3End(window);
  if (end != 0) return EndWithin(window, end, k2GiB);
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
