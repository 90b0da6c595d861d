// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace engine::signatures {

// What the first bytes of a file say about the kind its extension promises.
enum class StartVerdict {
  kPlausible,    // they begin as a file of that kind may begin
  kImplausible,  // they cannot begin such a file (overwritten, another kind, zeros, text)
  kNoRule,       // the extension has no row in the signature table, or names text (txt, c, json, ...)
};

// The lenient "plausible start of this kind" check the file-system engines
// use for a found file: bytes[0, length) is the start of the file (one sector
// or a resident value; may be shorter than a sector), extension its name's
// extension without the dot (ASCII letters in any case). Every extension of
// the signature table but the text kinds the carver tells by content has a rule that accepts what common programs write at
// their default settings (any JPEG marker after FF D8 FF, every BMP header
// size, gzip with any XFL and OS, top-level boxes of ISO media files, MPEG
// audio without a tag, ...); the carving recognisers' narrower rules, which
// keep false hits down during a raw scan, are not used here. Pure: reads only
// bytes, no disk and no carving context; any thread. A null bytes pointer
// counts as no bytes.
StartVerdict CheckPlausibleStart(const uint8_t* bytes, size_t length, std::string_view extension);

// The intact flag of a found file: 1 when CheckPlausibleStart answers
// kPlausible or kNoRule, 0 for kImplausible. Any thread.
int32_t MatchesExtension(const uint8_t* buffer, size_t length, std::string_view extension);

}  // namespace engine::signatures
