// SPDX-License-Identifier: GPL-3.0-or-later
// Names of directory entries as the engine records them, and the output
// paths it builds from them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/fat/fat_names.h"
#include "engine/output_path.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

std::string ShortName(const char* name11) {
  uint8_t entry[32] = {};
  std::memcpy(entry, name11, 11);
  entry[11] = 0x20;
  return fat::ShortEntryName(entry);
}

TEST(ShortEntryNameTest, DeletedEightDotThreeNameShowsBangAndLowerCase) {
  EXPECT_EQ(ShortName("\xE5"
                      "EPORT  TXT"),
            "!eport.txt");
  EXPECT_EQ(ShortName("README  TXT"), "readme.txt");
  EXPECT_EQ(ShortName("MAKEFILE   "), "makefile");
  EXPECT_EQ(ShortName("A       B  "), "a.b");
}

TEST(ShortEntryNameTest, HighBytesAreCodePage437) {
  EXPECT_EQ(ShortName("CAF\x90    TXT"), "caf\xC3\x89.txt");  // 0x90 is É
  EXPECT_EQ(ShortName("\x05"
                      "BC     TXT"),
            "\xCF\x83"
            "bc.txt");  // 0x05 stands for 0xE5, σ
  EXPECT_EQ(ShortName("\xE5\x90SUM\x90~1TXT"), "!\xC3\x89sum\xC3\x89~1.txt");
}

}  // namespace
}  // namespace engine::fat_testing
