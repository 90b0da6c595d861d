// SPDX-License-Identifier: GPL-3.0-or-later
// A fast scan that could not follow a deleted folder's listing to its end
// says so after its summary and points to the deep scan, also when its kept
// results are shown again; one that followed every listing says nothing of
// the kind.
#include <gtest/gtest.h>

#include "tests/cli/cli_test_util.h"
#include "tests/support/test_support.h"

namespace {

using cli_testing::RunCli;

TEST(CutListingHintTest, TheFastScanPointsToTheDeepScanOnlyWhenAListingWasCutOff) {
  testing_support::TempDir work;
  const std::string plain = testing_support::UnpackedFixture("deleted_tree_plain_fat.img.gz");
  const std::string tree = testing_support::UnpackedFixture("deleted_tree_fat.img.gz");
  if (plain.empty() || tree.empty()) GTEST_SKIP() << "deleted tree fixtures are not available";

  // The second run of each shows the kept results, and says the same.
  for (const std::string reuse : {"", "--reuse "}) {
    SCOPED_TRACE(reuse);
    const auto cut = RunCli(work.path(), "scan " + reuse + "'" + plain + "'");
    ASSERT_EQ(cut.status, 0) << cut.err;
    const size_t summary = cut.out.find("28 files found");
    const size_t hint = cut.out.find("2 deleted folders may hold more files than listed");
    ASSERT_NE(summary, std::string::npos) << cut.out;
    ASSERT_NE(hint, std::string::npos) << cut.out;
    EXPECT_GT(hint, summary);
    EXPECT_NE(cut.out.find("--mode deep", hint), std::string::npos);

    const auto whole = RunCli(work.path(), "scan " + reuse + "'" + tree + "'");
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_NE(whole.out.find("834 files found"), std::string::npos) << whole.out.substr(whole.out.size() - 300);
    EXPECT_EQ(whole.out.find("may hold more files"), std::string::npos);
    EXPECT_EQ(whole.err.find("may hold more files"), std::string::npos);
  }
}

}  // namespace
