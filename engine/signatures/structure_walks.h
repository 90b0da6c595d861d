// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

#include "engine/signatures/read_ahead.h"

namespace engine::signatures {

// The structure walks the size rules measure files with, for other checks of
// a file's structure. Each reads the file through window from its first
// byte and returns the offset where the structure ends, a value past cap
// when a length runs past cap, or 0 when the structure breaks.
uint64_t WalkJpegEnd(FileWindow& window, uint64_t cap);  // markers, entropy data, end of image
uint64_t WalkGifEnd(FileWindow& window, uint64_t cap);   // blocks to the trailer
uint64_t WalkTiffEnd(FileWindow& window, uint64_t cap);  // directories, values, strips and tiles
uint64_t WalkPsdEnd(FileWindow& window, uint64_t cap);   // sections and image data

}  // namespace engine::signatures
