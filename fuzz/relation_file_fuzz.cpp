// SPDX-License-Identifier: GPL-3.0-or-later
// The relation-file parser over arbitrary text, fed whole and again in
// pieces whose sizes come from the input: both must give the same folders,
// every id in range, and the text written back must read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/store/relation_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace engine::store;
  if (size < 1) return 0;
  const int32_t maxId = 1 + data[0] * 97;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  FolderIndex whole;
  {
    RelationParser parser(whole, maxId);
    parser.Feed(text);
    parser.Finish();
  }
  FolderIndex pieces;
  {
    RelationParser parser(pieces, maxId);
    size_t at = 0;
    for (size_t step = 1; at < text.size(); step = step % 7 + 1) {
      const size_t n = std::min(step, text.size() - at);
      parser.Feed(text.substr(at, n));
      at += n;
    }
    parser.Finish();
  }
  if (whole != pieces) std::abort();
  for (const auto& [key, ids] : whole) {
    if (ids.empty()) std::abort();
    for (int32_t id : ids) {
      if (id < 1 || id > maxId) std::abort();
    }
  }
  FolderIndex again;
  {
    RelationParser parser(again, maxId);
    parser.Feed(FormatRelationText(whole));
    parser.Finish();
  }
  if (again != whole) std::abort();
  return 0;
}
