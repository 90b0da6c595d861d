// SPDX-License-Identifier: GPL-3.0-or-later
// How fast FindNextFileStart walks sectors: over 256 MiB of random bytes (the
// usual case: no sector starts a file) and over 256 MiB made of the real
// sample files laid end to end between random sectors. Prints MB/s and
// sectors/s. Then the carving yield run: the carving corpus between random
// filler, scanned as the signature scanner does (files carved byte-exact,
// per kind), and the same scan over 256 MiB of random bytes and of zeros,
// which must carve nothing. Last, the cost of naming a carved file by its
// own metadata, per kind of the modern samples.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "engine/signatures/carved_metadata.h"
#include "engine/signatures/file_signature_table.h"
#include "storage/sector_source.h"
#include "tests/engine/signatures/carve_corpus.h"

namespace {

constexpr size_t kBytes = size_t{256} << 20;
constexpr uint32_t kSectorSize = 512;

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> out(count);
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i + 8 <= count; i += 8) {
    const uint64_t v = rng();
    std::memcpy(&out[i], &v, 8);
  }
  return out;
}

// The sample files of tests/fixtures/samples.tar.gz (empty when missing).
std::vector<std::vector<uint8_t>> Samples() {
  std::vector<std::vector<uint8_t>> out;
  const std::string command =
      std::string("gzip -dc '") + QUELLMOOR_SOURCE_DIR + "/tests/fixtures/samples.tar.gz' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::string tar;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) tar.append(buffer, n);
  ::pclose(pipe);
  for (size_t at = 0; at + 512 <= tar.size() && tar[at] != '\0';) {
    const size_t size = std::stoul(std::string(tar.data() + at + 124, 12), nullptr, 8);
    const char type = tar[at + 156];
    const std::string name(tar.data() + at, strnlen(tar.data() + at, 100));
    at += 512;
    if (at + size > tar.size()) break;
    if ((type == '0' || type == '\0') && name.find(".tsv") == std::string::npos) {
      out.emplace_back(tar.begin() + static_cast<std::ptrdiff_t>(at),
                       tar.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    at += (size + 511) / 512 * 512;
  }
  return out;
}

// Samples laid end to end, each starting on a sector, with 1-16 random sectors between.
std::vector<uint8_t> MixedBytes(const std::vector<std::vector<uint8_t>>& samples) {
  std::vector<uint8_t> out = RandomBytes(kBytes, 5);
  std::mt19937 rng(17);
  size_t at = 0;
  for (size_t i = 0; !samples.empty(); ++i) {
    const auto& sample = samples[i % samples.size()];
    if (at + sample.size() > kBytes) break;
    std::memcpy(&out[at], sample.data(), sample.size());
    at = (at + sample.size() + kSectorSize - 1) / kSectorSize * kSectorSize;
    at += (1 + rng() % 16) * kSectorSize;
  }
  return out;
}

// Walks the whole buffer in 64 KiB chunks, restarting after every hit.
void Measure(const char* label, const std::vector<uint8_t>& bytes) {
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::signatures::CarveContext context;
  context.Attach(&source, kSectorSize);
  size_t hits = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < bytes.size();) {
    const size_t chunk = std::min<size_t>(engine::signatures::kWorkBufferBytes, bytes.size() - at);
    // FindNextFileStart advances the position before it examines a sector.
    context.readPosition = at / kSectorSize - 1;
    uint64_t offset = 0;
    if (engine::signatures::FindNextFileStart(context, bytes.data() + at, chunk, &offset, false)) {
      ++hits;
      at += offset + kSectorSize;
    } else {
      at += chunk;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-28s %8.1f MB/s %12.0f sectors/s  (%zu MiB in %.3f s, %zu starts found)\n", label,
              bytes.size() / seconds / 1e6, bytes.size() / kSectorSize / seconds, bytes.size() >> 20, seconds, hits);
}

// The scanner's walk (CarveSector on every sector, skipping carved files).
void MeasureScan(const char* label, const std::vector<uint8_t>& bytes) {
  const auto start = std::chrono::steady_clock::now();
  int32_t status = 0;
  const auto carves = carve_corpus::Scan(bytes, kSectorSize, &status);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-28s %8.1f MB/s %12.0f sectors/s  (%zu MiB in %.3f s, %zu files carved, status %d)\n", label,
              bytes.size() / seconds / 1e6, bytes.size() / kSectorSize / seconds, bytes.size() >> 20, seconds,
              carves.size(), status);
}

// The same walk without the first-byte dispatch: every row in table order.
void MeasurePlainWalk(const char* label, const std::vector<uint8_t>& bytes) {
  engine::signatures::CarveContext context;
  context.Attach(nullptr, kSectorSize);
  size_t hits = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at + kSectorSize <= bytes.size(); at += kSectorSize) {
    context.readPosition = at / kSectorSize;
    const uint8_t* sector = bytes.data() + at;
    if (engine::signatures::RecogniseSectorByTableWalk(context, sector, kSectorSize).code !=
            engine::signatures::FileTypeCode::kNone ||
        engine::signatures::IsFileSystemMetadata(sector, kSectorSize)) {
      ++hits;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-28s %8.1f MB/s %12.0f sectors/s  (%zu MiB in %.3f s, %zu starts found)\n", label,
              bytes.size() / seconds / 1e6, bytes.size() / kSectorSize / seconds, bytes.size() >> 20, seconds, hits);
}

void YieldRun() {
  const auto corpus =
      carve_corpus::LoadCorpus(std::string(QUELLMOOR_SOURCE_DIR) + "/tests/fixtures/carve_corpus.tar.gz");
  if (corpus.empty()) {
    std::printf("carving yield: skipped (tests/fixtures/carve_corpus.tar.gz missing)\n");
    return;
  }
  const carve_corpus::Image image = carve_corpus::LayOut(corpus, 2024);
  const auto start = std::chrono::steady_clock::now();
  const auto carves = carve_corpus::Scan(image.bytes, kSectorSize);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  carve_corpus::Print(carve_corpus::Measure(corpus, image, carves), stdout);
  std::printf("  (%zu KiB image scanned in %.3f s, %zu files carved)\n", image.bytes.size() >> 10, seconds,
              carves.size());
}

// ReadCarvedMetadata on every file of tests/fixtures/modern_samples.tar.gz
// and the structure samples' photo: microseconds per carved file.
void MeasureNaming() {
  const std::string command = std::string("cd '") + QUELLMOOR_SOURCE_DIR +
                              "/tests/fixtures' && for a in modern_samples structure_samples; do "
                              "gzip -dc $a.tar.gz 2>/dev/null; done";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return;
  std::string tar;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) tar.append(buffer, n);
  ::pclose(pipe);
  std::printf("naming a carved file by its metadata (ReadCarvedMetadata, memory source):\n");
  for (size_t at = 0; at + 512 <= tar.size();) {
    if (tar[at] == '\0') {  // the end of one archive: the next may follow
      at += 512;
      continue;
    }
    const size_t size = std::stoul(std::string(tar.data() + at + 124, 12), nullptr, 8);
    const std::string name(tar.data() + at, strnlen(tar.data() + at, 100));
    const char type = tar[at + 156];
    at += 512;
    if (at + size > tar.size()) break;
    std::vector<uint8_t> file(tar.begin() + static_cast<std::ptrdiff_t>(at),
                              tar.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += (size + 511) / 512 * 512;
    if (type != '0' && type != '\0') continue;
    file.resize((file.size() + kSectorSize - 1) / kSectorSize * kSectorSize + kSectorSize, 0);
    storage::SectorSource source;
    storage::OpenMemorySource(source, file);
    engine::signatures::CarveContext context;
    context.Attach(&source, kSectorSize);
    const engine::signatures::FileTypeCode code = engine::signatures::RecogniseSector(context, file.data(), kSectorSize).code;
    if (code == engine::signatures::FileTypeCode::kNone) continue;
    int runs = 0;
    bool named = false;
    const auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    do {
      engine::signatures::FileWindow window(context, file.data(), kSectorSize);
      engine::signatures::CarvedMetadata metadata;
      named = engine::signatures::ReadCarvedMetadata(window, code, size, &metadata);
      ++runs;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (seconds < 0.05);
    std::printf("  %-36s %9.1f us  %s\n", name.substr(name.rfind('/') + 1).c_str(), seconds / runs * 1e6,
                named ? "named" : "no metadata");
  }
}

}  // namespace

int main() {
  MeasureNaming();
  YieldRun();
  {
    const std::vector<uint8_t> random = RandomBytes(kBytes, 1);
    Measure("FindNextFileStart random", random);
    MeasurePlainWalk("plain table walk, random", random);
    MeasureScan("scanner walk, random", random);
  }
  std::vector<uint8_t> zeros(kBytes, 0);
  Measure("FindNextFileStart zeros", zeros);
  MeasureScan("scanner walk, zeros", zeros);
  zeros = {};
  const auto samples = Samples();
  if (samples.empty()) {
    std::printf("FindNextFileStart samples: skipped (tests/fixtures/samples.tar.gz missing)\n");
    return 0;
  }
  Measure("FindNextFileStart samples", MixedBytes(samples));
  return 0;
}
