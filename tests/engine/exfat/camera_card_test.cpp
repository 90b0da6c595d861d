// SPDX-License-Identifier: GPL-3.0-or-later
// Quick-formatted camera cards whose two photo folders grew cluster by
// cluster in turns: every photo comes back in its folder, with its name,
// time and bytes, and none is ever listed in a folder not its own.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "engine/output_path.h"
#include "platform/file_time.h"
#include "tests/engine/exfat/exfat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {
namespace {

using testing_support::ManifestRow;

// "mtime=YYYY-MM-DDTHH:MM:SS" of a manifest note as FILETIME; 0 when absent.
uint64_t NoteTime(const std::string& note) {
  const size_t at = note.find("mtime=");
  if (at == std::string::npos || note.size() < at + 25) return 0;
  const std::string t = note.substr(at + 6, 19);
  platform::SystemTime st;
  st.year = std::stoi(t.substr(0, 4));
  st.month = std::stoi(t.substr(5, 2));
  st.day = std::stoi(t.substr(8, 2));
  st.hour = std::stoi(t.substr(11, 2));
  st.minute = std::stoi(t.substr(14, 2));
  st.second = std::stoi(t.substr(17, 2));
  uint64_t fileTime = 0;
  return platform::SystemTimeToFileTime(st, &fileTime) ? fileTime : 0;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class CameraCardTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    const auto rows =
        testing_support::ReadManifest(testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv"));
    // The root went with the format: /DCIM comes back as the placeholder of its cluster.
    std::string dcim;
    for (const ManifestRow& row : rows) {
      if (row.path == "/DCIM") dcim = "/LostFolder" + std::to_string(NoteCluster(row.note));
    }
    ASSERT_FALSE(dcim.empty());
    for (const ManifestRow& row : rows) {
      if (row.size != "-") m_photos.push_back({dcim + row.path.substr(5), row});
    }
    m_scan = std::make_unique<DeepScan>(m_image);
    ASSERT_EQ(m_scan->finished, kStatusOk);
    m_found = CollectAll(m_scan->engine);
  }

  struct Photo {
    std::string expected;  // its path after the format
    ManifestRow row;
  };
  ScanHome m_home;
  std::string m_image;
  std::vector<Photo> m_photos;
  std::unique_ptr<DeepScan> m_scan;
  std::map<std::string, FoundItem> m_found;
};

TEST_P(CameraCardTest, EveryPhotoComesBackInItsFolderWithItsNameTimeAndBytes) {
  testing_support::TempDir out;
  size_t inPlace = 0;
  for (const Photo& photo : m_photos) {
    auto it = m_found.find(photo.expected);
    if (it == m_found.end()) {
      ADD_FAILURE() << "not in its folder: " << photo.expected;
      continue;
    }
    ++inPlace;
    const ItemRecord& item = it->second.record;
    EXPECT_EQ(+item.size, std::stoull(photo.row.size)) << photo.expected;
    EXPECT_EQ(+item.modified, NoteTime(photo.row.note)) << photo.expected;
    EXPECT_EQ(StateOf(item), ItemState::kIntact) << photo.expected;
    const std::string target = out.path() + "p" + std::to_string(inPlace);
    ASSERT_EQ(m_scan->engine.RecoverItem(&item, target, SeparatorCount(out.path())), kStatusOk);
    EXPECT_EQ(testing_support::Sha256OfFile(target), photo.row.sha256) << photo.expected;
  }
  std::cout << GetParam() << ": " << inPlace << " / " << m_photos.size() << " photos in their folder\n";
}

// A photo is listed in its own folder or, without a convincing owner for
// its directory cluster, in a placeholder under the root: never elsewhere.
TEST_P(CameraCardTest, APhotoIsNeverListedInAFolderNotItsOwn) {
  std::map<std::string, std::string> folderOf;
  for (const Photo& photo : m_photos) folderOf[NameOf(photo.expected)] = FolderOf(photo.expected);
  size_t listed = 0;
  for (const auto& [path, found] : m_found) {
    if (found.record.isFolder != 0) continue;
    auto it = folderOf.find(NameOf(path));
    if (it == folderOf.end()) continue;
    ++listed;
    const std::string folder = FolderOf(path);
    const bool placeholder = folder.rfind("/LostFolder", 0) == 0 && folder.find('/', 1) == std::string::npos;
    EXPECT_TRUE(folder == it->second || placeholder) << path << " belongs in " << it->second;
  }
  EXPECT_GE(listed, m_photos.size());
}

INSTANTIATE_TEST_SUITE_P(Cards, CameraCardTest, ::testing::Values("camera_exfat_4k", "camera_exfat_32k", "camera_exfat_folders"));

}  // namespace
}  // namespace engine::exfat_testing
