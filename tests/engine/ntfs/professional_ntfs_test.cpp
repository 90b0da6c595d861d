// SPDX-License-Identifier: GPL-3.0-or-later
// The professional NTFS engine fed the way the deep scan feeds it: every
// sector that starts a plausible file record, then Finish.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/ntfs/mft_record.h"
#include "engine/ntfs/professional_ntfs_recovery.h"
#include "tests/engine/browse_search_invariant.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

namespace engine::ntfs {
namespace {

using testing_support::ReadFileBytes;
using testing_support::Sha256OfFile;

class ProfessionalNtfsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    m_manifest = testing_support::ReadManifest(testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv"));
    ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  }

  // Hands every plausible record of bytes to the engine, as the deep scan does.
  void Feed(CProfessionalNtfsRecovery& engine, const std::vector<uint8_t>& bytes) {
    const uint32_t sector = engine.BytesPerSector();
    const uint32_t record = engine.RecordBytes();
    for (size_t at = 0; at + record <= bytes.size(); at += sector) {
      const ByteView view(bytes.data() + at, record);
      if (!IsPlausibleFileRecord(view, record)) continue;
      (void)engine.HandleRecord(bytes.data() + at, record, at / sector);  // 87: not a record after all
    }
  }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
  std::string m_image;
  std::vector<testing_support::ManifestRow> m_manifest;
};

TEST_P(ProfessionalNtfsTest, FilesOfTheOldVolumeComeBackWithTheirFolders) {
  const std::vector<uint8_t> bytes = ReadFileBytes(m_image);
  CProfessionalNtfsRecovery engine;
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  ASSERT_EQ(engine.OpenSource(std::move(source), 0, 0, 'P'), kStatusOk);
  ASSERT_EQ(engine.Begin(nullptr), kStatusOk);
  Feed(engine, bytes);
  ASSERT_EQ(engine.Finish(), kStatusOk);

  std::map<std::string, ItemRecord> tree;
  ntfs_test::CollectTree(engine, nullptr, 0, "", tree);
  // Bytes the new file system wrote over: a file that lay there is gone, not wrongly recovered.
  const std::string originalPath = testing_support::UnpackedFixture("ntfs_512.img.gz");
  const std::vector<uint8_t> original = ReadFileBytes(originalPath);
  auto overwritten = [&](const testing_support::ManifestRow& row) {
    // The zero filler took all the free space: a new file system always lands on part of it.
    if (row.note.find("zero-filled") != std::string::npos) return bytes != original;
    const uint64_t lcn = ntfs_test::LcnOf(row);
    if (lcn == 0 || row.note.find("runs=1 ") == std::string::npos) return false;
    const uint64_t from = lcn * 512, to = from + std::stoull(row.size);
    return to <= original.size() && !std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                                bytes.begin() + static_cast<std::ptrdiff_t>(to),
                                                original.begin() + static_cast<std::ptrdiff_t>(from));
  };
  int checked = 0;
  for (const auto& row : m_manifest) {
    if (row.size == "-" || row.note.find("record reused") != std::string::npos) continue;
    auto found = tree.find(row.path);
    if (row.path.rfind("/Old Folder/", 0) == 0) found = tree.find("/LostFolder64" + row.path.substr(11));
    ASSERT_NE(found, tree.end()) << row.path;
    const ItemRecord& item = found->second;
    EXPECT_EQ(+item.sourceKind, static_cast<int32_t>(SourceKind::kProfessionalNtfs));
    const std::string out = m_out.path() + std::to_string(checked++);
    ASSERT_EQ(engine.RecoverItem(&item, out, 0), kStatusOk) << row.path;
    if (!overwritten(row)) {
      EXPECT_EQ(Sha256OfFile(out), row.sha256) << row.path;
    }
  }
  EXPECT_GE(checked, 20);
  testing_invariant::ExpectBrowsingFindsWhatSearchFinds(engine, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ProfessionalNtfsTest,
                         ::testing::Values("ntfs_512", "ntfs_reformat_same", "ntfs_reformat_4k"));

}  // namespace
}  // namespace engine::ntfs

namespace engine::ntfs {
namespace {

// A volume whose every record slot is a plausible "FILE" header over random
// attributes: every one is handed over, and nothing crashes, loops or grows
// without bound; whatever comes out is browsable.
TEST(ProfessionalNtfsDamageTest, AVolumeOfPlausibleRecordsWithGarbageAttributes) {
  testing_support::ScopedDataHome home;
  ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  std::vector<uint8_t> image(4u << 20, 0);
  std::mt19937 random(7);
  for (size_t at = 0; at + 1024 <= image.size(); at += 1024) {
    for (size_t i = 0; i < 1024; ++i) image[at + i] = static_cast<uint8_t>(random());
    std::memcpy(image.data() + at, "FILE", 4);
    ntfs_test::Put16(image, at + 0x04, 0x30);
    ntfs_test::Put16(image, at + 0x06, 3);
    ntfs_test::Put16(image, at + 0x14, static_cast<uint16_t>(0x38 + random() % 64));
    ntfs_test::Put32(image, at + 0x18, static_cast<uint32_t>(0x100 + random() % 0x300));
    ntfs_test::Put32(image, at + 0x1C, 1024);
    ntfs_test::Put32(image, at + 0x20, 0);
    ntfs_test::Put32(image, at + 0x2C, static_cast<uint32_t>(12 + random() % 5000));
    image[at + 0x1FE] = image[at + 0x30];
    image[at + 0x1FF] = image[at + 0x31];
  }
  CProfessionalNtfsRecovery engine;
  storage::SectorSource source;
  storage::OpenMemorySource(source, image);
  ASSERT_EQ(engine.OpenSource(std::move(source), 0, 0, 'P'), kStatusOk);
  ASSERT_EQ(engine.Begin(nullptr), kStatusOk);
  for (size_t at = 0; at + 1024 <= image.size(); at += 512) {
    if (IsPlausibleFileRecord(ByteView(image.data() + at, 1024), 1024)) {
      (void)engine.HandleRecord(image.data() + at, 1024, at / 512);
    }
  }
  (void)engine.Finish();  // whatever it found is filed; a read error of a garbage parent may be reported
  testing_invariant::ExpectBrowsingFindsWhatSearchFinds(engine, "garbage records");
}

}  // namespace
}  // namespace engine::ntfs
