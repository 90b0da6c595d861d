// SPDX-License-Identifier: GPL-3.0-or-later
// The professional FAT engine on quick-formatted memory cards written as
// cameras and phones write them: every folder's directory grew into the next
// free cluster between its pictures, so its clusters lie apart and only the
// first begins with "." and "..". Every picture comes back byte-exact in its
// folder under its own (long) name; a directory cluster with no convincing
// owner stays in a lost folder of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/engine/fat/professional_fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

using testing_support::ManifestRow;

uint32_t NoteCluster(const std::string& note) {
  std::smatch m;
  return std::regex_search(note, m, std::regex("cluster=(\\d+)")) ? static_cast<uint32_t>(std::stoul(m[1])) : 0;
}

// mtools writes a plain upper-case 8.3 name without a long name; it reads back in lower case.
std::string ShownName(const std::string& name) {
  static const std::regex plain("[A-Z0-9_]{1,8}(\\.[A-Z0-9]{1,3})?");
  return std::regex_match(name, plain) ? Lower(name) : name;
}

std::string Leaf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

struct Card {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<ManifestRow> rows;
  std::string lostTop;  // "/LostFolder<cluster of /DCIM>"
};

Card LoadCard(const char* name) {
  Card card{name, {}, {}, {}};
  const std::string image = testing_support::UnpackedFixture(std::string(name) + ".img.gz");
  if (image.empty()) return card;
  card.bytes = testing_support::ReadFileBytes(image);
  card.rows = testing_support::ReadManifest(testing_support::FixturePath(std::string(name) + ".manifest.tsv"));
  for (const ManifestRow& row : card.rows) {
    if (row.path == "/DCIM") card.lostTop = "/LostFolder" + std::to_string(NoteCluster(row.note));
  }
  return card;
}

// Where the engine shows a path of the card before its format: the root went
// with the format, so /DCIM is the lost folder of its cluster.
std::string ExpectedPath(const Card& card, const std::string& path) {
  std::string out = card.lostTop;
  for (size_t at = path.find('/', 1); at != std::string::npos;) {
    const size_t next = path.find('/', at + 1);
    out += "/" + ShownName(path.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
    at = next;
  }
  return out;
}

// The found files by their shown name (each picture's name is unique on a card).
std::map<std::string, std::pair<std::string, const ItemRecord*>> FilesByName(const ProScan& scan) {
  std::map<std::string, std::pair<std::string, const ItemRecord*>> byName;
  for (const auto& [path, item] : scan.found) {
    if (item.record.isFolder == 0) byName[Leaf(path)] = {path, &item.record};
  }
  return byName;
}

class CameraCardTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_card = LoadCard(GetParam());
    if (m_card.bytes.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    ASSERT_FALSE(m_card.lostTop.empty());
  }
  Card m_card;
};

// Every picture the format left whole is found byte-exact under its name;
// those whose folder's first cluster survived lie in that folder, and the
// others of one folder lie together.
TEST_P(CameraCardTest, EveryPictureComesBackInItsFolder) {
  auto scan = RunProfessional(m_card.bytes, /*freeSpaceOnly=*/true);
  EXPECT_EQ(scan->finish, kStatusOk);
  const auto byName = FilesByName(*scan);
  size_t pictures = 0;
  size_t inFolder = 0;
  std::map<std::string, std::set<std::string>> foldersOf;  // folder before the format -> folders found
  for (const ManifestRow& row : m_card.rows) {
    if (row.size == "-" || row.note.find("overwritten") != std::string::npos) continue;
    ++pictures;
    const std::string folder = row.path.substr(0, row.path.rfind('/'));
    const auto it = byName.find(ShownName(Leaf(row.path)));
    if (it == byName.end()) {
      ADD_FAILURE() << "not found: " << row.path;
      continue;
    }
    const auto& [path, record] = it->second;
    foldersOf[folder].insert(path.substr(0, path.rfind('/')));
    inFolder += path == ExpectedPath(m_card, row.path) ? 1 : 0;
    EXPECT_EQ(std::to_string(record->size), row.size) << path;
    EXPECT_EQ(+record->isIntact, 1) << path;
    Status status = kStatusOk;
    EXPECT_EQ(testing_support::Sha256OfBytes(deep_testing::Extract(*scan->engine, *record, &status)), row.sha256)
        << path;
    EXPECT_EQ(status, kStatusOk) << path;
  }
  std::printf("[ card ] %s: %zu / %zu pictures in their folder\n", GetParam(), inFolder, pictures);
  // The pictures of one folder lie together, apart from every other folder's.
  std::set<std::string> seen;
  for (const auto& [folder, found] : foldersOf) {
    EXPECT_EQ(found.size(), 1u) << folder << " is split: " << ::testing::PrintToString(found);
    for (const std::string& f : found) EXPECT_TRUE(seen.insert(f).second) << f << " mixes folders";
  }
  // A folder whose first cluster another directory took since lost its name
  // and place, and so did the folders below it; the rest keep theirs.
  std::set<std::string> taken;
  for (const ManifestRow& row : m_card.rows) {
    if (row.size == "-" && row.note.find("overwritten") != std::string::npos) taken.insert(row.path + "/");
  }
  size_t headless = 0;
  for (const ManifestRow& row : m_card.rows) {
    if (row.size == "-" || row.note.find("overwritten") != std::string::npos) continue;
    headless +=
        std::any_of(taken.begin(), taken.end(), [&](const std::string& t) { return row.path.rfind(t, 0) == 0; });
  }
  EXPECT_EQ(inFolder + headless, pictures);
}

INSTANTIATE_TEST_SUITE_P(Cards, CameraCardTest,
                         ::testing::Values("camera_fat_seq", "camera_fat_turns", "camera_fat_phone",
                                           "camera_fat_reused"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// A folder whose first cluster is unreadable (zeroed): its later clusters
// continue no other folder, however near they lie, and the other folder,
// written in turns with it, still holds exactly its own pictures.
TEST(CameraCardLostHead, AClusterWithoutEvidenceIsNotGluedToAnotherFolder) {
  Card card = LoadCard("camera_fat_turns");
  if (card.bytes.empty()) GTEST_SKIP() << "fixture camera_fat_turns is not available";
  uint32_t head = 0;
  for (const ManifestRow& row : card.rows) {
    if (row.path == "/DCIM/101MSDCF") head = NoteCluster(row.note);
  }
  ASSERT_GE(head, 2u);
  const auto u16 = [&](size_t at) { return static_cast<uint32_t>(card.bytes[at] | (card.bytes[at + 1] << 8)); };
  const auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
  const uint64_t first = u16(14) + uint64_t{card.bytes[16]} * u32(36) + uint64_t{head - 2} * card.bytes[13];
  std::fill_n(card.bytes.begin() + static_cast<ptrdiff_t>(first * 512), 512 * card.bytes[13], uint8_t{0});
  auto scan = RunProfessional(card.bytes, true);
  EXPECT_EQ(scan->finish, kStatusOk);
  size_t camera = 0;
  for (const auto& [name, found] : FilesByName(*scan)) {
    const std::string folder = found.first.substr(0, found.first.rfind('/'));
    const bool inCamera = folder == card.lostTop + "/100canon";
    EXPECT_EQ(inCamera, name.rfind("img_", 0) == 0) << found.first;
    camera += inCamera ? 1 : 0;
  }
  EXPECT_EQ(camera, 200u);
}

}  // namespace
}  // namespace engine::fat_testing
