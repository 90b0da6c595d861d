// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/laid_out_check.h"

#include <algorithm>
#include <memory>

#include "storage/sector_source.h"

namespace engine::signatures {
namespace {

// A file's runs presented as a source of its own: byte n of the source is
// byte n of the file, up to the end of the file's last sector (bytes the
// runs do not hold there read as zeros).
class LaidOutFile final : public storage::ISourceDevice {
 public:
  LaidOutFile(const ByteReader& read, const std::vector<ByteRun>& runs, uint64_t endByte)
      : m_read(read), m_runs(runs), m_endByte(endByte) {}

  bool ReadFailed() const { return m_readFailed; }

  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    *bytesRead = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    if (byteOffset >= m_endByte) return kStatusOk;
    byteCount = static_cast<size_t>(std::min<uint64_t>(byteCount, m_endByte - byteOffset));
    // The run holding byteOffset: runs are few, a walk from the last one used serves.
    if (byteOffset < m_runStartByte) {
      m_runIndex = 0;
      m_runStartByte = 0;
    }
    while (byteCount > 0) {
      while (m_runIndex < m_runs.size() && byteOffset >= m_runStartByte + m_runs[m_runIndex].length) {
        m_runStartByte += m_runs[m_runIndex].length;
        ++m_runIndex;
      }
      if (m_runIndex >= m_runs.size()) {
        std::fill(out, out + byteCount, uint8_t{0});  // the tail of the last sector
        *bytesRead += byteCount;
        return kStatusOk;
      }
      const ByteRun& run = m_runs[m_runIndex];
      const uint64_t within = byteOffset - m_runStartByte;
      const size_t take = static_cast<size_t>(std::min<uint64_t>(byteCount, run.length - within));
      if (Status s = m_read(run.offset + within, out, take); s != kStatusOk) {
        m_readFailed = true;
        return s;
      }
      out += take;
      byteOffset += take;
      byteCount -= take;
      *bytesRead += take;
    }
    return kStatusOk;
  }

 private:
  const ByteReader& m_read;
  const std::vector<ByteRun>& m_runs;
  const uint64_t m_endByte;
  size_t m_runIndex = 0;
  uint64_t m_runStartByte = 0;
  bool m_readFailed = false;
};

}  // namespace

StructureVerdict CheckLaidOutStructure(const ByteReader& read, const std::vector<ByteRun>& runs, uint64_t fileBytes,
                                       uint32_t sectorBytes, std::string_view extension, bool* unreadable,
                                       uint64_t* heldBytes, CheckDepth depth) {
  if (unreadable != nullptr) *unreadable = false;
  if (heldBytes != nullptr) *heldBytes = 0;
  uint64_t held = 0;
  for (const ByteRun& run : runs) {
    if (__builtin_add_overflow(held, run.length, &held)) return StructureVerdict::kBroken;
  }
  if (held < fileBytes) return StructureVerdict::kBroken;
  if (sectorBytes == 0) return StructureVerdict::kNoCheck;
  const uint64_t sectors = (fileBytes + sectorBytes - 1) / sectorBytes;
  storage::SectorSource file;
  auto laidOut = std::make_unique<LaidOutFile>(read, runs, sectors * sectorBytes);
  const LaidOutFile& reader = *laidOut;
  file.handle = std::move(laidOut);
  file.deviceSectorSize = sectorBytes;
  file.totalSectors = sectors;
  uint64_t heldByStructure = 0;
  const StructureVerdict verdict = CheckFileStructure(file, sectorBytes, fileBytes, extension, &heldByStructure, depth);
  // An unreadable piece says nothing about the structure: never "broken" for that.
  if (!reader.ReadFailed()) {
    if (heldBytes != nullptr) *heldBytes = heldByStructure;
    return verdict;
  }
  if (unreadable != nullptr) *unreadable = true;
  return StructureVerdict::kNoCheck;
}

}  // namespace engine::signatures
