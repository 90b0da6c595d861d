// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "tests/cli/cli_test_util.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using cli_testing::CliResult;
using cli_testing::RunCli;

std::set<std::string> FilesBelow(const std::string& dir) {
  std::set<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_directory()) out.insert(fs::relative(e.path(), dir).string());
  }
  return out;
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_disk3 = m_work.path() + "disk3.img";
    testing_support::WriteFileBytes(
        m_disk3, testing_support::ReadFileBytes(testing_support::UnpackedFixture("disk3_mbr.img.gz")));
    m_before = testing_support::Sha256OfFile(m_disk3);
  }
  void TearDown() override { EXPECT_EQ(testing_support::Sha256OfFile(m_disk3), m_before) << "the source was written"; }
  CliResult Run(const std::string& args, const std::string& env = "") { return RunCli(m_work.path(), args, env); }

  testing_support::TempDir m_work;
  std::string m_disk3, m_before;
};

TEST_F(CommandsTest, ListingAfterAScanShowsTheFoldersWithoutScanningAgain) {
  CliResult none = Run("ls '" + m_disk3 + "'");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("quellmoor scan"), std::string::npos) << none.err;

  ASSERT_EQ(Run("scan '" + m_disk3 + "'").status, 0);
  CliResult root = Run("ls '" + m_disk3 + "'");
  ASSERT_EQ(root.status, 0) << root.err;
  EXPECT_NE(root.out.find("!rip/"), std::string::npos) << root.out;
  EXPECT_NE(root.out.find("== disk 0 partition 3"), std::string::npos) << root.out;
  CliResult deep = Run("ls --json '" + m_disk3 + "' '!rip/!ay1'");
  ASSERT_EQ(deep.status, 0) << deep.err;
  auto items = nlohmann::json::parse(deep.out);
  std::set<std::string> names;
  for (const auto& i : items) names.insert(i["path"].get<std::string>());
  EXPECT_EQ(names, (std::set<std::string>{"!rip/!ay1/!.txt", "!rip/!ay1/!eep"}));
  CliResult missing = Run("ls '" + m_disk3 + "' nowhere");
  EXPECT_EQ(missing.status, 1);
}

TEST_F(CommandsTest, RecoverWithReuseAndSelectCopiesOnlyTheMatchingFoundFiles) {
  ASSERT_EQ(Run("scan '" + m_disk3 + "'").status, 0);
  CliResult r =
      Run("recover --reuse --select '!rip/*' --select '*.png' --out '" + m_work.path() + "out' '" + m_disk3 + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Using the kept results of the fast scan of disk 0 partition 1"), std::string::npos) << r.err;
  EXPECT_EQ(FilesBelow(m_work.path() + "out"),
            (std::set<std::string>{"photo/!at.jpg", "photo/!at(1).jpg", "document/!.txt", "document/!(1).txt",
                                   "photo/!mg.png"}));
}

TEST_F(CommandsTest, OneCategoryRuleForScanTypesAndRecovery) {
  CliResult scan = Run("scan --json --types other '" + m_disk3 + "'");
  ASSERT_EQ(scan.status, 0) << scan.err;
  auto files = nlohmann::json::parse(scan.out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]["name"], "!ata");
  EXPECT_EQ(files[0]["category"], "other");
  CliResult recover = Run("recover --types other --out '" + m_work.path() + "out' '" + m_disk3 + "'");
  ASSERT_EQ(recover.status, 0) << recover.err;
  EXPECT_EQ(FilesBelow(m_work.path() + "out"), std::set<std::string>{"others/!ata"});
}

TEST_F(CommandsTest, ABadSourceLeavesNoOutputFolderAndAFileAsOutputIsNamed) {
  CliResult bad = Run("recover --out '" + m_work.path() + "out' '" + m_work.path() + "missing.img'");
  EXPECT_EQ(bad.status, 1);
  EXPECT_FALSE(fs::exists(m_work.path() + "out"));
  testing_support::WriteFileBytes(m_work.path() + "file", {1});
  CliResult file = Run("recover --out '" + m_work.path() + "file' '" + m_disk3 + "'");
  EXPECT_EQ(file.status, 2);
  EXPECT_NE(file.err.find("is a file, not a folder"), std::string::npos) << file.err;
}

TEST_F(CommandsTest, AFifoSourceIsRefusedAtOnce) {
  const std::string fifo = m_work.path() + "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Without the refusal the open would wait for a writer: the test would hang.
  for (const char* command : {"scan", "probe", "ls"}) {
    CliResult r = Run(std::string(command) + " '" + fifo + "'");
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("it is a FIFO, not a disk or image file"), std::string::npos) << r.err;
  }
}

TEST_F(CommandsTest, ImagesOfAWholeDiskAndOfOnePartition) {
  CliResult whole = Run("image '" + m_disk3 + "' --out '" + m_work.path() + "copy.img'");
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(testing_support::Sha256OfFile(m_work.path() + "copy.img"), m_before);
  EXPECT_NE(whole.out.find("quellmoor scan"), std::string::npos) << whole.out;

  CliResult again = Run("image '" + m_disk3 + "' --out '" + m_work.path() + "copy.img'");
  EXPECT_EQ(again.status, 2);
  EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;

  CliResult part = Run("image disk:0:2 --out '" + m_work.path() + "p2.img'", "QUELLMOOR_DISKS='" + m_disk3 + "'");
  ASSERT_EQ(part.status, 0) << part.err;
  auto disk = testing_support::ReadFileBytes(m_disk3);
  std::vector<uint8_t> expected(disk.begin() + 6144 * 512, disk.begin() + (6144 + 4096) * 512);
  EXPECT_EQ(testing_support::ReadFileBytes(m_work.path() + "p2.img"), expected);
  // The image scans like the partition.
  CliResult scan = Run("scan --json '" + m_work.path() + "p2.img'");
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(nlohmann::json::parse(scan.out).size(), 2u);

  CliResult onSource = Run("image '" + m_disk3 + "' --out '" + m_disk3 + "' --force");
  EXPECT_EQ(onSource.status, 1);
  EXPECT_NE(onSource.err.find("disk you are imaging"), std::string::npos) << onSource.err;
  CliResult device = Run("image '" + m_disk3 + "' --out /dev/null");
  EXPECT_EQ(device.status, 2);
}

// Found names are data: in a table they are shown escaped, so a name cannot
// move the cursor, clear the screen or fake a line of output.
TEST_F(CommandsTest, ControlCharactersInFoundNamesAreShownEscaped) {
  // The long name of the deleted "deleted_root.txt" on a FAT12 copy gets an
  // ESC and a line feed in place of two of its letters.
  auto bytes = testing_support::ReadFileBytes(testing_support::UnpackedFixture("fat12.img.gz"));
  const std::string first("d\0e\0l\0e\0t\0", 10), second("e\0d\0_\0r\0o\0o\0", 12);
  size_t entry = 0;
  for (size_t at = 0; at + 32 <= bytes.size() && entry == 0; at += 32) {
    if (bytes[at + 11] == 0x0F && std::equal(first.begin(), first.end(), bytes.begin() + at + 1) &&
        std::equal(second.begin(), second.end(), bytes.begin() + at + 14)) {
      entry = at;  // the long-name entry holding "deleted_roo"
    }
  }
  ASSERT_NE(entry, 0u);
  bytes[entry + 1] = 0x1B;   // "d" -> ESC
  bytes[entry + 18] = '\n';  // "_" -> LF
  const std::string image = m_work.path() + "names.img";
  testing_support::WriteFileBytes(image, bytes);
  CliResult r = Run("scan --types txt '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find('\x1B'), std::string::npos);
  EXPECT_NE(r.out.find("\\eeleted\\nroot.txt"), std::string::npos) << r.out;
  CliResult json = Run("scan --json --types txt '" + image + "'");
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(json.out.find('\x1B'), std::string::npos);
  EXPECT_NE(json.out.find("\\u001beleted\\nroot.txt"), std::string::npos) << json.out;
}

TEST_F(CommandsTest, MessagesComeFromTheChosenLanguage) {
  CliResult german = Run("--lang Deutsch recover '" + m_disk3 + "' --out '" + m_work.path() + "out' --types other");
  ASSERT_EQ(german.status, 0) << german.err;
  EXPECT_NE(german.out.find("1 wiederhergestellt, 0 fehlgeschlagen"), std::string::npos) << german.out;
  CliResult unknown = Run("--lang Klingon probe '" + m_disk3 + "'");
  EXPECT_EQ(unknown.status, 0);
  EXPECT_NE(unknown.err.find("no language file for 'Klingon'"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.out.find("partition table: MBR"), std::string::npos);
  CliResult help = Run("--lang Deutsch recover --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Beispiele:"), std::string::npos) << help.out;
}

TEST_F(CommandsTest, EveryCommandsHelpCarriesAnExample) {
  for (const char* command : {"disks", "probe", "scan", "ls", "recover", "image"}) {
    CliResult r = Run(std::string(command) + " --help");
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_NE(r.out.find("quellmoor " + std::string(command)), std::string::npos) << command << "\n" << r.out;
  }
  CliResult top = Run("--help");
  EXPECT_NE(top.out.find("quellmoor disks"), std::string::npos);
}

TEST_F(CommandsTest, DisksAreListedWithTheirSourceNamesAndAsJson) {
  const std::string env = "QUELLMOOR_DISKS='" + m_disk3 + "'";
  CliResult table = Run("disks", env);
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("disk:0:3"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("QMDISK3P2"), std::string::npos) << table.out;
  CliResult json = Run("disks --json", env);
  ASSERT_EQ(json.status, 0);
  auto disks = nlohmann::json::parse(json.out);
  ASSERT_EQ(disks.size(), 1u);
  ASSERT_EQ(disks[0]["volumes"].size(), 3u);
  EXPECT_EQ(disks[0]["volumes"][1]["fileSystem"], "FAT12");
  EXPECT_EQ(disks[0]["volumes"][1]["startSector"], 6144);
}

// A deep scan of a whole disk reads every partition; what the intact file
// systems list is not listed again by the raw engines, and JSON names the
// engine, first sector and fragments of every file.
TEST_F(CommandsTest, DeepModeScansEveryPartitionOnceAndNamesTheEngines) {
  CliResult r = Run("scan --mode deep --json '" + m_disk3 + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, int> perPath;
  std::set<std::string> engines;
  for (const auto& item : nlohmann::json::parse(r.out)) {
    ++perPath[item["source"].get<std::string>() + ":" + item["path"].get<std::string>() + ":" +
              std::to_string(item["size"].get<uint64_t>())];
    engines.insert(item["engine"].get<std::string>());
    if (!item["isFolder"].get<bool>() && item["size"].get<uint64_t>() != 0) {
      EXPECT_TRUE(item["firstSector"].is_number()) << item.dump();
      EXPECT_EQ(item["fragments"].get<int>(), 1) << item.dump();
    }
  }
  EXPECT_EQ(perPath.size(), 12u);
  for (const auto& [path, count] : perPath) EXPECT_EQ(count, 1) << path;
  EXPECT_EQ(engines, std::set<std::string>{"fast-fat"});
}

// JSON's fragments counts the runs an NTFS file's data lies in, for the
// fast engine and for the raw one after a format.
TEST_F(CommandsTest, FragmentsCountTheRunsOfAnNtfsFile) {
  for (const auto& [fixture, mode] :
       {std::pair<std::string, std::string>{"ntfs_4k", "fast"}, {"ntfs_reformat_4k", "deep"}}) {
    SCOPED_TRACE(fixture);
    const std::string image = testing_support::UnpackedFixture(fixture + ".img.gz");
    if (image.empty()) GTEST_SKIP() << "fixture " << fixture << " is not available";
    std::map<std::string, int> expected;  // name and size → runs
    for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath(fixture + ".manifest.tsv"))) {
      const size_t runs = row.note.find("runs=");
      if (row.state != "deleted" || runs == std::string::npos) continue;
      expected[row.path.substr(row.path.rfind('/') + 1) + ":" + row.size] = std::atoi(row.note.c_str() + runs + 5);
    }
    ASSERT_GT(expected.size(), 2u);
    ASSERT_EQ(std::count_if(expected.begin(), expected.end(), [](const auto& e) { return e.second == 50; }), 1);
    CliResult r = Run("scan --mode " + mode + " --json '" + image + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> shown;
    for (const auto& item : nlohmann::json::parse(r.out)) {
      const std::string key = item["name"].get<std::string>() + ":" + std::to_string(item["size"].get<uint64_t>());
      if (expected.count(key) != 0 && item["engine"].get<std::string>().find("ntfs") != std::string::npos) {
        shown[key] = item["fragments"].get<int>();
      }
    }
    EXPECT_EQ(shown, expected);
  }
}

// A deleted file put together from pieces carries the mark in the file table,
// the same files JSON calls reassembled, and the summary counts them, also
// when the kept results are shown again.
TEST_F(CommandsTest, FilesPutTogetherFromPiecesAreMarkedInTheTableAndCounted) {
  const std::string image = testing_support::UnpackedFixture("fragmented_fat.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture fragmented_fat is not available";
  CliResult json = Run("scan --mode deep --json '" + image + "'");
  ASSERT_EQ(json.status, 0) << json.err;
  std::set<std::string> pieced;
  for (const auto& item : nlohmann::json::parse(json.out)) {
    if (item["reassembled"].get<bool>()) pieced.insert(item["name"].get<std::string>());
  }
  ASSERT_GE(pieced.size(), 4u);  // the photo, the PNG, the zip and the document at least
  for (const char* reuse : {"", " --reuse"}) {
    SCOPED_TRACE(reuse);
    CliResult table = Run(std::string("scan --mode deep") + reuse + " '" + image + "'");
    ASSERT_EQ(table.status, 0) << table.err;
    std::set<std::string> marked;
    std::istringstream lines(table.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t mark = line.rfind(' ');
      if (mark == std::string::npos || line.find("reassembled", mark) == std::string::npos) continue;
      for (const std::string& name : pieced) {
        if (line.find(" " + name + " ") != std::string::npos) marked.insert(name);
      }
    }
    EXPECT_EQ(marked, pieced) << table.out;
    EXPECT_NE(table.out.find(std::to_string(pieced.size()) + " of them put together from pieces"), std::string::npos)
        << table.out;
  }
}

// A kept deep scan that was changed is not used: the command says why and
// scans the drive again, to what a deep scan finds.
TEST_F(CommandsTest, ADamagedKeptDeepScanIsSetAsideWithItsReason) {
  CliResult first = Run("scan --mode deep --json '" + m_disk3 + "'");
  ASSERT_EQ(first.status, 0) << first.err;
  int damaged = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(m_work.path() + "data")) {
    if (e.path().filename() != "Deep_Scan.state") continue;
    std::vector<uint8_t> bytes = testing_support::ReadFileBytes(e.path().string());
    ASSERT_GT(bytes.size(), 40u);
    bytes[40] ^= 0x10;
    testing_support::WriteFileBytes(e.path().string(), bytes);
    ++damaged;
  }
  ASSERT_EQ(damaged, 3);  // one per partition
  CliResult listed = Run("ls --mode deep '" + m_disk3 + "'");
  EXPECT_NE(listed.err.find("The kept deep scan of disk 0 partition 1 is damaged (it was changed or cut short) and "
                            "cannot be shown."),
            std::string::npos)
      << listed.err;
  CliResult again = Run("scan --mode deep --resume yes --json '" + m_disk3 + "'");
  ASSERT_EQ(again.status, 0) << again.err;
  for (const char* source : {"disk 0 partition 1", "disk 0 partition 2", "disk 0 partition 3"}) {
    EXPECT_NE(again.err.find(std::string("The kept deep scan of ") + source +
                             " is damaged (it was changed or cut short). It is set aside"),
              std::string::npos)
        << again.err;
  }
  EXPECT_EQ(nlohmann::json::parse(again.out).size(), nlohmann::json::parse(first.out).size());
}

// A partition whose table entry is gone lies in unpartitioned space, which a
// deep scan of the disk searches for volumes: the one found there is read as
// a partition. A fast scan leaves it alone.
TEST_F(CommandsTest, DeepModeFindsAPartitionTheTableNoLongerNames) {
  auto bytes = testing_support::ReadFileBytes(m_disk3);
  std::fill(bytes.begin() + 446 + 16, bytes.begin() + 446 + 32, uint8_t{0});  // the second entry
  const std::string lost = m_work.path() + "lost.img";
  testing_support::WriteFileBytes(lost, bytes);
  CliResult fast = Run("scan --json '" + lost + "'");
  ASSERT_EQ(fast.status, 0) << fast.err;
  std::set<std::string> sources;
  for (const auto& item : nlohmann::json::parse(fast.out)) sources.insert(item["source"].get<std::string>());
  EXPECT_EQ(sources, (std::set<std::string>{"disk 0 partition 1", "disk 0 partition 3"}));

  CliResult deep = Run("scan --mode deep --json '" + lost + "'");
  ASSERT_EQ(deep.status, 0) << deep.err;
  std::set<std::string> found, deepSources;
  for (const auto& item : nlohmann::json::parse(deep.out)) {
    deepSources.insert(item["source"].get<std::string>());
    if (item["source"].get<std::string>() == "disk 0 volume at sector 6144") {
      found.insert(item["path"].get<std::string>());
    }
  }
  // The deleted files of the second partition, as its fast scan lists them.
  EXPECT_EQ(found, (std::set<std::string>{"!ic.jpg", "!otes.txt"}));
  // The first and last megabyte (the table's and alignment) are no lost partition.
  EXPECT_EQ(deepSources,
            (std::set<std::string>{"disk 0 partition 1", "disk 0 partition 3", "disk 0 volume at sector 6144"}));
}

}  // namespace
