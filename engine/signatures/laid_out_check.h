// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/metadata_runs.h"
#include "engine/signatures/structure_check.h"
#include "engine/status.h"

namespace engine::signatures {

// Reads byteCount bytes at byteOffset of some medium (a volume, a source)
// into buffer; 0 or the read's error.
using ByteReader = std::function<Status(uint64_t byteOffset, void* buffer, size_t byteCount)>;

// What the structure check says of a file whose bytes lie in runs of a
// medium (offsets in the reader's terms, in file order): its first
// fileBytes bytes are taken from the runs one after another. sectorBytes is
// the unit the check reads in (512 to 65536). A read that fails says nothing
// of the structure: the answer is then kNoCheck, never kBroken (an
// unreadable sector is no proof of foreign bytes), and *unreadable (when
// given) is set, so that a caller can tell "could not be checked" from "has
// no check". Runs that hold fewer than fileBytes bytes are kBroken. Any
// thread; nothing shared.
// *heldBytes (when given): as CheckFileStructure tells it.
StructureVerdict CheckLaidOutStructure(const ByteReader& read, const std::vector<ByteRun>& runs, uint64_t fileBytes,
                                       uint32_t sectorBytes, std::string_view extension, bool* unreadable = nullptr,
                                       uint64_t* heldBytes = nullptr, CheckDepth depth = CheckDepth::kFull);

}  // namespace engine::signatures
