// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/child_order.h"

#include <algorithm>

namespace engine::store {
namespace {

unsigned char Fold(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + 32) : u;
}

}  // namespace

bool ChildOrderLess(const ItemRecord& a, const ItemRecord& b) {
  bool aFolder = a.isFolder != 0, bFolder = b.isFolder != 0;
  if (aFolder != bFolder) return bFolder;
  for (size_t i = 0; i < kItemNameBytes; ++i) {
    unsigned char x = Fold(a.name[i]), y = Fold(b.name[i]);
    if (x != y) return x < y;
    if (x == 0) return false;
  }
  return false;
}

void SortInChildOrder(std::vector<ItemRecord>& records) {
  if (records.size() > 1) std::sort(records.begin(), records.end(), ChildOrderLess);
}

}  // namespace engine::store
