// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

#include "engine/signatures/read_ahead.h"

namespace engine::signatures {

// Where a raw deflate stream that begins at byte `start` of a candidate file
// ends: its blocks are walked and their Huffman codes decoded without
// producing any output (a back reference further than the bytes produced so
// far makes the stream invalid). Returns the offset of the first byte after
// the byte holding the stream's last bit, or 0 when the bytes are no valid
// deflate stream, cannot be read, or do not end before start + maxBytes.
// Bounded by maxBytes; the context's thread only.
uint64_t DeflateStreamEnd(FileWindow& window, uint64_t start, uint64_t maxBytes);

}  // namespace engine::signatures
