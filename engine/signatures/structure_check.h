// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string_view>

#include "storage/sector_source.h"

namespace engine::signatures {

// What a file's own structure says about bytes put together for it.
enum class StructureVerdict {
  kConsistent,  // the structure holds from the first byte to its end, within the file's size
  kBroken,      // it breaks: a foreign piece lies inside, or the start is wrong
  kNoCheck,     // the kind has no structure that tells (or the file is too large to check)
};

// Largest file each kind of check takes; a larger file is kNoCheck, never
// judged on a part of it. Full decodes (JPEG, PNG) and the older walks (GIF,
// TIFF, PSD, PDF) stop at kMaxCheckedFileBytes; ZIP members and MP3 frames at
// kMaxWalkedFileBytes; transport streams (every packet is read) at
// kMaxStreamFileBytes; RIFF and ISO media (their headers alone are read) at none.
inline constexpr uint64_t kMaxCheckedFileBytes = 64u << 20;
inline constexpr uint64_t kMaxWalkedFileBytes = 512u << 20;
inline constexpr uint64_t kMaxStreamFileBytes = uint64_t{1} << 30;
inline constexpr uint64_t kUnlimitedCheckBytes = UINT64_MAX;

// Largest file of this extension's kind CheckFileStructure checks; 0 when the
// kind has no check.
uint64_t StructureCheckLimit(std::string_view extension);

// Kinds whose kFull check decodes every byte of the data (JPEG, PNG, ZIP
// and the formats built on it): a pass proves the bytes put together are
// the file's own, in its order. Other kinds' checks walk framing only.
enum class DecodedKind { kNone, kJpeg, kPng, kZip };
DecodedKind DecodedKindOf(std::string_view extension);
// ISO media (.mp4, .mov, .m4a, .3gp, ...): the check walks the boxes, whose
// lengths foreign bytes of the right size pass; it proves no order of pieces.
bool ChecksBoxesOnly(std::string_view extension);

// Checks the bytes of a file presented as a source of its own: sector n of
// file holds bytes [n * sectorSize, (n + 1) * sectorSize) of the file
// (sectorSize 512 to 65536), fileSize bytes in all. Kinds with a structure
// that exposes foreign bytes are checked:
//  - decoded: JPEG (libjpeg-turbo, every scan's entropy-coded data; a decoder
//    warning or a missing scan is damage), PNG (libpng: every chunk's CRC,
//    the whole image stream inflated), ZIP and the formats built on it (each
//    member inflated by zlib, its CRC-32 and size compared with the central
//    directory's);
//  - walked: GIF (blocks), TIFF and PSD (offsets and lengths), PDF (the
//    cross-reference table's object offsets), AVI and WAV (RIFF chunks tile
//    the file; AVI's movi chunks chain and its idx1 names them), MPEG
//    transport streams (.ts, .mts, .m2ts: a sync byte every 188 or 192 bytes
//    and each packet id's continuity counter), ISO media (.mp4, .mov, .m4a,
//    .m4v, .3gp: top-level boxes tile the file, moov and mdat present, chunk
//    offsets inside mdat), MP3 (frame headers chained from after an ID3v2
//    tag to an ID3v1 or APEv2 trailer or the end).
// Payload a walk does not decode (audio samples, video frames inside their
// chunks) is not judged. A read failure answers kBroken: the caller tells
// it apart by its own source's state. Reads only through file; any thread
// (no shared state).
// How much of a file a check looks at. kFull decodes what has a decoder
// (JPEG, PNG, ZIP members) through all of its data. kQuick stops at what the
// file's headers and framing tell (JPEG's markers and entropy-coded runs,
// PNG's chunk CRCs, ZIP's central directory against its local headers; the
// walks of the other kinds are the same): several times faster, for layouts
// nothing else casts doubt on. A file kQuick finds broken is broken either way.
enum class CheckDepth { kFull, kQuick };

// *heldBytes (when given) receives, for a broken file, how many of its
// first bytes the structure was seen to hold before it broke (decoders and
// stream walks tell it: JPEG, PNG, transport streams; 0 when the check cannot
// tell), and the file's size when it holds.
StructureVerdict CheckFileStructure(storage::SectorSource& file, uint32_t sectorSize, uint64_t fileSize,
                                    std::string_view extension, uint64_t* heldBytes = nullptr,
                                    CheckDepth depth = CheckDepth::kFull);

}  // namespace engine::signatures
