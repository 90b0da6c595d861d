// SPDX-License-Identifier: GPL-3.0-or-later
// What CheckFileStructure costs: its throughput per kind over the structure
// samples (tests/fixtures/structure_samples.tar.gz), and the cost of judging
// a card of 2,000 typical phone photos (12 MP JPEGs made by ImageMagick when
// it is installed, else the camera sample), set against the time a scan takes
// to read that card at 90 MB/s.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/signatures/structure_check.h"
#include "storage/sector_source.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSectorSize = 4096;

std::string ReadPipe(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::map<std::string, std::vector<uint8_t>> Samples() {
  std::map<std::string, std::vector<uint8_t>> out;
  const std::string tar = ReadPipe(std::string("gzip -dc '") + QUELLMOOR_SOURCE_DIR +
                                   "/tests/fixtures/structure_samples.tar.gz' 2>/dev/null");
  for (size_t at = 0; at + 512 <= tar.size() && tar[at] != '\0';) {
    const size_t size = std::stoul(std::string(tar.data() + at + 124, 12), nullptr, 8);
    const char type = tar[at + 156];
    const std::string name(tar.data() + at, strnlen(tar.data() + at, 100));
    at += 512;
    if (at + size > tar.size()) break;
    if (type == '0' || type == '\0') {
      out[name.substr(name.rfind('/') + 1)] = std::vector<uint8_t>(tar.begin() + static_cast<std::ptrdiff_t>(at),
                                                                    tar.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    at += (size + 511) / 512 * 512;
  }
  return out;
}

// Seconds per check of file, averaged over at least half a second of checks.
double SecondsPerCheck(const std::vector<uint8_t>& file, const std::string& extension,
                       engine::signatures::StructureVerdict* verdict) {
  std::vector<uint8_t> padded(file);
  padded.resize((file.size() + kSectorSize - 1) / kSectorSize * kSectorSize, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, std::move(padded));
  int runs = 0;
  const auto start = Clock::now();
  double seconds = 0;
  do {
    *verdict = engine::signatures::CheckFileStructure(source, kSectorSize, file.size(), extension);
    ++runs;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  } while (seconds < 0.5);
  return seconds / runs;
}

const char* Name(engine::signatures::StructureVerdict v) {
  switch (v) {
    case engine::signatures::StructureVerdict::kConsistent: return "consistent";
    case engine::signatures::StructureVerdict::kBroken: return "broken";
    default: return "no check";
  }
}

}  // namespace

int main() {
  const auto samples = Samples();
  if (samples.empty()) {
    std::printf("structure samples missing (tests/fixtures/structure_samples.tar.gz)\n");
    return 1;
  }
  std::printf("CheckFileStructure throughput per kind (%u-byte sectors, memory source)\n", kSectorSize);
  for (const auto& [name, file] : samples) {
    engine::signatures::StructureVerdict verdict{};
    const double s = SecondsPerCheck(file, name.substr(name.rfind('.') + 1), &verdict);
    std::printf("  %-16s %8zu bytes %9.1f MB/s %9.3f ms  %s\n", name.c_str(), file.size(), file.size() / s / 1e6,
                s * 1e3, Name(verdict));
  }

  // A typical phone photo: 12 MP, the encoder's default quality.
  std::vector<uint8_t> photo;
  std::string what = "camera.jpg sample (ImageMagick missing)";
  if (std::system("test -x /usr/bin/convert") == 0) {
    const std::string jpeg = ReadPipe(
        "/usr/bin/convert -seed 5 -size 1008x756 plasma:fractal -resize 4032x3024 -attenuate 0.4 "
        "+noise Gaussian jpg:- 2>/dev/null");
    if (!jpeg.empty()) {
      photo.assign(jpeg.begin(), jpeg.end());
      what = "4032x3024 JPEG by ImageMagick at its default quality";
    }
  }
  if (photo.empty()) photo = samples.at("camera.jpg");
  engine::signatures::StructureVerdict verdict{};
  const double perPhoto = SecondsPerCheck(photo, "jpg", &verdict);
  constexpr int kPhotos = 2000;
  constexpr double kCardMBps = 90.0;
  const double cardBytes = static_cast<double>(photo.size()) * kPhotos;
  const double checkSeconds = perPhoto * kPhotos;
  const double readSeconds = cardBytes / 1e6 / kCardMBps;
  std::printf("typical photo: %s, %zu bytes, %.1f ms per check (%.1f MB/s), %s\n", what.c_str(), photo.size(),
              perPhoto * 1e3, photo.size() / perPhoto / 1e6, Name(verdict));
  std::printf("card of %d such photos (%.2f GB): checking all %.1f s; reading them at %.0f MB/s %.1f s; "
              "checks = %.0f %% of the read time (one core)\n",
              kPhotos, cardBytes / 1e9, checkSeconds, kCardMBps, readSeconds, 100.0 * checkSeconds / readSeconds);
  return 0;
}
