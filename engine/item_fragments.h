// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

#include "engine/item_record.h"

namespace engine {

// Implemented by engines that lay a found file out over several runs of the
// medium (a fragmented deleted file): how many runs its data comes from.
// Front ends ask it with dynamic_cast; engines without it read every file
// from one place. One thread at a time.
class IItemFragments {
 public:
  virtual ~IItemFragments() = default;
  // 1 for a file read from one run (or one chain); more for a fragmented one.
  virtual int32_t FragmentCount(const ItemRecord& item) = 0;
  // Whether a deleted file's data was put together from pieces with other
  // data between them (no chain of the file system lists them).
  virtual bool Reassembled(const ItemRecord& item) {
    (void)item;
    return false;
  }
};

}  // namespace engine
