// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/signature_check.h"

#include "engine/signatures/carve_context.h"
#include "engine/signatures/file_signature_table.h"

namespace engine::signatures {

int32_t MatchesExtension(const uint8_t* buffer, size_t length, std::string_view extension,
                         storage::SectorSource* reader, uint32_t sectorSize, uint64_t sector) {
  CarveContext& context = TheCarveContext();
  context.sectorSize = sectorSize;
  context.reader = reader;
  context.hitSector = sector;
  context.readPosition = sector;
  context.streamStartCheck = false;
  const int32_t row = RowOfExtension(extension);
  if (row < 0) return 1;
  if (buffer == nullptr) return 0;
  const FileSignatureRow& entry = FileSignatureTable()[static_cast<size_t>(row)];
  return entry.recogniser->test(buffer, length) == entry.code ? 1 : 0;
}

}  // namespace engine::signatures
