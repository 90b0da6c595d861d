// SPDX-License-Identifier: GPL-3.0-or-later
// ext volumes through the quellmoor command: probe names them (also inside
// a GPT disk), scan lists the deleted files with their folders, ls and
// preview read the kept results, recover brings them back byte-exact, and
// the source is never changed.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/engine/ext4/ext4_test_util.h"

namespace engine::ext4_testing {
namespace {

namespace fs = std::filesystem;

struct CliResult {
  int status = 0;
  std::string out;
  std::string err;
};

CliResult RunCli(const std::string& dataHome, const std::string& args) {
  CliResult r;
  r.status = testing_support::RunCommand(
      "QUELLMOOR_DISKS= XDG_DATA_HOME='" + dataHome + "' '" + testing_support::CliPath() + "' " + args, &r.out, &r.err);
  return r;
}

TEST(Ext4Command, ProbeScanLsPreviewOnAVolume) {
  const std::string image = testing_support::UnpackedFixture("ext4_home.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture ext4_home is not available";
  const std::string before = testing_support::Sha256OfFile(image);
  testing_support::TempDir work;
  const std::string data = work.path() + "data";
  CliResult r = RunCli(data, "probe '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("file system: ext4"), std::string::npos) << r.out;

  r = RunCli(data, "scan --json '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"path\":\"projects/quellmoor/src/main.c\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"engine\":\"fast-ext4\""), std::string::npos);

  r = RunCli(data, "ls '" + image + "' projects/quellmoor/docs");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("README.md"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("design.txt"), std::string::npos) << r.out;

  r = RunCli(data, "preview '" + image + "' /projects/quellmoor/docs/design.txt --out '" + work.path() + "look'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto dump = testing_support::ReadFileBytes(work.path() + "look/text.txt");
  EXPECT_NE(std::string(dump.begin(), dump.end()).find("QM-EXT4-PROJECT-design.txt"), std::string::npos);
  EXPECT_EQ(testing_support::Sha256OfFile(image), before);
}

// A GPT disk whose Linux partition holds ext4_inline: every deleted file of
// the manifest comes back in its folder.
TEST(Ext4Command, RecoverFromAGptDiskBringsBackEveryDeletedFile) {
  const std::string image = testing_support::UnpackedFixture("gpt_ext4.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture gpt_ext4 is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("gpt_ext4.manifest.tsv"));
  const std::string before = testing_support::Sha256OfFile(image);
  testing_support::TempDir work;
  CliResult r = RunCli(work.path() + "data", "probe '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("GPT"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ext4"), std::string::npos) << r.out;
  r = RunCli(work.path() + "data", "recover --tree --out '" + work.path() + "out' '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  int files = 0;
  for (const auto& row : rows) {
    if (row.state != "deleted" || row.size == "-") continue;
    ++files;
    // One volume: its files land below DIR as they lay (a folder per volume only when SOURCE holds several).
    const std::string inside = row.path.substr(row.path.find(':') + 1);
    const std::string path = work.path() + "out" + inside;
    ASSERT_TRUE(fs::exists(path)) << path << "\n" << r.out;
    EXPECT_EQ(testing_support::Sha256OfFile(path), row.sha256) << row.path;
  }
  EXPECT_GT(files, 0);
  EXPECT_NE(r.out.find(std::to_string(files) + " recovered, 0 failed"), std::string::npos) << r.out;
  EXPECT_EQ(testing_support::Sha256OfFile(image), before);
}

}  // namespace
}  // namespace engine::ext4_testing
