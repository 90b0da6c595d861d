// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include "engine/signatures/file_bytes.h"
#include "engine/signatures/structure_check.h"

// The structure checks CheckFileStructure chooses from, one per kind of file
// (or family). Each reads the whole file through bytes and answers whether its
// structure holds from the first byte to its end; a read failure answers
// kBroken (the caller tells it from damage by the source's own state).
namespace engine::signatures {

// libjpeg-turbo decodes the entropy-coded data of every scan; any decoder
// warning (corrupt data, premature end, extraneous bytes) or a component or
// coefficient no scan delivered is damage.
StructureVerdict CheckJpegDecoded(FileBytes& bytes);
// libpng reads every chunk (CRCs checked, ancillary ones too) and inflates
// the whole image stream (row filters and Adler-32 checked) up to IEND.
StructureVerdict CheckPngDecoded(FileBytes& bytes);
// ZIP and the formats built on it: the central directory, each member's
// local header, each member inflated by zlib and its CRC-32 and size compared
// with the central directory's. kNoCheck for ZIP64 or when a member is
// encrypted or uses a method zlib cannot read (and nothing else broke).
StructureVerdict CheckZipMembers(FileBytes& bytes);

// RIFF (AVI, WAV): chunks tile the file; in AVI the movi list's chunks chain
// to its end and the idx1 entries lie inside movi.
StructureVerdict CheckRiff(FileBytes& bytes);
// MPEG transport stream: a sync byte 0x47 every 188 bytes, or every 192 with
// a 4-byte time code before each packet, across the whole file.
StructureVerdict CheckTransportStream(FileBytes& bytes);
// ISO base media (MP4, MOV, M4A, M4V, 3GP): top-level boxes tile the file,
// moov and mdat are present, every chunk offset (stco, co64) lies inside mdat.
StructureVerdict CheckIsoMedia(FileBytes& bytes);
// MP3: an ID3v2 tag skipped, then MPEG audio frames chained to the end,
// where an ID3v1 or APEv2 tag may follow.
StructureVerdict CheckMp3(FileBytes& bytes);

}  // namespace engine::signatures
