// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The carving yield run shared by the yield test and the carving benchmark:
// the corpus of real files (tests/fixtures/carve_corpus.tar.gz) laid out in a
// raw image between deterministic pseudo-random filler, scanned sector by
// sector the way the signature scanner does (CarveSector on each sector; on a
// hit record it and move on by SectorsToSkipAfterCarve; else the next sector).
// No test framework here, so the benchmark can use it too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "engine/signatures/file_signature_table.h"
#include "storage/sector_source.h"

namespace carve_corpus {

struct CorpusFile {
  std::string name;
  std::string kind;  // from the manifest
  std::vector<uint8_t> bytes;
};

// Files of a ustar archive compressed with gzip, by path; empty when it
// cannot be read.
inline std::map<std::string, std::vector<uint8_t>> ReadTarGz(const std::string& path) {
  std::map<std::string, std::vector<uint8_t>> out;
  const std::string command = "gzip -dc '" + path + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::string tar;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) tar.append(buffer, n);
  if (::pclose(pipe) != 0) return {};
  // ustar: 512-byte headers (name at 0, octal size at 124, type at 156), data padded to 512.
  for (size_t at = 0; at + 512 <= tar.size() && tar[at] != '\0';) {
    const std::string name(tar.data() + at, strnlen(tar.data() + at, 100));
    const size_t size = std::stoul(std::string(tar.data() + at + 124, 12), nullptr, 8);
    const char type = tar[at + 156];
    at += 512;
    if (at + size > tar.size()) break;
    if (type == '0' || type == '\0') {
      out[name.substr(name.rfind('/') + 1)] = std::vector<uint8_t>(
          tar.begin() + static_cast<std::ptrdiff_t>(at), tar.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    at += (size + 511) / 512 * 512;
  }
  return out;
}

// The corpus in manifest order; empty when the archive is missing.
inline std::vector<CorpusFile> LoadCorpus(const std::string& archivePath) {
  std::vector<CorpusFile> corpus;
  auto files = ReadTarGz(archivePath);
  auto manifest = files.find("MANIFEST.tsv");
  if (manifest == files.end()) return corpus;
  const std::string text(manifest->second.begin(), manifest->second.end());
  size_t lineStart = 0;
  while (lineStart < text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    const std::string line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (line.empty() || line[0] == '#' || line.rfind("name\t", 0) == 0) continue;
    std::vector<std::string> fields;
    for (size_t from = 0;;) {
      const size_t tab = line.find('\t', from);
      fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
      if (tab == std::string::npos) break;
      from = tab + 1;
    }
    if (fields.size() < 4) continue;
    auto file = files.find(fields[0]);
    if (file == files.end()) continue;
    corpus.push_back({fields[0], fields[3], file->second});
  }
  return corpus;
}

struct Placed {
  size_t file = 0;  // index into the corpus
  uint64_t sector = 0;
};

// The raw image: every corpus file in order, alternately on a 4096- and a
// 512-byte boundary, with 1 to 8 sectors of filler before it and filler in
// the slack after its end (slack on a used card is rarely zero).
struct Image {
  std::vector<uint8_t> bytes;
  std::vector<Placed> placed;
};

inline void FillRandom(uint8_t* out, size_t count, std::mt19937_64& rng) {
  for (size_t i = 0; i < count; i += 8) {
    const uint64_t v = rng();
    std::memcpy(out + i, &v, std::min<size_t>(8, count - i));
  }
}

inline Image LayOut(const std::vector<CorpusFile>& corpus, uint32_t seed) {
  constexpr uint32_t kSector = 512;
  Image image;
  std::mt19937_64 rng(seed);
  uint64_t at = 0;
  for (size_t i = 0; i < corpus.size(); ++i) {
    at += (1 + rng() % 8) * kSector;
    if (i % 2 == 0) at = (at + 4095) / 4096 * 4096;
    const uint64_t end = at + corpus[i].bytes.size();
    const uint64_t padded = (end + kSector - 1) / kSector * kSector;
    const size_t old = image.bytes.size();
    image.bytes.resize(padded);
    FillRandom(image.bytes.data() + old, image.bytes.size() - old, rng);
    std::memcpy(image.bytes.data() + at, corpus[i].bytes.data(), corpus[i].bytes.size());
    image.placed.push_back({i, at / kSector});
    at = padded;
  }
  const size_t old = image.bytes.size();
  image.bytes.resize(old + 16 * kSector);
  FillRandom(image.bytes.data() + old, 16 * kSector, rng);
  return image;
}

struct Carve {
  uint64_t sector = 0;
  uint64_t size = 0;
  engine::signatures::FileTypeCode code = engine::signatures::FileTypeCode::kNone;
};

// Scans bytes sector by sector as the signature scanner does. Returns the
// carves; *status receives the first status other than 0 and 87 (0 if none).
inline std::vector<Carve> Scan(const std::vector<uint8_t>& bytes, uint32_t sectorSize, int32_t* status = nullptr) {
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::signatures::CarveContext context;
  context.Attach(&source, sectorSize);
  context.ClearStreamExtents();
  std::vector<Carve> carves;
  const uint64_t sectors = bytes.size() / sectorSize;
  if (status != nullptr) *status = 0;
  for (uint64_t s = 0; s < sectors;) {
    engine::signatures::CarvedFile file;
    const int32_t result = engine::signatures::CarveSector(context, bytes.data() + s * sectorSize, sectorSize, s,
                                                           {s, sectors, -1, carves.size()}, &file);
    if (result == 0) {
      carves.push_back({s, file.size, file.code});
      s += engine::signatures::SectorsToSkipAfterCarve(file.code, file.size, sectorSize);
    } else {
      if (result != 87 && status != nullptr && *status == 0) *status = result;
      ++s;
    }
  }
  return carves;
}

// Per corpus kind: files, and files carved byte-exact (a carve at the file's
// first sector with exactly its size).
struct Yield {
  std::map<std::string, std::pair<int, int>> byKind;  // kind -> {files, exact}
  std::vector<std::string> lost;                      // "name: what came out"
  int files = 0;
  int exact = 0;
  std::vector<std::string> others;  // carves at no file's first sector (inside a file, or in the filler)
};

inline Yield Measure(const std::vector<CorpusFile>& corpus, const Image& image, const std::vector<Carve>& carves) {
  Yield yield;
  std::map<uint64_t, const Carve*> bySector;
  for (const Carve& carve : carves) bySector[carve.sector] = &carve;
  for (const Placed& p : image.placed) {
    const CorpusFile& file = corpus[p.file];
    auto& kind = yield.byKind[file.kind];
    ++kind.first;
    ++yield.files;
    auto hit = bySector.find(p.sector);
    if (hit != bySector.end() && hit->second->size == file.bytes.size()) {
      ++kind.second;
      ++yield.exact;
      continue;
    }
    std::string what = hit == bySector.end() ? "not carved"
                                             : "carved " + std::to_string(hit->second->size) + " of " +
                                                   std::to_string(file.bytes.size()) + " bytes";
    yield.lost.push_back(file.name + ": " + what);
  }
  std::set<uint64_t> starts;
  for (const Placed& p : image.placed) starts.insert(p.sector);
  for (const Carve& carve : carves) {
    if (starts.count(carve.sector) != 0) continue;
    const auto before = std::upper_bound(image.placed.begin(), image.placed.end(), carve.sector,
                                         [](uint64_t sector, const Placed& p) { return sector < p.sector; });
    const std::string inside = before == image.placed.begin() ? "filler" : corpus[std::prev(before)->file].name;
    yield.others.push_back("sector " + std::to_string(carve.sector) + " (after the start of " + inside + "): code " +
                           std::to_string(static_cast<int>(carve.code)) + ", " + std::to_string(carve.size) +
                           " bytes");
  }
  return yield;
}

inline void Print(const Yield& yield, FILE* out) {
  std::fprintf(out, "carving yield: %d of %d files byte-exact, %zu other carves\n", yield.exact, yield.files,
               yield.others.size());
  for (const auto& [kind, counts] : yield.byKind) {
    std::fprintf(out, "  %-6s %d/%d\n", kind.c_str(), counts.second, counts.first);
  }
  for (const std::string& lost : yield.lost) std::fprintf(out, "  lost %s\n", lost.c_str());
  for (const std::string& other : yield.others) std::fprintf(out, "  other carve at %s\n", other.c_str());
}

}  // namespace carve_corpus
