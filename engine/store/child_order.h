// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <vector>

#include "engine/item_record.h"

namespace engine::store {

// Child order of every listing: files before folders; within each group
// names compared byte by byte as unsigned values with A-Z folded to a-z.
bool ChildOrderLess(const ItemRecord& a, const ItemRecord& b);

// Sorts records in child order (not stable: equal names come in no fixed order).
void SortInChildOrder(std::vector<ItemRecord>& records);

}  // namespace engine::store
