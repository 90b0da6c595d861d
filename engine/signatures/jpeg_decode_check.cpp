// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "engine/signatures/structure_checks.h"

namespace engine::signatures {
namespace {

// The decoder's error handling: errors jump back to the check, warnings are
// counted and never printed.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  int warnings = 0;
  FileBytes* bytes = nullptr;
  uint64_t (*position)(j_common_ptr) = nullptr;  // how far the decoder has read
};

// Where the data stopped holding: as far as the decoder had read when it first complained.
void NoteProblem(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (errors->bytes != nullptr && errors->position != nullptr && cinfo->is_decompressor) {
    errors->bytes->NoteBrokenAt(errors->position(cinfo));
  }
}

void OnError(j_common_ptr cinfo) {
  NoteProblem(cinfo);
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  ++reinterpret_cast<ErrorManager*>(cinfo->err)->warnings;
  NoteProblem(cinfo);
}

void Silent(j_common_ptr) {}

// The compressed data, fed from the file in spans; past its end the decoder
// gets an end-of-image marker, and a warning is counted.
struct Source {
  jpeg_source_mgr base;
  FileBytes* bytes = nullptr;
  uint64_t next = 0;
  bool ended = false;
};

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void InitSource(j_decompress_ptr) {}

uint64_t ReadPosition(j_common_ptr common) {
  auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  const Source* source = reinterpret_cast<const Source*>(cinfo->src);
  if (source == nullptr || source->ended) return source == nullptr ? 0 : source->bytes->Size();
  return source->next - std::min<uint64_t>(source->next, source->base.bytes_in_buffer);
}

boolean FillInput(j_decompress_ptr cinfo) {
  Source* source = reinterpret_cast<Source*>(cinfo->src);
  size_t got = 0;
  const uint8_t* data = source->bytes->Span(source->next, FileBytes::kMaxSpan, &got);
  if (data == nullptr || got == 0) {
    ++reinterpret_cast<ErrorManager*>(cinfo->err)->warnings;
    source->ended = true;
    source->base.next_input_byte = kEndOfImage;
    source->base.bytes_in_buffer = 2;
    return TRUE;
  }
  source->next += got;
  source->base.next_input_byte = data;
  source->base.bytes_in_buffer = got;
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  Source* source = reinterpret_cast<Source*>(cinfo->src);
  while (count > 0) {
    if (static_cast<size_t>(count) <= source->base.bytes_in_buffer) {
      source->base.next_input_byte += count;
      source->base.bytes_in_buffer -= static_cast<size_t>(count);
      return;
    }
    count -= static_cast<long>(source->base.bytes_in_buffer);
    source->base.bytes_in_buffer = 0;
    FillInput(cinfo);
    if (source->ended) return;
  }
}

void TermSource(j_decompress_ptr) {}

// Notes every component a scan delivers data for (called at each scan start).
struct ScanWatch {
  jpeg_progress_mgr base;
  uint32_t componentsSeen = 0;
};

void OnProgress(j_common_ptr common) {
  auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  auto* watch = reinterpret_cast<ScanWatch*>(cinfo->progress);
  for (int i = 0; i < cinfo->comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i) {
    const jpeg_component_info* component = cinfo->cur_comp_info[i];
    if (component != nullptr && component->component_index < 32) watch->componentsSeen |= 1u << component->component_index;
  }
}

// Largest image decoded: 2^28 pixels (a quarter of a gigapixel).
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;

// The decode itself; kept apart from anything with a destructor because of the jump.
StructureVerdict Decode(jpeg_decompress_struct* cinfo, ErrorManager* errors, ScanWatch* watch, JSAMPLE* row,
                        size_t rowBytes) {
  if (setjmp(errors->jump) != 0) return StructureVerdict::kBroken;
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return StructureVerdict::kBroken;
  if (uint64_t{cinfo->image_width} * cinfo->image_height > kMaxPixels) return StructureVerdict::kNoCheck;
  if (cinfo->num_components < 1 || cinfo->num_components > 4) return StructureVerdict::kNoCheck;
  const uint32_t all = (1u << cinfo->num_components) - 1;
  if (!jpeg_has_multiple_scans(cinfo)) {
    // One scan: decode at 1/8 scale (every block's data is still entropy-decoded).
    if (cinfo->comps_in_scan != cinfo->num_components) return StructureVerdict::kBroken;
    cinfo->scale_num = 1;
    cinfo->scale_denom = 8;
    cinfo->dct_method = JDCT_IFAST;
    cinfo->do_fancy_upsampling = FALSE;
    jpeg_start_decompress(cinfo);
    if (static_cast<size_t>(cinfo->output_width) * static_cast<size_t>(cinfo->output_components) > rowBytes) {
      jpeg_abort_decompress(cinfo);
      return StructureVerdict::kNoCheck;
    }
    while (cinfo->output_scanline < cinfo->output_height) {
      JSAMPROW rows[1] = {row};
      if (jpeg_read_scanlines(cinfo, rows, 1) != 1) return StructureVerdict::kBroken;
    }
    jpeg_finish_decompress(cinfo);
  } else {
    // Several scans: their coefficients, scan by scan, without the inverse transform.
    cinfo->progress = &watch->base;
    OnProgress(reinterpret_cast<j_common_ptr>(cinfo));  // the first scan, whose header is read
    if (jpeg_read_coefficients(cinfo) == nullptr) return StructureVerdict::kBroken;
    if ((watch->componentsSeen & all) != all) return StructureVerdict::kBroken;
    if (cinfo->progressive_mode && cinfo->coef_bits != nullptr) {
      // Every coefficient of every component refined to full precision.
      for (int c = 0; c < cinfo->num_components; ++c) {
        for (int k = 0; k < DCTSIZE2; ++k) {
          if (cinfo->coef_bits[c][k] != 0) return StructureVerdict::kBroken;
        }
      }
    }
    jpeg_finish_decompress(cinfo);
  }
  return errors->warnings == 0 ? StructureVerdict::kConsistent : StructureVerdict::kBroken;
}

}  // namespace

StructureVerdict CheckJpegDecoded(FileBytes& bytes) {
  jpeg_decompress_struct cinfo{};
  ErrorManager errors{};
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  errors.base.emit_message = OnMessage;
  errors.base.output_message = Silent;
  errors.bytes = &bytes;
  errors.position = ReadPosition;
  // Errors during creation also jump here.
  if (setjmp(errors.jump) != 0) return StructureVerdict::kBroken;
  jpeg_create_decompress(&cinfo);
  Source source{};
  source.bytes = &bytes;
  source.base.init_source = InitSource;
  source.base.fill_input_buffer = FillInput;
  source.base.skip_input_data = SkipInput;
  source.base.resync_to_restart = jpeg_resync_to_restart;
  source.base.term_source = TermSource;
  cinfo.src = &source.base;
  ScanWatch watch{};
  watch.base.progress_monitor = OnProgress;
  // A row at 1/8 scale of the widest image allowed: 65535 / 8 pixels of up to 4 samples.
  std::vector<JSAMPLE> row(8192 * 4);
  const StructureVerdict verdict = Decode(&cinfo, &errors, &watch, row.data(), row.size());
  jpeg_destroy_decompress(&cinfo);
  return verdict;
}

}  // namespace engine::signatures
