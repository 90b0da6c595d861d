// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::RunCommand;

struct CliResult {
  int status;
  std::string out;
  std::string err;
};

CliResult RunCli(const std::string& dataHome, const std::string& args) {
  CliResult r;
  r.status = RunCommand(
      "QUELLMOOR_DISKS= XDG_DATA_HOME='" + dataHome + "' '" + testing_support::CliPath() + "' " + args, &r.out, &r.err);
  return r;
}

// sha256 → relative path of every file below dir.
std::map<std::string, std::string> FilesByHash(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      out[testing_support::Sha256OfFile(entry.path().string())] = fs::relative(entry.path(), dir).string();
    }
  }
  return out;
}

class RecoverCommandTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RecoverCommandTest, EveryDeletedFileComesBackByteExact) {
  std::string fixture = GetParam();
  std::string image = testing_support::UnpackedFixture(fixture + ".img.gz");
  ASSERT_FALSE(image.empty());
  auto manifest = testing_support::ReadManifest(testing_support::FixturePath(fixture + ".manifest.tsv"));
  ASSERT_FALSE(manifest.empty());
  std::string before = testing_support::Sha256OfFile(image);
  testing_support::TempDir work;
  CliResult r = RunCli(work.path() + "data", "recover --mode fast --out '" + work.path() + "out' '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto recovered = FilesByHash(work.path() + "out");
  for (const auto& row : manifest) {
    if (row.state != "deleted" || row.size == "-" || row.size == "0") continue;
    auto it = recovered.find(row.sha256);
    EXPECT_NE(it, recovered.end()) << fixture << ": " << row.path << " not recovered byte-exact";
  }
  EXPECT_NE(r.out.find(" recovered, 0 failed"), std::string::npos) << r.out;
  EXPECT_EQ(testing_support::Sha256OfFile(image), before);
}

INSTANTIATE_TEST_SUITE_P(FatVolumes, RecoverCommandTest, ::testing::Values("fat12", "fat16", "fat32_512"));

TEST(ScanCommand, JsonListsDeletedFilesWithTheirFolders) {
  std::string image = testing_support::UnpackedFixture("fat16.img.gz");
  ASSERT_FALSE(image.empty());
  testing_support::TempDir work;
  CliResult r = RunCli(work.path() + "data", "scan --json --types photo,txt '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  auto files = nlohmann::json::parse(r.out);
  ASSERT_TRUE(files.is_array());
  std::set<std::string> sizes;
  bool sawSubfolder = false;
  for (const auto& f : files) {
    EXPECT_TRUE(f["deleted"].get<bool>());
    EXPECT_EQ(f["engine"], "fast-fat");
    std::string category = f["category"];
    EXPECT_TRUE(category == "photo" || category == "document") << category;
    sizes.insert(std::to_string(f["size"].get<uint64_t>()));
    if (f["folder"].get<std::string>().find("Sub/") != std::string::npos) sawSubfolder = true;
    for (const char* key : {"source", "path", "name", "intact", "modified"}) EXPECT_TRUE(f.contains(key)) << key;
  }
  EXPECT_TRUE(sawSubfolder) << r.out;
  EXPECT_TRUE(sizes.count("6493"));  // d.png in the deleted subfolder
  EXPECT_FALSE(sizes.count("447") && sizes.size() == 1);
}

TEST(RecoverCommand, TreeLayoutKeepsFoldersOfAWholeDisk) {
  std::string image = testing_support::UnpackedFixture("disk_mbr.img.gz");
  ASSERT_FALSE(image.empty());
  testing_support::TempDir work;
  CliResult r =
      RunCli(work.path() + "data", "recover --tree --types txt --out '" + work.path() + "out' '" + image + "'");
  EXPECT_NE(r.status, 2) << r.err;
  EXPECT_TRUE(fs::exists(work.path() + "out/partition1")) << r.out << r.err;
}

TEST(RecoverCommand, UsageErrors) {
  testing_support::TempDir work;
  EXPECT_EQ(RunCli(work.path(), "recover x.img").status, 2);  // --out missing
  EXPECT_EQ(RunCli(work.path(), "recover --mode slow --out '" + work.path() + "o' x.img").status, 2);
  EXPECT_EQ(RunCli(work.path(), "scan --types '*.jpg' x.img").status, 2);
  CliResult missing = RunCli(work.path(), "scan '" + work.path() + "missing.img'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
}

}  // namespace
