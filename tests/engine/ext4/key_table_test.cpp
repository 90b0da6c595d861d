// SPDX-License-Identifier: GPL-3.0-or-later
// The flat key table the ext walk and journal index look names and blocks up
// in: every key put in is found with its first value, whether the table was
// sized for them or had to grow, and nothing else is found.
#include "engine/ext4/key_table.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using engine::ext4::KeyTable;

TEST(KeyTableTest, KeysAreFoundWithTheirFirstValueWhetherSizedOrGrown) {
  for (const size_t expected : {size_t{0}, size_t{1}, size_t{5000}}) {
    KeyTable table;
    table.Reset(expected);
    constexpr uint32_t kKeys = 5000;
    // Keys 0, 7, 14, ... including 0 and keys that share low bits.
    for (uint32_t i = 0; i < kKeys; ++i) {
      const auto [value, added] = table.Insert(uint64_t{i} * 7 << 20, i);
      ASSERT_TRUE(added);
      ASSERT_EQ(*value, i);
    }
    const auto [value, added] = table.Insert(uint64_t{3} * 7 << 20, 99);
    EXPECT_FALSE(added);
    EXPECT_EQ(*value, 3u);
    EXPECT_EQ(table.Size(), kKeys);
    for (uint32_t i = 0; i < kKeys; ++i) {
      const uint32_t* found = table.Find(uint64_t{i} * 7 << 20);
      ASSERT_NE(found, nullptr) << i;
      EXPECT_EQ(*found, i);
      EXPECT_FALSE(table.Contains((uint64_t{i} * 7 << 20) + 1));
    }
    table.Reset(0);
    EXPECT_FALSE(table.Contains(0));
  }
}

}  // namespace
