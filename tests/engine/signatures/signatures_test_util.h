// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "storage/sector_source.h"
#include "tests/support/test_support.h"

// Helpers for the signature recogniser tests: the real sample files, a
// sector-addressed disk image in memory, and a clean carving context.
namespace deep_test {

// The files of a fixture archive of tests/fixtures (a tar.gz of one folder)
// by base name; empty when the archive is missing.
inline std::map<std::string, std::vector<uint8_t>> ReadFixtureArchive(const std::string& name) {
  std::map<std::string, std::vector<uint8_t>> out;
  const std::string archive = testing_support::FixturePath(name);
  std::string tar;
  if (testing_support::RunCommand("gzip -dc '" + archive + "' 2>/dev/null", &tar) != 0) return out;
  // ustar: 512-byte headers (name at 0, octal size at 124, type at 156), data padded to 512.
  size_t at = 0;
  while (at + 512 <= tar.size() && tar[at] != '\0') {
    const std::string entry(tar.data() + at, strnlen(tar.data() + at, 100));
    const size_t size = std::stoul(std::string(tar.data() + at + 124, 12), nullptr, 8);
    const char type = tar[at + 156];
    at += 512;
    if (at + size > tar.size()) break;
    if (type == '0' || type == '\0') {
      const std::string base = entry.substr(entry.rfind('/') + 1);
      out[base] = std::vector<uint8_t>(tar.begin() + static_cast<std::ptrdiff_t>(at),
                                       tar.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    at += (size + 511) / 512 * 512;
  }
  return out;
}

// The sample files of tests/fixtures/samples.tar.gz by name ("jfif.jpg"...).
inline const std::map<std::string, std::vector<uint8_t>>& Samples() {
  static const std::map<std::string, std::vector<uint8_t>> samples = ReadFixtureArchive("samples.tar.gz");
  return samples;
}

inline const std::vector<uint8_t>* Sample(const std::string& name) {
  auto it = Samples().find(name);
  return it == Samples().end() ? nullptr : &it->second;
}

// A disk image built sector by sector.
class Disk {
 public:
  Disk(uint32_t sectorSize, uint64_t sectors) : m_sectorSize(sectorSize), m_bytes(sectorSize * sectors, 0) {}

  uint32_t SectorSize() const { return m_sectorSize; }
  uint64_t Sectors() const { return m_bytes.size() / m_sectorSize; }
  std::vector<uint8_t>& Bytes() { return m_bytes; }
  uint8_t* At(uint64_t sector) { return m_bytes.data() + sector * m_sectorSize; }

  // Copies bytes to the start of sector (growing the disk if needed).
  void Place(uint64_t sector, const std::vector<uint8_t>& bytes) {
    const size_t offset = static_cast<size_t>(sector * m_sectorSize);
    if (offset + bytes.size() > m_bytes.size()) {
      m_bytes.resize((offset + bytes.size() + m_sectorSize - 1) / m_sectorSize * m_sectorSize, 0);
    }
    std::memcpy(m_bytes.data() + offset, bytes.data(), bytes.size());
  }
  // Pseudo-random bytes over [first, last) sectors. No 0x47 (transport-stream
  // sync) bytes, so a stream placed after them never looks like a continuation.
  void Random(uint64_t first, uint64_t last, uint32_t seed = 7) {
    std::mt19937 rng(seed);
    for (size_t i = first * m_sectorSize; i < last * m_sectorSize && i < m_bytes.size(); ++i) {
      uint8_t v = static_cast<uint8_t>(rng());
      m_bytes[i] = v == 0x47 ? 0x46 : v;
    }
  }
  void Fill(uint64_t first, uint64_t last, uint8_t value) {
    for (size_t i = first * m_sectorSize; i < last * m_sectorSize && i < m_bytes.size(); ++i) m_bytes[i] = value;
  }

  // A memory source over a copy of the image.
  void Open(storage::SectorSource& source, storage::MemorySourceOptions options = {}) const {
    storage::OpenMemorySource(source, m_bytes, std::move(options));
  }

 private:
  uint32_t m_sectorSize;
  std::vector<uint8_t> m_bytes;
};

// A FAT boot sector whose OEM name is "MSWIN4.1".
inline std::vector<uint8_t> BootSector(uint32_t sectorSize) {
  std::vector<uint8_t> s(sectorSize, 0);
  s[0] = 0xEB;
  s[1] = 0x3C;
  s[2] = 0x90;
  std::memcpy(&s[3], "MSWIN4.1", 8);
  s[510 % sectorSize] = 0x55;
  return s;
}

// The carving context of the current test (one per test, made anew by
// ResetCarveContext, so no state passes from one test to the next).
inline std::unique_ptr<engine::signatures::CarveContext>& TestContextSlot() {
  static std::unique_ptr<engine::signatures::CarveContext> context;
  return context;
}
inline engine::signatures::CarveContext& TestContext() {
  auto& slot = TestContextSlot();
  if (!slot) slot = std::make_unique<engine::signatures::CarveContext>();
  return *slot;
}
inline void ResetCarveContext() {
  TestContextSlot() = std::make_unique<engine::signatures::CarveContext>();
}

// CarveSector on the test's context, attached to reader with sectorSize.
inline int32_t Carve(uint32_t sectorSize, storage::SectorSource* reader, const uint8_t* sector, size_t length,
                     uint64_t hitSector, uint64_t sectorsDone, uint64_t sectorsTotal, int32_t remainingSeconds,
                     uint64_t filesFound, engine::signatures::CarvedFile* out) {
  engine::signatures::CarveContext& context = TestContext();
  context.Attach(reader, sectorSize);
  return engine::signatures::CarveSector(context, sector, length, hitSector,
                                         {sectorsDone, sectorsTotal, remainingSeconds, filesFound}, out);
}

struct CarveOutcome {
  int32_t status = 0;
  engine::signatures::CarvedFile file;
  std::string Name() const { return file.name.data(); }
};

// Carves at `sector` of source, reading the candidate sector from disk.
inline CarveOutcome CarveAt(Disk& disk, storage::SectorSource& source, uint64_t sector, uint64_t sectorsDone = 0,
                            uint64_t sectorsTotal = 0) {
  CarveOutcome outcome;
  std::vector<uint8_t> buffer(disk.At(sector), disk.At(sector) + disk.SectorSize());
  outcome.status = Carve(disk.SectorSize(), &source, buffer.data(), buffer.size(), sector, sectorsDone, sectorsTotal,
                         -1, 0, &outcome.file);
  return outcome;
}

}  // namespace deep_test
