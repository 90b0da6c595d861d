// SPDX-License-Identifier: GPL-3.0-or-later
#include <csetjmp>
#include <vector>

#include <png.h>

#include "engine/signatures/structure_checks.h"

namespace engine::signatures {
namespace {

// Where libpng reads from; a read past the file's end is an error.
struct Input {
  FileBytes* bytes = nullptr;
  uint64_t next = 0;
};

void ReadData(png_structp png, png_bytep out, size_t count) {
  auto* input = static_cast<Input*>(png_get_io_ptr(png));
  if (!input->bytes->Copy(input->next, count, out)) png_error(png, "read past the end");
  input->next += count;
}

void OnError(png_structp png, png_const_charp) {
  // Where the data stopped holding: as far as libpng had read (a CRC is checked at its chunk's end).
  auto* input = static_cast<Input*>(png_get_io_ptr(png));
  if (input != nullptr && input->bytes != nullptr) input->bytes->NoteBrokenAt(input->next);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

constexpr uint32_t kMaxDimension = 1u << 16;
constexpr size_t kMaxRowBytes = size_t{1} << 24;

// The decode itself; kept apart from anything with a destructor because of the jump.
StructureVerdict Decode(png_structp png, png_infop info, std::vector<png_byte>* row) {
  if (setjmp(png_jmpbuf(png)) != 0) return StructureVerdict::kBroken;
  png_read_info(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  if (rowBytes == 0 || rowBytes > kMaxRowBytes) return StructureVerdict::kNoCheck;
  row->resize(rowBytes);
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, row->data(), nullptr);
  }
  png_read_end(png, nullptr);
  return StructureVerdict::kConsistent;
}

}  // namespace

StructureVerdict CheckPngDecoded(FileBytes& bytes) {
  const uint8_t* signature = bytes.Get(0, 8);
  if (signature == nullptr || png_sig_cmp(signature, 0, 8) != 0) return StructureVerdict::kBroken;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  if (png == nullptr) return StructureVerdict::kNoCheck;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return StructureVerdict::kNoCheck;
  }
  Input input{&bytes, 0};
  png_set_read_fn(png, &input, ReadData);
  // Every CRC counts, ancillary chunks' too; what libpng calls benign is damage here.
  png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
  png_set_benign_errors(png, 0);
  png_set_user_limits(png, kMaxDimension, kMaxDimension);
  std::vector<png_byte> row;
  const StructureVerdict verdict = Decode(png, info, &row);
  png_destroy_read_struct(&png, &info, nullptr);
  return verdict;
}

}  // namespace engine::signatures
