// SPDX-License-Identifier: GPL-3.0-or-later
// The command line on media as users bring them: a disk whose partition
// table is gone, old data past a smaller file system, results reused in the
// mode they were made, recovered files that keep their times, honest endings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "tests/cli/cli_test_util.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using cli_testing::CliResult;
using cli_testing::RunCli;

// Every regular file below dir by its sha256.
std::multiset<std::string> HashesBelow(const std::string& dir) {
  std::multiset<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) out.insert(testing_support::Sha256OfFile(e.path().string()));
  }
  return out;
}

class UserPathTest : public ::testing::Test {
 protected:
  // A private copy of a fixture image (tests change some).
  std::string Copy(const std::string& gzName, const std::string& name) {
    const std::string path = m_work.path() + name;
    testing_support::WriteFileBytes(path, testing_support::ReadFileBytes(testing_support::UnpackedFixture(gzName)));
    return path;
  }
  CliResult Run(const std::string& args, const std::string& env = "") { return RunCli(m_work.path(), args, env); }

  testing_support::TempDir m_work;
};

// (path, size, engine) of every item a scan --json printed.
std::multiset<std::tuple<std::string, uint64_t, std::string>> Found(const std::string& json) {
  std::multiset<std::tuple<std::string, uint64_t, std::string>> out;
  for (const auto& item : nlohmann::json::parse(json)) {
    out.insert({item["path"].get<std::string>(), item["size"].get<uint64_t>(), item["engine"].get<std::string>()});
  }
  return out;
}

// The main case deep mode is for: the partition table was wiped, the volumes
// are whole. They are found and read with their own engines, as partitions.
TEST_F(UserPathTest, ADiskWhosePartitionTableIsGoneGivesTheFilesOfTheIntactDisk) {
  const std::string intact = Copy("disk_mbr.img.gz", "intact.img");
  CliResult before = Run("scan --mode deep --json '" + intact + "'");
  ASSERT_EQ(before.status, 0) << before.err;
  const auto expected = Found(before.out);
  ASSERT_FALSE(expected.empty());

  auto bytes = testing_support::ReadFileBytes(intact);
  std::fill(bytes.begin(), bytes.begin() + 512, uint8_t{0});
  const std::string zeroed = m_work.path() + "zeroed.img";
  testing_support::WriteFileBytes(zeroed, bytes);
  struct Case {
    const char* what;
    std::string source;
    std::string env;
  };
  for (const Case& c : {Case{"the image file", "'" + zeroed + "'", ""},
                        Case{"a disk of the disk table", "disk:0", "QUELLMOOR_DISKS='" + zeroed + "'"}}) {
    SCOPED_TRACE(c.what);
    CliResult deep = Run("scan --mode deep --json " + c.source, c.env);
    ASSERT_EQ(deep.status, 0) << deep.err;
    EXPECT_EQ(Found(deep.out), expected);
    EXPECT_NE(deep.err.find("disk 0 volume at sector 2048: a FAT16 volume"), std::string::npos) << deep.err;
    EXPECT_NE(deep.err.find("disk 0 volume at sector 34816: a NTFS volume"), std::string::npos) << deep.err;
    // Fast mode reads file systems where a table names them, and says what to do instead.
    CliResult fast = Run("scan " + c.source, c.env);
    EXPECT_EQ(fast.status, 1);
    EXPECT_NE(fast.err.find("--mode deep"), std::string::npos) << fast.err;
  }
}

// A card formatted again with a smaller volume: the old photos lie past the
// new file system's end, and a deep scan reads them.
TEST_F(UserPathTest, ADeepScanReadsTheImagePastTheFileSystemsEnd) {
  const std::string card = Copy("past_end.img.gz", "card.img");
  ASSERT_EQ(Run("scan --mode deep '" + card + "'").status, 0);
  CliResult recover = Run("recover --reuse --mode deep --types photo --out '" + m_work.path() + "out' '" + card + "'");
  const std::multiset<std::string> recovered = HashesBelow(m_work.path() + "out");
  int old = 0;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("past_end.manifest.tsv"))) {
    if (row.state != "old") continue;
    ++old;
    EXPECT_EQ(recovered.count(row.sha256), 1u) << row.path << "\n" << recover.out << recover.err;
  }
  EXPECT_EQ(old, 4);
}

// The README's next step after a deep scan: the kept results are those of
// the last scan, whatever its mode, and the command says which.
TEST_F(UserPathTest, KeptResultsAreThoseOfTheLastScanInItsMode) {
  const std::string card = Copy("past_end.img.gz", "card.img");
  ASSERT_EQ(Run("scan --mode deep '" + card + "'").status, 0);
  CliResult recover = Run("recover --reuse --types photo --out '" + m_work.path() + "out' '" + card + "'");
  EXPECT_NE(recover.err.find("Using the kept results of the deep scan of"), std::string::npos) << recover.err;
  EXPECT_EQ(recover.out.find("No file to recover matches"), std::string::npos) << recover.out;
  EXPECT_GE(HashesBelow(m_work.path() + "out").size(), 4u);
  CliResult ls = Run("ls '" + card + "'");
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_NE(ls.err.find("deep scan"), std::string::npos) << ls.err;
  // A mode named is a mode asked for: a fast scan is not there.
  EXPECT_EQ(Run("ls --mode fast '" + card + "'").status, 1);
}

// A volume a mode cannot read says what it is and what to do, and a source
// none of whose volumes could be read is a failure.
TEST_F(UserPathTest, VolumesAModeCannotReadSayWhatTheyAreAndWhatToDo) {
  struct Case {
    const char* fixture;
    const char* command;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"ext4.img.gz", "scan", 0, "0 files found"},  // fast mode reads ext volumes: none deleted here
      {"zero_1m.img.gz", "scan", 1, "no file system was found at the start of this volume: try --mode deep"},
      {"luks_like.img.gz", "scan", 1, "is encrypted (LUKS): its files cannot be read before it is unlocked"},
      {"luks_like.img.gz", "scan --mode deep", 0, "a deep scan finds no files in encrypted data"},
      {"bitlocker_like.img.gz", "scan", 1, "is encrypted (BitLocker)"},
      {"bitlocker_like.img.gz", "probe", 0, "file system: encrypted (BitLocker) (engines see encrypted)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " " + c.command);
    const std::string image = Copy(c.fixture, "volume.img");
    CliResult r = Run(std::string(c.command) + " '" + image + "'");
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
}

// "2024-05-01 13:45:10" of a file's modification time, read in the basis
// its record's time has (NTFS keeps UTC, FAT the local time).
std::string ModifiedText(const std::string& path, bool utc) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "missing";
  std::tm tm{};
  if (utc) {
    gmtime_r(&st.st_mtime, &tm);
  } else {
    localtime_r(&st.st_mtime, &tm);
  }
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// Photos sorted by date in any program come out in the order they were
// taken: each recovered file, and each folder --tree makes, keeps the time
// of its record, whatever the time zone.
TEST_F(UserPathTest, RecoveredFilesAndFoldersKeepTheirTimes) {
  const char* zone = "QMT-3";  // three hours east of UTC: local and UTC readings differ
  ::setenv("TZ", zone, 1);
  ::tzset();
  struct Case {
    const char* fixture;
    bool utc;
  };
  for (const Case& c : {Case{"fat16.img.gz", false}, Case{"ntfs_512.img.gz", true}}) {
    SCOPED_TRACE(c.fixture);
    const std::string image = Copy(c.fixture, "volume.img");
    const std::string out = m_work.path() + "out_" + c.fixture;
    CliResult scan = Run("scan --json '" + image + "'", std::string("TZ=") + zone);
    ASSERT_EQ(scan.status, 0) << scan.err;
    CliResult recover = Run("recover --reuse --tree --out '" + out + "' '" + image + "'", std::string("TZ=") + zone);
    ASSERT_EQ(recover.status, 0) << recover.err;
    int checked = 0;
    for (const auto& item : nlohmann::json::parse(scan.out)) {
      const std::string modified = item["modified"].get<std::string>();
      if (modified == "-" || item["state"].get<std::string>() != "intact") continue;
      std::string path = out + "/" + item["path"].get<std::string>();
      if (!fs::exists(path)) continue;  // a name made unique or safe
      EXPECT_EQ(ModifiedText(path, c.utc), modified) << path;
      ++checked;
    }
    EXPECT_GE(checked, 5);
    // The folders at the top, as ls shows them.
    CliResult ls = Run("ls --json '" + image + "'", std::string("TZ=") + zone);
    ASSERT_EQ(ls.status, 0) << ls.err;
    int folders = 0;
    for (const auto& item : nlohmann::json::parse(ls.out)) {
      const std::string path = out + "/" + item["name"].get<std::string>();
      if (!item["isFolder"].get<bool>() || !fs::is_directory(path) || item["modified"] == "-") continue;
      EXPECT_EQ(ModifiedText(path, c.utc), item["modified"].get<std::string>()) << path;
      ++folders;
    }
    EXPECT_GE(folders, 1);
  }
  ::unsetenv("TZ");
  ::tzset();
}

// A small file system that is mounted for the test; skipped (with why) where
// mounting is not allowed.
class MountedFolder {
 public:
  MountedFolder(const std::string& path, const std::string& options) : m_path(path) {
    fs::create_directories(path);
    std::string out, err;
    m_mounted = testing_support::RunCommand("mount -t tmpfs -o " + options + " tmpfs '" + path + "'", &out, &err) == 0;
  }
  ~MountedFolder() {
    std::string out;
    if (m_mounted) (void)testing_support::RunCommand("umount '" + m_path + "'", &out);
  }
  bool Mounted() const { return m_mounted; }

 private:
  std::string m_path;
  bool m_mounted = false;
};

// An output folder that cannot take files (full, read-only) stops the
// recovery at its first failure with one message; "safe to remove" is said
// only when every file was saved.
TEST_F(UserPathTest, AnOutputFolderThatTakesNoMoreFilesEndsHonestly) {
  const std::string image = Copy("fat32_512.img.gz", "card.img");
  ASSERT_EQ(Run("scan '" + image + "'").status, 0);
  struct Case {
    const char* what;
    const char* options;
    const char* says;
  };
  for (const Case& c : {Case{"full", "size=96k", "No space left on device"},
                        Case{"read-only", "ro,size=1m", "Read-only file system"}}) {
    SCOPED_TRACE(c.what);
    const std::string out = m_work.path() + "mnt_" + c.what;
    MountedFolder mount(out, c.options);
    if (!mount.Mounted()) GTEST_SKIP() << "tmpfs cannot be mounted here (needs root)";
    CliResult r = Run("recover --reuse --out '" + out + "' '" + image + "'");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.out.find("safe to remove"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("The recovery stopped there"), std::string::npos) << r.err;
    size_t failedLines = 0;
    for (size_t at = r.out.find("FAILED"); at != std::string::npos; at = r.out.find("FAILED", at + 1)) ++failedLines;
    EXPECT_LE(failedLines, 1u) << r.out;
    // Whatever was saved is whole.
    for (const auto& e : fs::recursive_directory_iterator(out)) {
      EXPECT_NE(e.path().filename().string().rfind(".quellmoor-", 0), 0u) << e.path();
    }
  }
  CliResult ok = Run("recover --reuse --out '" + m_work.path() + "roomy' '" + image + "'");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("safe to remove"), std::string::npos) << ok.out;
}

// Deleted notes in the encodings editors write: the preview shows their
// text, not one character per byte.
TEST_F(UserPathTest, TheTextPreviewReadsEachNoteInItsEncoding) {
  const std::string card = Copy("text_notes.img.gz", "notes.img");
  struct Case {
    const char* item;
    const char* text;
  };
  const Case cases[] = {
      {"/Gruss.txt", "Grüße aus Köln!\nDer Dom, die Brücke, das Café am Rhein: schön war es.\n"},
      {"/Unicode.txt", "Привет из Москвы. Grüße, Ελλάδα, 日本語のメモ.\n"},
      {"/Latin.txt", "Café crème für Jürgen – 5 € (Windows-1252).\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    const std::string out = m_work.path() + "look" + std::string(c.item).substr(1);
    CliResult r = Run("preview '" + card + "' '" + c.item + "' --out '" + out + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto bytes = testing_support::ReadFileBytes(out + "/text.txt");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.text);
  }
}

// What the user reads comes from the language file, in one convention:
// sizes in binary units, the right plural, the system's own error wording,
// devices instead of drive letters, and a typo that is a usage error.
TEST_F(UserPathTest, TextsComeFromTheLanguageFile) {
  const std::string card = Copy("fat16.img.gz", "card.img");
  const std::string disk = Copy("disk_mbr.img.gz", "disk.img");
  struct Case {
    std::string args;
    int status;
    std::vector<std::string> says;
    std::vector<std::string> never;
  };
  const Case cases[] = {
      {"--lang deutsch scan '" + card + "'",
       0,
       {"Dateien gefunden: ", "Foto 4 (", "gelöscht", "KiB)"},
       {"photo", "Files", "bytes)"}},
      {"scan --types pdf '" + card + "'", 0, {"1 file found: document 1 ("}, {"1 files"}},
      {"scan --types foo '" + card + "'", 2, {"unknown type 'foo'", "photo, audio, video"}, {}},
      {"--lang Deutsch probe '" + m_work.path() + "missing.img'",
       1,
       {"Datei oder Verzeichnis nicht gefunden"},
       {"cannot find the file"}},
      {"probe '" + disk + "'", 0, {"device", "FAT16"}, {"drive", " C: ", " D: "}},
      {"image '" + card + "' --out '" + m_work.path() + "copy.img'", 0, {"(16.00 MiB)"}, {" MB)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CliResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const auto& text : c.says)
      EXPECT_NE((r.out + r.err).find(text), std::string::npos) << text << "\n" << r.out << r.err;
    for (const auto& text : c.never)
      EXPECT_EQ((r.out + r.err).find(text), std::string::npos) << text << "\n" << r.out << r.err;
  }
}

// The data folder keeps the names (and in deep mode the records) of deleted
// private files: it and everything in it are its user's alone, also when an
// earlier version left it open to others.
TEST_F(UserPathTest, TheDataFolderIsPrivate) {
  const std::string card = Copy("fat16.img.gz", "card.img");
  const std::string data = m_work.path() + "data/Quellmoor";
  fs::create_directories(data);
  fs::permissions(data, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
  ASSERT_EQ(Run("scan '" + card + "'").status, 0);
  ASSERT_EQ(Run("scan --mode deep '" + card + "'").status, 0);
  auto open = [](const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && (st.st_mode & 077) != 0;
  };
  EXPECT_FALSE(open(data)) << data;
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(data)) {
    EXPECT_FALSE(open(e.path())) << e.path();
    files += e.is_regular_file() ? 1 : 0;
  }
  EXPECT_GE(files, 4u);
}

// Two cards of one model in one reader (a camera writes the same partition
// table on both) are two volumes: the kept results of one are never shown
// for the other. Kept results of an older store, which named a volume
// without its own serial, are taken as another volume's, never as a crash.
TEST_F(UserPathTest, KeptResultsKnowTheCardBySerialAndBootSector) {
  const std::string reader = m_work.path() + "reader.img";
  const auto cardA = testing_support::ReadFileBytes(testing_support::UnpackedFixture("disk_mbr.img.gz"));
  auto cardB = cardA;
  const size_t serialOffset = 2048 * 512 + 39;  // the FAT16 volume id of partition 1
  cardB[serialOffset] ^= 0x5A;
  const std::string env = "QUELLMOOR_DISKS='" + reader + "'";
  auto insert = [&](const std::vector<uint8_t>& card) {
    testing_support::WriteFileBytes(reader, card);
    fs::last_write_time(reader,
                        fs::file_time_type(std::chrono::seconds(1700000000)));  // the same reader, the same time
  };
  insert(cardA);
  ASSERT_EQ(Run("scan disk:0:1", env).status, 0);
  insert(cardA);
  CliResult same = Run("scan --reuse disk:0:1", env);
  EXPECT_NE(same.err.find("Using the kept results"), std::string::npos) << same.err;
  insert(cardB);
  CliResult other = Run("scan --reuse disk:0:1", env);
  EXPECT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(other.err.find("Using the kept results"), std::string::npos) << other.err;

  // The store of an earlier version: its identity line without the volume's own serial.
  for (const auto& e : fs::recursive_directory_iterator(m_work.path() + "data/Quellmoor/ScanLog")) {
    if (e.path().filename() != "source.id") continue;
    auto bytes = testing_support::ReadFileBytes(e.path().string());
    std::string text(bytes.begin(), bytes.end());
    const size_t cut = text.find("|serial:");
    ASSERT_NE(cut, std::string::npos) << text;
    text.erase(cut, text.find('\n') - cut);
    testing_support::WriteFileBytes(e.path().string(), std::vector<uint8_t>(text.begin(), text.end()));
  }
  CliResult old = Run("scan --reuse disk:0:1", env);
  EXPECT_EQ(old.status, 0) << old.err;
  EXPECT_EQ(old.err.find("Using the kept results"), std::string::npos) << old.err;
}

}  // namespace
