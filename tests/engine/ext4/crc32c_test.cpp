// SPDX-License-Identifier: GPL-3.0-or-later
// The checksum of ext4 and jbd2 metadata: the processor's path (three
// streams joined) gives the table path's value for every length and start.
#include "engine/ext4/crc32c.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using engine::ext4::Crc32c;
using engine::ext4::Crc32cPortable;

TEST(Crc32cTest, TheStandardCheckValue) {
  const char text[] = "123456789";
  EXPECT_EQ(~Crc32c(0xFFFFFFFFu, text, 9), 0xE3069283u);
  EXPECT_EQ(~Crc32cPortable(0xFFFFFFFFu, text, 9), 0xE3069283u);
}

TEST(Crc32cTest, EveryLengthAndStartAgreesWithTheTables) {
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(8200);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  for (size_t length = 0; length <= 8192; length += length < 1100 ? 1 : 13) {
    for (const size_t start : {size_t{0}, size_t{3}}) {
      const uint32_t seed = random();
      ASSERT_EQ(Crc32c(seed, bytes.data() + start, length), Crc32cPortable(seed, bytes.data() + start, length))
          << "length " << length << " start " << start;
    }
  }
}

TEST(Crc32cTest, ABlocksChecksumFromAnyStartComesFromItsChecksumFromZero) {
  std::mt19937 random(11);
  std::vector<uint8_t> bytes(9000);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  for (const size_t length : {size_t{0}, size_t{1}, size_t{7}, size_t{1024}, size_t{4096}, size_t{9000}}) {
    const engine::ext4::Crc32cShift shift(length);
    const uint32_t seed = random();
    EXPECT_EQ(Crc32c(seed, bytes.data(), length), shift(seed) ^ Crc32c(0, bytes.data(), length)) << length;
  }
}

}  // namespace
