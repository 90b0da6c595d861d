// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <fstream>

#include "engine/item_record.h"
#include "engine/store/child_order.h"
#include "tests/support/test_support.h"

namespace engine {
namespace {

ItemRecord Named(const char* name, int folder) {
  ItemRecord r = ZeroRecord();
  SetItemName(r, name);
  r.isFolder = folder;
  return r;
}

TEST(ItemRecord, FieldsLieAtTheirByteOffsetsAndRoundTripThroughAFile) {
  ItemRecord r = ZeroRecord();
  r.driveLetter = u'E';
  r.sourceKind = 1;
  r.isFolder = 0;
  r.isDeleted = 1;
  r.isIntact = 1;
  r.id = 0x11223344;
  r.locator = 0x55667788;
  r.clusterBytes = 4096;
  r.size = 0x0102030405060708ull;
  r.volumeStartSector = 2048;
  SetItemName(r, "photo.jpg");
  const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
  EXPECT_EQ(bytes[0], 'E');
  EXPECT_EQ(bytes[2], 1);
  EXPECT_EQ(bytes[18], 0x44);
  EXPECT_EQ(bytes[21], 0x11);
  EXPECT_EQ(bytes[22], 0x88);
  EXPECT_EQ(bytes[54], 0x08);
  EXPECT_EQ(bytes[61], 0x01);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 86)), "photo.jpg");

  testing_support::TempDir dir;
  std::string path = dir.path() + "records";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&r), sizeof r);
  }
  auto back = testing_support::ReadFileBytes(path);
  ASSERT_EQ(back.size(), 346u);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), bytes));
}

TEST(ItemRecord, LongNamesAreCutOnACharacterBoundary) {
  ItemRecord r = ZeroRecord();
  std::string name(258, 'a');
  name += "\xC3\xA9";  // 260 bytes: the 2-byte character no longer fits with the terminator
  SetItemName(r, name);
  EXPECT_EQ(r.Name().size(), 258u);
  std::string exact(259, 'b');
  SetItemName(r, exact);
  EXPECT_EQ(r.Name(), exact);
}

TEST(ItemRecord, ACutNameKeepsItsExtension) {
  ItemRecord r = ZeroRecord();
  // 255 characters of a UTF-16 NTFS name become far more than 259 bytes.
  std::string stem;
  for (int i = 0; i < 200; ++i) stem += "\xE6\x97\xA5";  // 日
  SetItemName(r, stem + ".jpeg");
  const std::string_view cut = r.Name();
  ASSERT_LE(cut.size(), 259u);
  EXPECT_EQ(cut.substr(cut.size() - 5), ".jpeg");
  EXPECT_EQ((cut.size() - 5) % 3, 0u);  // whole characters only
  // A "name" whose tail after the dot is not an extension is cut as before.
  SetItemName(r, std::string(300, 'x') + "." + std::string(100, 'y'));
  EXPECT_EQ(r.Name(), std::string(259, 'x'));
}

TEST(ChildOrder, FilesBeforeFoldersThenNamesWithoutCase) {
  std::vector<ItemRecord> v = {
      Named("A", 1), Named("b.txt", 0), Named("Zeta", 0), Named("alpha", 0), Named("\xC3\xA9t\xC3\xA9", 0),
      Named("_x", 0)};
  store::SortInChildOrder(v);
  std::vector<std::string> names;
  for (const auto& r : v) names.emplace_back(r.Name());
  // '_' (0x5F) sorts before folded letters (0x61+), and bytes >= 0x80 after them.
  EXPECT_EQ(names, (std::vector<std::string>{"_x", "alpha", "b.txt", "Zeta", "\xC3\xA9t\xC3\xA9", "A"}));
  EXPECT_FALSE(store::ChildOrderLess(Named("abc", 0), Named("ABC", 0)));
  EXPECT_FALSE(store::ChildOrderLess(Named("ABC", 0), Named("abc", 0)));
}

}  // namespace
}  // namespace engine
