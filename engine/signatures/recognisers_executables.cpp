// SPDX-License-Identifier: GPL-3.0-or-later
// Programs (exe, dll, sys) and Ghost images (gho): recognised so that they end
// other files' read-ahead, never carved themselves.
#include "engine/byte_view.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

// MZ header: offset of the PE header at 0x3C. PE header: "PE\0\0", then the
// file header whose Characteristics word lies at +0x16.
constexpr size_t kPeOffset = 0x3C;
constexpr uint32_t kLastPeOffset = 488;  // the PE signature and file header stay in the first 512 bytes
constexpr size_t kCharacteristics = 0x16;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kSystemFile = 0x1000;
constexpr uint16_t kDynamicLibrary = 0x2000;

C RecogniseExe(CarveContext&, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 512 || !b.Equals(0, "MZ", 2)) return C::kNone;
  const uint32_t pe = b.U32(kPeOffset);
  if (pe > kLastPeOffset || !b.Equals(pe, "PE\0\0", 4)) return C::kNone;
  const uint16_t characteristics = b.U16(pe + kCharacteristics);
  if ((characteristics & kExecutableImage) == 0) return C::kNone;
  if ((characteristics & kSystemFile) != 0) return C::kSys;
  if ((characteristics & kDynamicLibrary) != 0) return C::kDll;
  return C::kExe;
}

C RecogniseGho(CarveContext&, const uint8_t* bytes, size_t length) {
  return ByteView(bytes, length).Equals(0, "\xFE\xEF\x00\x00", 4) ? C::kGho : C::kNone;
}

}  // namespace

const Recogniser kExeRecogniser{RecogniseExe, {{{0, 'M'}}}, 1};
const Recogniser kGhoRecogniser{RecogniseGho, {{{0, 0xFE}}}, 1};

}  // namespace engine::signatures
