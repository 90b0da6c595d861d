// SPDX-License-Identifier: GPL-3.0-or-later
// probe, scan, recover and verify on evidence and virtual-machine images.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ContainerFixture;

struct CliResult {
  int status;
  std::string out;
  std::string err;
};

CliResult RunCli(const std::string& dataHome, const std::string& args) {
  CliResult r;
  r.status = testing_support::RunCommand(
      "QUELLMOOR_DISKS= XDG_DATA_HOME='" + dataHome + "' '" + testing_support::CliPath() + "' " + args, &r.out, &r.err);
  return r;
}

ContainerFixture FixtureNamed(const std::string& archive) {
  for (const auto& f : testing_support::ReadContainerFixtures()) {
    if (f.archive == archive) return f;
  }
  ADD_FAILURE() << "no container fixture " << archive;
  return {};
}

// The raw fixture whose files the container's volumes hold (disk_split holds fat16 as partition 1).
std::string RawVolumesOf(const ContainerFixture& f) {
  return f.holds == "disk_split" ? "fat16" : f.holds;
}

// What a scan lists, without the source (a path or a partition label).
std::set<std::string> ScanListing(const std::string& json) {
  std::set<std::string> rows;
  for (auto item : nlohmann::json::parse(json)) {
    item.erase("source");
    item.erase("firstSector");  // absolute on the source: a whole disk's differs from its partition's
    rows.insert(item.dump());
  }
  return rows;
}

std::map<std::string, std::string> FilesByHash(const std::string& dir) {
  std::map<std::string, std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      out[testing_support::Sha256OfFile(entry.path().string())] = entry.path().filename().string();
    }
  }
  return out;
}

std::string HashOf(const std::string& tool, const std::string& path) {
  std::string out;
  testing_support::RunCommand(tool + " '" + path + "'", &out);
  return out.substr(0, out.find(' '));
}

// Adler-32, the checksum stored after each uncompressed chunk of an E01.
uint32_t Adler32(const uint8_t* data, size_t size) {
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

class ContainerCommandTest : public ::testing::TestWithParam<ContainerFixture> {};

TEST_P(ContainerCommandTest, ScanListsWhatTheRawImageLists) {
  const ContainerFixture& f = GetParam();
  const std::string container = testing_support::ContainerFixturePath(f);
  const std::string raw = testing_support::UnpackedFixture(RawVolumesOf(f) + ".img.gz");
  ASSERT_FALSE(container.empty());
  testing_support::TempDir work;
  CliResult fromContainer = RunCli(work.path() + "data", "scan --json '" + container + "'");
  CliResult fromRaw = RunCli(work.path() + "data", "scan --json '" + raw + "'");
  ASSERT_EQ(fromContainer.status, 0) << fromContainer.err;
  ASSERT_EQ(fromRaw.status, 0) << fromRaw.err;
  const std::set<std::string> listing = ScanListing(fromContainer.out);
  EXPECT_FALSE(listing.empty());
  EXPECT_EQ(listing, ScanListing(fromRaw.out)) << f.archive;
}

TEST_P(ContainerCommandTest, RecoverBringsBackEveryDeletedFileByteExact) {
  const ContainerFixture& f = GetParam();
  const std::string container = testing_support::ContainerFixturePath(f);
  const std::string raw = testing_support::UnpackedFixture(RawVolumesOf(f) + ".img.gz");
  ASSERT_FALSE(container.empty());
  const std::string before = testing_support::Sha256OfFile(container);
  testing_support::TempDir work;
  CliResult r = RunCli(work.path() + "data", "recover --out '" + work.path() + "out' '" + container + "'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(" recovered, 0 failed"), std::string::npos) << r.out;
  CliResult fromRaw = RunCli(work.path() + "data", "recover --out '" + work.path() + "raw' '" + raw + "'");
  ASSERT_EQ(fromRaw.status, 0) << fromRaw.out << fromRaw.err;
  auto recovered = FilesByHash(work.path() + "out");
  EXPECT_EQ(recovered, FilesByHash(work.path() + "raw")) << f.archive;

  int inManifest = 0;
  for (const auto& row :
       testing_support::ReadManifest(testing_support::FixturePath(RawVolumesOf(f) + ".manifest.tsv"))) {
    if (row.state == "deleted" && row.size != "-" && row.size != "0") inManifest += recovered.count(row.sha256);
  }
  EXPECT_GE(inManifest, 5) << f.archive;
  EXPECT_EQ(testing_support::Sha256OfFile(container), before) << "the container was changed";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ContainerCommandTest, ::testing::ValuesIn(testing_support::ReadContainerFixtures()),
                         [](const auto& info) { return info.param.archive; });

TEST(ContainerCommands, ProbeShowsTheContainerMediaAndStoredHashes) {
  const std::string e01 = testing_support::ContainerFixturePath(FixtureNamed("fat16_e01"));
  const std::string raw = testing_support::UnpackedFixture("fat16.img.gz");
  testing_support::TempDir work;
  CliResult r = RunCli(work.path(), "probe '" + e01 + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("(16777216 bytes)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("container: E01, 17 segment files; media 16777216 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stored MD5:  " + HashOf("md5sum", raw)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stored SHA1: " + HashOf("sha1sum", raw)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("file system: FAT16"), std::string::npos) << r.out;

  r = RunCli(work.path(), "probe '" + testing_support::ContainerFixturePath(FixtureNamed("disk_split_vmdk")) + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("container: VMDK"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("disk_split-s002.vmdk"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("4194176"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FAT16"), std::string::npos) << r.out;
}

class DamagedE01Test : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string e01 = testing_support::ContainerFixturePath(FixtureNamed("fat16_e01"));
    ASSERT_FALSE(e01.empty());
    testing_support::CopyFolderFiles(fs::path(e01).parent_path().string(), m_dir.path());
    m_e01 = m_dir.path() + "fat16.E01";
    m_media = testing_support::ReadFileBytes(testing_support::UnpackedFixture("fat16.img.gz"));
  }
  // File offset of media chunk `chunk` (32 KiB, stored uncompressed and followed by its Adler-32).
  size_t ChunkOffset(const std::vector<uint8_t>& file, uint64_t chunk) const {
    auto probe = m_media.begin() + static_cast<std::ptrdiff_t>(chunk * 32768);
    auto at = std::search(file.begin(), file.end(), probe, probe + 32768);
    EXPECT_NE(at, file.end());
    return static_cast<size_t>(at - file.begin());
  }
  // Changes one byte of chunk 3 (data clusters 25-40); with its checksum mended the change
  // passes every check but the stored hashes.
  void ChangeChunk3(bool mendChecksum) {
    std::vector<uint8_t> file = testing_support::ReadFileBytes(m_e01);
    const size_t at = ChunkOffset(file, 3);
    file[at + 1000] ^= 0xFF;
    if (mendChecksum) {
      const uint32_t adler = Adler32(file.data() + at, 32768);
      for (int i = 0; i < 4; ++i) file[at + 32768 + i] = static_cast<uint8_t>(adler >> (8 * i));
    }
    testing_support::WriteFileBytes(m_e01, file);
  }

  testing_support::TempDir m_dir;
  std::string m_e01;
  std::vector<uint8_t> m_media;
};

TEST_F(DamagedE01Test, VerifyMatchesTheIntactSet) {
  CliResult r = RunCli(m_dir.path(), "verify '" + m_e01 + "'");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(
      r.out.find("stored MD5     " + HashOf("md5sum", testing_support::UnpackedFixture("fat16.img.gz")) + "  match"),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("verified: the media matches every stored hash"), std::string::npos) << r.out;
}

TEST_F(DamagedE01Test, VerifyFindsAChangeThatPassesTheChunkChecksum) {
  ChangeChunk3(true);
  CliResult r = RunCli(m_dir.path(), "verify '" + m_e01 + "'");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("MISMATCH"), std::string::npos) << r.out;
}

TEST_F(DamagedE01Test, VerifyNamesTheFileAndOffsetOfABadChunk) {
  ChangeChunk3(false);
  CliResult r = RunCli(m_dir.path(), "verify '" + m_e01 + "'");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("fat16.E01': cannot read media bytes 98304-"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;
}

TEST_F(DamagedE01Test, VerifyNamesAMissingSegment) {
  fs::remove(m_dir.path() + "fat16.E05");
  CliResult r = RunCli(m_dir.path(), "verify '" + m_e01 + "'");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("fat16.E05' is missing"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("cannot read media bytes"), std::string::npos) << r.err;
}

TEST_F(DamagedE01Test, RecoverFailsTheFilesInABadChunkAndKeepsTheRest) {
  ChangeChunk3(false);
  CliResult r = RunCli(m_dir.path() + "data", "recover --out '" + m_dir.path() + "out' '" + m_e01 + "'");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  auto recovered = FilesByHash(m_dir.path() + "out");
  std::set<std::string> inBadChunk = {"/Docs/draft.txt", "/Docs/old_report.pdf", "/Docs/Archive/old_backup.zip"};
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("fat16.manifest.tsv"))) {
    if (row.state != "deleted" || row.size == "-" || row.size == "0") continue;
    if (inBadChunk.count(row.path)) {
      std::string name = fs::path(row.path).filename().string();
      name = name.substr(1);  // FAT keeps all but the first character of a deleted name
      EXPECT_NE(r.out.find("FAILED"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find(name + ": "), std::string::npos) << name << "\n" << r.out;
      EXPECT_FALSE(recovered.count(row.sha256)) << row.path;
    } else {
      EXPECT_TRUE(recovered.count(row.sha256)) << row.path << " not recovered byte-exact";
    }
  }
  EXPECT_NE(r.out.find("fat16.E01': cannot read media bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" recovered, 3 failed"), std::string::npos) << r.out;
}

TEST(ContainerCommands, ATruncatedImageIsAClearErrorNotAnEmptyResult) {
  const std::string e01 = testing_support::ContainerFixturePath(FixtureNamed("ntfs_512_e01"));
  testing_support::TempDir work;
  testing_support::CopyFolderFiles(fs::path(e01).parent_path().string(), work.path());
  const std::string copy = work.path() + "ntfs_512.E01";
  fs::resize_file(copy, fs::file_size(copy) / 2);
  for (const char* command : {"probe", "scan", "verify"}) {
    CliResult r = RunCli(work.path() + "data", std::string(command) + " '" + copy + "'");
    EXPECT_EQ(r.status, 1) << command << r.out << r.err;
    EXPECT_NE(r.err.find("ntfs_512.E01': cannot read media bytes 0-"), std::string::npos) << command << r.err;
  }
}

TEST(ContainerCommands, VerifyNeedsStoredHashes) {
  testing_support::TempDir work;
  CliResult r = RunCli(work.path(), "verify '" + testing_support::UnpackedFixture("fat16.img.gz") + "'");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("computed MD5   " + HashOf("md5sum", testing_support::UnpackedFixture("fat16.img.gz"))),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("stores no hash"), std::string::npos) << r.out;
  EXPECT_EQ(RunCli(work.path(), "verify").status, 2);
  EXPECT_EQ(RunCli(work.path(), "verify '" + work.path() + "missing.E01'").status, 1);
}

}  // namespace
