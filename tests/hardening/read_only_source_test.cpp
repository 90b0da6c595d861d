// SPDX-License-Identifier: GPL-3.0-or-later
// The medium is never written. Every fixture image is copied, made
// read-only (0444), and put through everything the command does with a
// source: a fast scan, a listing, a preview of a found file, a recovery
// from the kept results, a deep scan and a recovery of what it found, and
// an image copy. Afterwards its bytes, length, modification time and mode
// are exactly as before. (The tests run as root on CI, where 0444 alone
// stops nothing: the unchanged bytes and time are the proof.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace hardening {
namespace {

namespace fs = std::filesystem;

struct FileState {
  std::string sha256;
  uint64_t bytes = 0;
  int64_t modifiedNs = 0;
  mode_t mode = 0;
  bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  FileState s;
  s.sha256 = testing_support::Sha256OfFile(path);
  s.bytes = static_cast<uint64_t>(st.st_size);
  s.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.mode = st.st_mode & 07777;
  return s;
}

std::vector<std::string> FixtureImages() {
  std::vector<std::string> names;
  const fs::path folder = testing_support::FixturePath("");
  if (!fs::is_directory(folder)) return names;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.size() > 7 && name.compare(name.size() - 7, 7, ".img.gz") == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ReadOnlySourceTest : public ::testing::TestWithParam<std::string> {
 protected:
  // Runs the command on the source with its data and config folders in the
  // test's folder; the exit status must be a verdict (0 or 1), never a crash.
  std::string Run(const std::string& args) {
    std::string out, err;
    const int status = testing_support::RunCommand("QUELLMOOR_DISKS= XDG_DATA_HOME='" + m_dir.path() +
                                                       "data' XDG_CONFIG_HOME='" + m_dir.path() + "config' '" +
                                                       testing_support::CliPath() + "' " + args + " </dev/null",
                                                   &out, &err);
    EXPECT_TRUE(status == 0 || status == 1) << "quellmoor " << args << " exited with " << status << ": " << err;
    return out;
  }

  // engine:id of the first file a `scan --json` output lists; empty when none.
  static std::string FirstFile(const std::string& json) {
    const auto parsed = nlohmann::json::parse(json, nullptr, false);
    if (!parsed.is_array()) return {};
    for (const auto& item : parsed) {
      if (item.value("isFolder", true)) continue;
      return item.value("engine", std::string()) + ":" + std::to_string(item.value("id", 0));
    }
    return {};
  }

  testing_support::TempDir m_dir;
};

TEST_P(ReadOnlySourceTest, EverythingTheCommandDoesLeavesTheSourceAsItWas) {
  const std::string unpacked = testing_support::UnpackedFixture(GetParam());
  if (unpacked.empty()) GTEST_SKIP() << GetParam() << " is not available";
  const std::string source = m_dir.path() + "source.img";
  fs::copy_file(unpacked, source);
  fs::permissions(source, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const FileState before = StateOf(source);
  ASSERT_EQ(before.mode, 0444u);
  const std::string src = "'" + source + "'";

  const std::string fastItem = FirstFile(Run("scan --json " + src));
  Run("ls " + src);
  if (!fastItem.empty()) Run("preview " + src + " " + fastItem + " --out '" + m_dir.path() + "preview-fast'");
  Run("recover --reuse --out '" + m_dir.path() + "fast' " + src);
  const std::string deepItem = FirstFile(Run("scan --mode deep --json " + src));
  if (!deepItem.empty()) Run("preview " + src + " " + deepItem + " --out '" + m_dir.path() + "preview-deep'");
  Run("recover --reuse --tree --out '" + m_dir.path() + "deep' " + src);
  Run("image " + src + " --out '" + m_dir.path() + "copy.img'");

  EXPECT_TRUE(StateOf(source) == before) << GetParam() << ": the source changed";
  // The commands did their work: what the scan found was recovered, and the
  // image holds exactly the source's bytes.
  if (!fastItem.empty()) {
    EXPECT_TRUE(fs::is_directory(m_dir.path() + "fast") && !fs::is_empty(m_dir.path() + "fast"));
  }
  ASSERT_TRUE(fs::exists(m_dir.path() + "copy.img"));
  EXPECT_EQ(testing_support::Sha256OfFile(m_dir.path() + "copy.img"), before.sha256);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReadOnlySourceTest, ::testing::ValuesIn(FixtureImages()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.size() - 7);
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace hardening
