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

TEST(OutputPathTest, TakenNamesGetANumberBeforeTheExtension) {
  testing_support::TempDir dir;
  const std::string folder = dir.path().substr(0, dir.path().size() - 1);
  EXPECT_EQ(FreeChildPath(folder, "a.txt"), folder + "/a.txt");
  testing_support::WriteFileBytes(folder + "/a.txt", {1});
  EXPECT_EQ(FreeChildPath(folder, "a.txt"), folder + "/a (2).txt");
  testing_support::WriteFileBytes(folder + "/a (2).txt", {1});
  EXPECT_EQ(FreeChildPath(folder, "a.txt"), folder + "/a (3).txt");
  testing_support::WriteFileBytes(folder + "/.hidden", {1});
  EXPECT_EQ(FreeChildPath(folder, ".hidden"), folder + "/.hidden (2)");
  const std::string longName(255, 'q');
  testing_support::WriteFileBytes(folder + "/" + longName, {1});
  const std::string next = FreeChildPath(folder, longName);
  EXPECT_EQ(next.size() - folder.size() - 1, 255u);
  EXPECT_EQ(next.substr(next.size() - 4), " (2)");
}

TEST(OutputPathTest, SeparatorsAreCountedBothWaysExceptALastOne) {
  EXPECT_EQ(SeparatorCount("/out/rec"), 2);
  EXPECT_EQ(SeparatorCount("/out/rec/"), 2);
  EXPECT_EQ(SeparatorCount("C:\\out\\rec\\A"), 3);
  EXPECT_EQ(SeparatorCount(""), 0);
}

}  // namespace
}  // namespace engine::fat_testing
