// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/item_record.h"

#include "platform/utf.h"

namespace engine {

void SetItemName(ItemRecord& record, std::string_view name) {
  std::memset(record.name, 0, sizeof record.name);
  platform::CopyUtf8Truncated(name, record.name, sizeof record.name);
}

}  // namespace engine
