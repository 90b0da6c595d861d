// SPDX-License-Identifier: GPL-3.0-or-later
// The fast FAT engine on volumes made in the test with mkfs.fat and mtools,
// then given one precise change: hostile long names, a long-name run longer
// than the format allows, bad cluster numbers, unreadable sectors.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat/fat_geometry.h"
#include "engine/output_path.h"
#include "engine/safe_name.h"
#include "platform/folders.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::Sha256OfBytes;
using testing_support::Sha256OfFile;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

bool HaveFatTools() {
  std::string out;
  return RunCommand("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null && echo ok", &out) == 0 &&
         out.find("ok") != std::string::npos;
}

void RunTool(const std::string& command) {
  std::string out;
  std::string err;
  ASSERT_EQ(RunCommand("MTOOLS_SKIP_CHECK=1 " + command, &out, &err), 0) << command << "\n" << err;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

// Replaces the 13 characters of the long-name entry whose first five
// characters are those of `original` with `replacement` (at most 13
// characters, then a terminator and padding).
void PatchLongName(std::vector<uint8_t>& bytes, const std::u16string& original, const std::u16string& replacement) {
  static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
    if (bytes[at + 11] != 0x0F) continue;
    bool match = true;
    for (size_t i = 0; i < 5 && match; ++i) {
      match = bytes[at + kOffsets[i]] == (original[i] & 0xFF) && bytes[at + kOffsets[i] + 1] == (original[i] >> 8);
    }
    if (!match) continue;
    for (size_t i = 0; i < 13; ++i) {
      char16_t c = i < replacement.size() ? replacement[i] : (i == replacement.size() ? u'\0' : u'\xFFFF');
      bytes[at + kOffsets[i]] = static_cast<uint8_t>(c & 0xFF);
      bytes[at + kOffsets[i] + 1] = static_cast<uint8_t>(c >> 8);
    }
    return;
  }
  ADD_FAILURE() << "no long-name entry to patch";
}

const FoundItem* Find(const std::map<std::string, FoundItem>& all, const std::string& path) {
  auto it = all.find(path);
  return it == all.end() ? nullptr : &it->second;
}

std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  return files;
}

// --- Names found on disk never choose where the output goes -------------------

class HostileNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat / mtools are not installed";
    const std::string img = m_work.path() + "names.img";
    m_files = {Pattern(3000, 1), Pattern(2500, 2), Pattern(5000, 3), Pattern(700, 4)};
    for (size_t i = 0; i < m_files.size(); ++i) WriteFileBytes(m_work.path() + "f" + std::to_string(i), m_files[i]);
    const std::string f = m_work.path() + "f";
    RunTool("mkfs.fat -C -F 16 " + img + " 16384 >/dev/null");
    RunTool("mcopy -i " + img + " " + f + "0 ::/abcdefghij.tx");
    RunTool("mcopy -i " + img + " " + f + "1 ::/Doc012345.pdf");
    RunTool("mmd -i " + img + " ::/Folder");
    RunTool("mcopy -i " + img + " " + f + "2 ::/Folder/InnerFile.txt");
    RunTool("mmd -i " + img + " ::/Folder/SubDir1");
    RunTool("mcopy -i " + img + " " + f + "3 ::/Folder/SubDir1/Deep.txt");
    RunTool("mdel -i " + img + " ::/abcdefghij.tx ::/Doc012345.pdf");
    RunTool("mdeltree -i " + img + " ::/Folder");
    m_image = ReadFileBytes(img);
    PatchLongName(m_image, u"abcdefghij.tx", u"../../etc/pwn");
    PatchLongName(m_image, u"Doc012345.pdf", u"../../x/a.pdf");
    PatchLongName(m_image, u"Folder", u"..");
    PatchLongName(m_image, u"InnerFile.txt",
                  u"a/b\\c\x01"
                  u"d.txt");
    PatchLongName(m_image, u"SubDir1", u".");
  }

  TempDir m_work;
  ScanHome m_home;
  std::vector<std::vector<uint8_t>> m_files;
  std::vector<uint8_t> m_image;
};

TEST_F(HostileNamesTest, RecordsKeepTheNamesAsFound) {
  auto engine = ScanBytes(m_image);
  auto all = CollectAll(*engine);
  EXPECT_NE(Find(all, "/../../etc/pwn"), nullptr);
  EXPECT_NE(Find(all, "/../../x/a.pdf"), nullptr);
  const FoundItem* dots = Find(all, "/..");
  ASSERT_NE(dots, nullptr);
  EXPECT_EQ(+dots->record.isFolder, 1);
  EXPECT_NE(Find(all,
                 "/../a/b\\c\x01"
                 "d.txt"),
            nullptr);
  EXPECT_NE(Find(all, "/../."), nullptr);
  EXPECT_NE(Find(all, "/.././Deep.txt"), nullptr);
}

TEST_F(HostileNamesTest, FolderCopyKeepsEveryFileBelowTheDestination) {
  auto engine = ScanBytes(m_image);
  auto all = CollectAll(*engine);
  const FoundItem* dots = Find(all, "/..");
  ASSERT_NE(dots, nullptr);
  TempDir out;
  const std::string root = out.path() + "rec";
  const std::string destination = root + "/" + SafeNameComponent(dots->record.Name());
  ASSERT_EQ(engine->RecoverItem(&dots->record, destination, SeparatorCount(root + "/")), kStatusOk);

  std::vector<std::string> files = FilesBelow(out.path());
  ASSERT_EQ(files.size(), 2u);
  const std::string inner = destination + "/a_b_c_d.txt";
  const std::string deep = destination + "/_/Deep.txt";
  EXPECT_EQ(Sha256OfFile(inner), Sha256OfBytes(m_files[2]));
  EXPECT_EQ(Sha256OfFile(deep), Sha256OfBytes(m_files[3]));
  for (const std::string& f : files) EXPECT_EQ(f.rfind(destination + "/", 0), 0u) << f;
  EXPECT_FALSE(platform::PathExists(out.path() + "../x"));
  EXPECT_FALSE(platform::PathExists(out.path() + "../etc"));
}

TEST_F(HostileNamesTest, PreviewCopyHasAFixedNameInTheSessionFolder) {
  auto engine = ScanBytes(m_image);
  auto all = CollectAll(*engine);
  const FoundItem* pdf = Find(all, "/../../x/a.pdf");
  ASSERT_NE(pdf, nullptr);
  std::string temp;
  uint32_t length = 0;
  ASSERT_EQ(engine->ExtractItem(&pdf->record, temp, nullptr, &length, nullptr, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("document.pdf"));
  EXPECT_EQ(Sha256OfFile(temp), Sha256OfBytes(m_files[1]));
  EXPECT_EQ(length, 0u);
}

// --- Long-name runs ----------------------------------------------------------------

// A FAT16 volume whose root holds, in this order: a live folder SUB with a
// deleted file, a deleted file BEFORE.TXT, `runLength` deleted long-name
// entries, their deleted short entry LONG.TXT and a deleted file AFTER.TXT.
std::vector<uint8_t> LongRunVolume(const std::string& img, int runLength) {
  std::string out;
  EXPECT_EQ(RunCommand("mkfs.fat -C -F 16 " + img + " 16384 >/dev/null", &out), 0);
  std::vector<uint8_t> bytes = ReadFileBytes(img);
  fat::FatGeometry g;
  EXPECT_TRUE(fat::ParseFatBootSector(ByteView(bytes.data(), 4096), bytes.size(), &g));
  auto entry = [&](size_t at, const char* name11, uint8_t attribute, uint16_t cluster, uint32_t size) {
    std::memcpy(&bytes[at], name11, 11);
    bytes[at + 11] = attribute;
    bytes[at + 26] = static_cast<uint8_t>(cluster);
    bytes[at + 27] = static_cast<uint8_t>(cluster >> 8);
    for (int i = 0; i < 4; ++i) bytes[at + 28 + i] = static_cast<uint8_t>(size >> (8 * i));
  };
  const size_t root = static_cast<size_t>(g.rootDirSector * g.bytesPerSector);
  size_t at = root;  // mkfs.fat without a label leaves the root empty
  entry(at, "SUB        ", 0x10, 2, 0);
  entry(at += 32,
        "\xE5"
        "EFORE  TXT",
        0x20, 11, 600);
  for (int i = 0; i < runLength; ++i) {
    at += 32;
    bytes[at] = 0xE5;
    bytes[at + 11] = 0x0F;
    for (size_t o : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) bytes[at + o] = 'x';
  }
  entry(at += 32,
        "\xE5"
        "ONG    TXT",
        0x20, 12, 600);
  entry(at += 32,
        "\xE5"
        "FTER   TXT",
        0x20, 13, 600);
  // SUB's directory in cluster 2, its chain ended in both FATs.
  const size_t sub = static_cast<size_t>(g.ClusterSector(2) * g.bytesPerSector);
  entry(sub, ".          ", 0x10, 2, 0);
  entry(sub + 32, "..         ", 0x10, 0, 0);
  entry(sub + 64,
        "\xE5"
        "NSIDE  TXT",
        0x20, 10, 600);
  for (uint64_t copy = 0; copy < 2; ++copy) {
    const size_t fatEntry = static_cast<size_t>((g.fatStartSector + copy * g.fatSectors) * g.bytesPerSector + 4);
    bytes[fatEntry] = 0xFF;
    bytes[fatEntry + 1] = 0xFF;
  }
  return bytes;
}

TEST(LongNameRunTest, TwentyEntriesMakeOneName) {
  if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat is not installed";
  TempDir work;
  ScanHome home;
  auto engine = ScanBytes(LongRunVolume(work.path() + "run.img", 20));
  auto all = CollectAll(*engine);
  EXPECT_NE(Find(all, "/!efore.txt"), nullptr);
  EXPECT_NE(Find(all, "/" + std::string(259, 'x')), nullptr);  // 260 characters, cut to the record's 259 bytes
  EXPECT_NE(Find(all, "/!fter.txt"), nullptr);
  EXPECT_NE(Find(all, "/sub/!nside.txt"), nullptr);
  EXPECT_EQ(all.size(), 5u);
}

TEST(LongNameRunTest, TwentyOneEntriesEndThatDirectoryOnly) {
  if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat is not installed";
  TempDir work;
  ScanHome home;
  auto engine = ScanBytes(LongRunVolume(work.path() + "run.img", 21));
  auto all = CollectAll(*engine);
  EXPECT_NE(Find(all, "/!efore.txt"), nullptr);
  EXPECT_NE(Find(all, "/sub/!nside.txt"), nullptr);  // queued before the run: still walked
  EXPECT_EQ(all.size(), 3u);                         // nothing after the run
}

// --- Bad cluster numbers and unreadable sectors ----------------------------------

class DamagedFixtureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = testing_support::UnpackedFixture("fat16.img.gz");
    if (path.empty()) GTEST_SKIP() << "fixture is not available";
    m_bytes = ReadFileBytes(path);
    ASSERT_TRUE(fat::ParseFatBootSector(ByteView(m_bytes.data(), 4096), m_bytes.size(), &m_geometry));
    m_rootFile = FindShortEntry(m_bytes,
                                "\xE5"
                                "ELETE~1TXT");
    ASSERT_NE(m_rootFile, std::string::npos);
  }
  void SetCluster(size_t entry, uint16_t cluster) {
    m_bytes[entry + 26] = static_cast<uint8_t>(cluster);
    m_bytes[entry + 27] = static_cast<uint8_t>(cluster >> 8);
  }
  int32_t CountCopyFailures() const { return m_failures; }

  static int32_t OnCopy(void* self, int32_t percent, int32_t, int32_t status, const char*) {
    if (percent == 100 && status != 0) ++static_cast<DamagedFixtureTest*>(self)->m_failures;
    return 0;
  }

  ScanHome m_home;
  TempDir m_out;
  std::vector<uint8_t> m_bytes;
  fat::FatGeometry m_geometry;
  size_t m_rootFile = 0;
  int32_t m_failures = 0;
};

TEST_F(DamagedFixtureTest, StartClusterPastTheVolumeCopiesNothing) {
  SetCluster(m_rootFile, 0xFFF0);
  auto engine = ScanBytes(m_bytes);
  auto all = CollectAll(*engine);
  const FoundItem* item = Find(all, "/deleted_root.txt");
  ASSERT_NE(item, nullptr);
  ASSERT_EQ(engine->SetProgressCallbacks(nullptr, OnCopy, this, 100), kStatusOk);
  const std::string target = m_out.path() + "x.txt";
  EXPECT_EQ(engine->RecoverItem(&item->record, target, 0), kStatusInvalidParameter);
  EXPECT_FALSE(platform::PathExists(target));
  EXPECT_EQ(CountCopyFailures(), 1);
  std::vector<uint8_t> buffer(8192);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  std::string temp;
  EXPECT_EQ(engine->ExtractItem(&item->record, temp, buffer.data(), &length, nullptr, nullptr),
            kStatusInvalidParameter);
  EXPECT_EQ(length, 0u);
}

TEST_F(DamagedFixtureTest, ClusterZeroIsNeverCopiedIntoAFile) {
  SetCluster(m_rootFile, 0);
  auto engine = ScanBytes(m_bytes);
  auto all = CollectAll(*engine);
  const FoundItem* item = Find(all, "/deleted_root.txt");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(+item->record.size, 3000u);
  const std::string target = m_out.path() + "x.txt";
  EXPECT_NE(engine->RecoverItem(&item->record, target, 0), kStatusOk);
  EXPECT_FALSE(platform::PathExists(target));
}

TEST_F(DamagedFixtureTest, DataRunningOffTheVolumeFailsWithoutATruncatedFile) {
  // A size far beyond what is left between the start cluster and the end.
  m_bytes[m_rootFile + 31] = 0x7F;
  auto engine = ScanBytes(m_bytes);
  auto all = CollectAll(*engine);
  const FoundItem* item = Find(all, "/deleted_root.txt");
  ASSERT_NE(item, nullptr);
  const std::string target = m_out.path() + "x.txt";
  EXPECT_EQ(engine->RecoverItem(&item->record, target, 0), kStatusReadFault);
  EXPECT_FALSE(platform::PathExists(target));
}

TEST_F(DamagedFixtureTest, UnreadableDirectoryEndsOnlyThatDirectory) {
  const size_t docs = FindShortEntry(m_bytes, "DOCS       ");
  ASSERT_NE(docs, std::string::npos);
  const uint16_t docsCluster = static_cast<uint16_t>(m_bytes[docs + 26] | (m_bytes[docs + 27] << 8));
  storage::MemorySourceOptions options;
  options.faultSectors.insert(m_geometry.ClusterSector(docsCluster));
  auto engine = ScanBytes(m_bytes, nullptr, options);
  auto all = CollectAll(*engine);
  EXPECT_EQ(Find(all, "/Docs/!raft.txt"), nullptr);
  EXPECT_NE(Find(all, "/deleted_root.txt"), nullptr);
  EXPECT_NE(Find(all, "/Trash Folder/Sub/!.txt"), nullptr);
  EXPECT_NE(Find(all, "/Photos/Vacation Picture.png"), nullptr);
}

TEST_F(DamagedFixtureTest, FolderWhoseFirstClusterWasOverwrittenIsNotWalked) {
  const size_t trash = FindShortEntry(m_bytes,
                                      "\xE5"
                                      "RASHF~1   ");
  ASSERT_NE(trash, std::string::npos);
  const uint16_t cluster = static_cast<uint16_t>(m_bytes[trash + 26] | (m_bytes[trash + 27] << 8));
  std::memset(&m_bytes[static_cast<size_t>(m_geometry.ClusterSector(cluster) * 512)], 'x', 64);  // no "." / ".."
  auto engine = ScanBytes(m_bytes);
  auto all = CollectAll(*engine);
  EXPECT_EQ(Find(all, "/Trash Folder"), nullptr);
  EXPECT_EQ(Find(all, "/Trash Folder/Sub/!.txt"), nullptr);
  EXPECT_NE(Find(all, "/Docs/!raft.txt"), nullptr);
}

TEST_F(DamagedFixtureTest, UnreadableDataFailsTheCopyAndRemovesTheFile) {
  const uint16_t cluster = static_cast<uint16_t>(m_bytes[m_rootFile + 26] | (m_bytes[m_rootFile + 27] << 8));
  storage::MemorySourceOptions options;
  options.faultSectors.insert(m_geometry.ClusterSector(cluster) + 5);  // in the file's second cluster
  auto engine = ScanBytes(m_bytes, nullptr, options);
  auto all = CollectAll(*engine);
  const FoundItem* item = Find(all, "/deleted_root.txt");
  ASSERT_NE(item, nullptr);
  ASSERT_EQ(engine->SetProgressCallbacks(nullptr, OnCopy, this, 100), kStatusOk);
  const std::string target = m_out.path() + "x.txt";
  EXPECT_EQ(engine->RecoverItem(&item->record, target, 0), kStatusReadFault);
  EXPECT_FALSE(platform::PathExists(target));
  EXPECT_EQ(CountCopyFailures(), 1);
}

TEST_F(DamagedFixtureTest, ATruncatedImageWithoutItsRootIsAFailedScan) {
  const std::string path = testing_support::UnpackedFixture("truncated_8k.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture is not available";
  fat::CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(path, 'E'), kStatusOk);
  EXPECT_EQ(engine.Geometry().maxCluster, 1u);
  // The root directory lies past the 8 KiB there are: that is not "no files".
  EXPECT_NE(engine.Scan(nullptr), kStatusOk);
  EXPECT_EQ(engine.GetItemCount(), 0u);
}

}  // namespace
}  // namespace engine::fat_testing
