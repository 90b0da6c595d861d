// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

// "cmake --install" lays the program out as a Linux tool, and the installed
// program finds its language files from bin/ through ../share/quellmoor.
TEST(Install, TheInstalledProgramFindsItsLanguageFiles) {
  testing_support::TempDir prefix;
  std::string out, err;
  ASSERT_EQ(
      testing_support::RunCommand(
          "cmake --install '" + std::string(QUELLMOOR_BUILD_DIR) + "' --prefix '" + prefix.path() + "'", &out, &err),
      0)
      << err;
  for (const char* file : {"bin/quellmoor", "share/quellmoor/config.ini", "share/quellmoor/Languages/English.ini",
                           "share/quellmoor/Languages/Deutsch.ini", "share/man/man1/quellmoor.1",
                           "share/bash-completion/completions/quellmoor"}) {
    EXPECT_TRUE(fs::exists(prefix.path() + file)) << file;
  }
  testing_support::TempDir home;
  const std::string run =
      "XDG_CONFIG_HOME='" + home.path() + "' XDG_DATA_HOME='" + home.path() + "' '" + prefix.path() + "bin/quellmoor' ";
  ASSERT_EQ(testing_support::RunCommand(run + "--lang Deutsch scan --help", &out, &err), 0) << err;
  EXPECT_NE(out.find("Beispiele:"), std::string::npos) << out;
  ASSERT_EQ(testing_support::RunCommand(run + "--help", &out, &err), 0) << err;
  EXPECT_NE(out.find("quellmoor disks"), std::string::npos) << out;
  EXPECT_TRUE(err.empty()) << err;  // no complaint about missing language files
}

}  // namespace
