// SPDX-License-Identifier: GPL-3.0-or-later
// Where a deflate stream ends, against zlib: streams zlib writes with every
// kind of block, read through a disk so the walk crosses its read pieces,
// and the same streams with bits flipped: whenever zlib decodes a stream to
// its end, the walk must end where zlib stopped reading.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "engine/signatures/deflate_walk.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using engine::signatures::CarveContext;
using engine::signatures::DeflateStreamEnd;
using engine::signatures::FileWindow;

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
  std::vector<uint8_t> out(deflateBound(&z, data.size()) + 64);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Bytes zlib reads to the stream's end; 0 when it finds no valid end.
uint64_t ZlibEnd(const std::vector<uint8_t>& stream) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return 0;
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  std::vector<uint8_t> out(1 << 16);
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    status = inflate(&z, Z_NO_FLUSH);
  }
  const uint64_t end = status == Z_STREAM_END ? z.total_in : 0;
  inflateEnd(&z);
  return end;
}

// The walk's end of a stream laid at sector 3 of a disk, read through the
// disk, within maxBytes (default: the stream and 1 KiB of zeros after it).
uint64_t WalkEnd(const std::vector<uint8_t>& stream, uint64_t maxBytes = 0) {
  deep_test::Disk disk(512, (stream.size() + 8 * 512) / 512);
  disk.Place(3, stream);
  storage::SectorSource source;
  disk.Open(source);
  CarveContext context;
  context.Attach(&source, 512);
  context.hitSector = 3;
  context.readPosition = 3;
  FileWindow window(context, disk.At(3), 512);
  return DeflateStreamEnd(window, 0, maxBytes != 0 ? maxBytes : stream.size() + 1024);
}

std::vector<uint8_t> Sample(const std::string& kind, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> data(size);
  const char* words[] = {"alpha ", "bravo ", "cobalt ", "delta\n", "ember ", "fjord, ", "garnet. "};
  size_t at = 0;
  while (at < size) {
    if (kind == "text") {
      for (const char* c = words[rng() % 7]; *c != 0 && at < size; ++c) data[at++] = static_cast<uint8_t>(*c);
    } else if (kind == "noise") {
      data[at++] = static_cast<uint8_t>(rng());
    } else if (kind == "skewed") {
      // Geometric symbol counts over 256 values: literal codes up to 15 bits.
      int v = 0;
      while (v < 255 && (rng() & 1) != 0) ++v;
      data[at++] = static_cast<uint8_t>(v);
    } else {  // "runs": long matches at far distances
      const size_t run = std::min<size_t>(size - at, 300 + rng() % 2000);
      for (size_t i = 0; i < run; ++i, ++at) data[at] = at >= 20000 ? data[at - 20000] : static_cast<uint8_t>(rng());
    }
  }
  return data;
}

TEST(DeflateWalkTest, EndsWhereZlibEndsOnEveryKindOfBlock) {
  for (const std::string kind : {"text", "noise", "skewed", "runs"}) {
    for (const int level : {0, 1, 6, 9}) {
      for (const int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE}) {
        SCOPED_TRACE(kind + " level " + std::to_string(level) + " strategy " + std::to_string(strategy));
        const std::vector<uint8_t> stream = Deflate(Sample(kind, 150000, 11), level, strategy);
        ASSERT_EQ(ZlibEnd(stream), stream.size());
        EXPECT_EQ(WalkEnd(stream), stream.size());
        // No end within fewer bytes.
        for (const size_t cut : {stream.size() / 3, stream.size() - 1}) EXPECT_EQ(WalkEnd(stream, cut), 0u);
      }
    }
  }
}

TEST(DeflateWalkTest, FlippedBitsEndWhereZlibEndsWhenZlibDecodesThem) {
  std::mt19937 rng(5);
  int decoded = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string kind = round % 2 == 0 ? "text" : "skewed";
    std::vector<uint8_t> stream =
        Deflate(Sample(kind, 3000 + round * 37, round), 1 + round % 9, round % 3 == 0 ? Z_FIXED : Z_DEFAULT_STRATEGY);
    const size_t at = rng() % stream.size();
    stream[at] = static_cast<uint8_t>(stream[at] ^ (1u << (rng() % 8)));
    stream.resize(stream.size() + 16, 0);  // room past a stream that now ends later
    const uint64_t zlib = ZlibEnd(stream);
    if (zlib == 0) continue;  // the walk is more lenient (incomplete codes): nothing to compare
    ++decoded;
    EXPECT_EQ(WalkEnd(stream), zlib) << "round " << round;
  }
  EXPECT_GT(decoded, 20);
}

}  // namespace
