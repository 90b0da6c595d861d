// SPDX-License-Identifier: GPL-3.0-or-later
// Finding where a deflate stream ends, as the carver does for every gzip
// candidate: the .gz files under /usr/share (up to 256 MiB of them) held in
// memory, each walked to its end, against zlib inflating the same streams
// into a small buffer (the plain baseline: a full decoder). Prints the
// compressed MB/s of both and checks every end the walk finds.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/deflate_walk.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Stream {
  std::vector<uint8_t> bytes;
  size_t start = 0;  // the deflate stream's first byte
};

// The deflate stream's start in a gzip member, or 0 when the header is not one.
size_t DeflateStart(const std::vector<uint8_t>& b) {
  if (b.size() < 18 || b[0] != 0x1F || b[1] != 0x8B || b[2] != 8) return 0;
  const uint8_t flags = b[3];
  size_t at = 10;
  if ((flags & 4) != 0) {
    if (at + 2 > b.size()) return 0;
    at += 2 + (b[at] | (b[at + 1] << 8));
  }
  for (const uint8_t bit : {8, 16}) {
    if ((flags & bit) == 0) continue;
    while (at < b.size() && b[at] != 0) ++at;
    ++at;
  }
  if ((flags & 2) != 0) at += 2;
  return at < b.size() ? at : 0;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main() {
  std::vector<Stream> streams;
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator("/usr/share", fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator() && total < (256u << 20); it.increment(ec)) {
    if (ec || !it->is_regular_file(ec) || it->path().extension() != ".gz") continue;
    std::ifstream in(it->path(), std::ios::binary);
    Stream s;
    s.bytes.assign(std::istreambuf_iterator<char>(in), {});
    s.start = DeflateStart(s.bytes);
    if (s.start == 0) continue;
    total += s.bytes.size();
    streams.push_back(std::move(s));
  }
  std::printf("%zu gzip files, %.1f MB\n", streams.size(), static_cast<double>(total) / 1e6);
  if (streams.empty()) return 0;

  for (int round = 0; round < 3; ++round) {
    auto start = Clock::now();
    size_t wrong = 0;
    for (const Stream& s : streams) {
      engine::signatures::CarveContext context;
      engine::signatures::FileWindow window(context, s.bytes.data(), s.bytes.size());
      const uint64_t end = engine::signatures::DeflateStreamEnd(window, s.start, s.bytes.size());
      if (end + 8 != s.bytes.size()) ++wrong;  // one member: the trailer follows the stream
    }
    const double walk = Seconds(start);

    start = Clock::now();
    std::vector<uint8_t> out(1 << 16);
    for (const Stream& s : streams) {
      z_stream z{};
      if (inflateInit2(&z, -15) != Z_OK) return 1;
      z.next_in = const_cast<Bytef*>(s.bytes.data() + s.start);
      z.avail_in = static_cast<uInt>(s.bytes.size() - s.start);
      int status = Z_OK;
      while (status == Z_OK) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        status = inflate(&z, Z_NO_FLUSH);
      }
      inflateEnd(&z);
    }
    const double inflate = Seconds(start);
    std::printf("walk %.3f s (%.0f MB/s compressed), %zu ends not at the trailer; zlib inflate %.3f s (%.0f MB/s)\n",
                walk, static_cast<double>(total) / 1e6 / walk, wrong, inflate,
                static_cast<double>(total) / 1e6 / inflate);
  }
  return 0;
}
