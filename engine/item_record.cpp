// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/item_record.h"

#include "platform/utf.h"

namespace engine {

namespace {

// Longest extension kept whole when a name must be cut.
constexpr size_t kKeptExtensionBytes = 32;

}  // namespace

void SetItemName(ItemRecord& record, std::string_view name) {
  std::memset(record.name, 0, sizeof record.name);
  const size_t room = sizeof record.name - 1;
  const size_t dot = name.rfind('.');
  if (name.size() <= room || dot == std::string_view::npos || dot == 0 || name.size() - dot > kKeptExtensionBytes) {
    platform::CopyUtf8Truncated(name, record.name, sizeof record.name);
    return;
  }
  // Too long: the stem is cut, on a character boundary, so that the
  // extension (and with it the file's kind) survives.
  const std::string_view extension = name.substr(dot);
  const std::string_view stem = name.substr(0, dot);
  const size_t keep = platform::Utf8BoundaryAtOrBefore(stem, room - extension.size());
  std::memcpy(record.name, stem.data(), keep);
  std::memcpy(record.name + keep, extension.data(), extension.size());
}

const char* StateWord(ItemState state) {
  switch (state) {
    case ItemState::kIntact: return "intact";
    case ItemState::kOverwritten: return "overwritten";
    case ItemState::kDamaged: break;
  }
  return "damaged";
}

}  // namespace engine
