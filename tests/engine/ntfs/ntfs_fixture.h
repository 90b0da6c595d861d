// SPDX-License-Identifier: GPL-3.0-or-later
// The NTFS fixture images (ntfs_512, ntfs_4k) as the engine tests use them.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/ntfs/mft_record.h"
#include "engine/store/scan_index.h"
#include "tests/engine/ntfs/ntfs_test_util.h"
#include "tests/support/test_support.h"

namespace ntfs_test {

// "key=value" from the manifest's "#" lines.
inline uint64_t ManifestValue(const std::string& manifestPath, const std::string& key) {
  auto bytes = testing_support::ReadFileBytes(manifestPath);
  std::string text(bytes.begin(), bytes.end());
  size_t at = text.find(" " + key + "=");
  if (at == std::string::npos) return 0;
  return std::stoull(text.substr(at + key.size() + 2));
}

// "mft=N" of a manifest row.
inline uint32_t MftOf(const testing_support::ManifestRow& row) {
  size_t at = row.note.find("mft=");
  return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(row.note.substr(at + 4)));
}

// "lcn=N" of a manifest row (first cluster of the data), 0 when absent.
inline uint64_t LcnOf(const testing_support::ManifestRow& row) {
  size_t at = row.note.find("lcn=");
  return at == std::string::npos ? 0 : std::stoull(row.note.substr(at + 4));
}

// Every item below the root, by path ("/dir/name"), walked with the depth rule.
inline void CollectTree(engine::IFileRecoveryParse& engine, const engine::ItemRecord* folder, int32_t depth,
                        const std::string& prefix, std::map<std::string, engine::ItemRecord>& out) {
  std::vector<engine::ItemRecord> children;
  ASSERT_EQ(engine.ListChildren(folder, depth, children), engine::kStatusOk);
  for (const engine::ItemRecord& child : children) {
    const std::string path = prefix + "/" + std::string(child.Name());
    out[path] = child;
    if (child.isFolder != 0 && depth < 64) CollectTree(engine, &child, depth + 1, path, out);
  }
}

// Edits the 1024-byte record at byte offset `at` of an image: the fix-up is
// undone, edit runs on the plain record, and the record is protected again.
template <typename Edit>
void EditRecordAt(std::vector<uint8_t>& image, uint64_t at, Edit edit) {
  std::vector<uint8_t> rec(image.begin() + static_cast<std::ptrdiff_t>(at),
                           image.begin() + static_cast<std::ptrdiff_t>(at + 1024));
  ASSERT_TRUE(engine::ntfs::ApplyUpdateSequence(rec.data(), rec.size()));
  edit(rec);
  const uint16_t usn = Get16(rec, 0x30);
  for (size_t i = 1; i <= 2; ++i) {
    rec[0x30 + 2 * i] = rec[i * 512 - 2];
    rec[0x30 + 2 * i + 1] = rec[i * 512 - 1];
    Put16(rec, i * 512 - 2, usn);
  }
  std::copy(rec.begin(), rec.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}

// Offset of the first attribute of type in a plain record, or 0.
inline size_t FindAttribute(const std::vector<uint8_t>& rec, uint32_t type) {
  size_t pos = Get16(rec, 0x14);
  while (pos + 8 <= rec.size()) {
    const uint32_t t = Get32(rec, pos);
    const uint32_t len = Get32(rec, pos + 4);
    if (t == 0xFFFFFFFF || len == 0) return 0;
    if (t == type) return pos;
    pos += len;
  }
  return 0;
}

class NtfsFixtureTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_imagePath = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (m_imagePath.empty()) GTEST_SKIP() << "fixture " << GetParam() << " not present";
    m_manifestPath = testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv");
    m_manifest = testing_support::ReadManifest(m_manifestPath);
    m_clusterBytes = ManifestValue(m_manifestPath, "cluster_size");
    m_mftOffset = ManifestValue(m_manifestPath, "mft_lcn") * m_clusterBytes;
    ASSERT_EQ(engine::store::ScanIndex::Instance().NewScanFolder(), engine::kStatusOk);
  }

  // Byte offset of record n in the image, through the MFT's own runs.
  uint64_t RecordOffset(uint32_t n) {
    engine::ntfs::CFastNtfsRecovery probe;
    EXPECT_EQ(probe.OpenImage(m_imagePath, 'E'), engine::kStatusOk);
    return engine::ntfs::MftRecordToSector(probe.Geometry(), probe.MftRuns(), n) * probe.Geometry().bytesPerSector;
  }

  template <typename Edit>
  void EditRecord(std::vector<uint8_t>& image, uint32_t n, Edit edit) {
    EditRecordAt(image, RecordOffset(n), edit);
  }

  const testing_support::ManifestRow* Row(const std::string& path) const {
    for (const auto& row : m_manifest) {
      if (row.path == path) return &row;
    }
    return nullptr;
  }

  // Scans the image file (or, with bytes, a memory copy) and collects the tree.
  void ScanImage(engine::ntfs::CFastNtfsRecovery& engine, const std::vector<uint8_t>* bytes = nullptr) {
    if (bytes != nullptr) {
      storage::SectorSource source;
      storage::OpenMemorySource(source, *bytes);
      ASSERT_EQ(engine.OpenSource(std::move(source), 0, 0, 'E'), engine::kStatusOk);
    } else {
      ASSERT_EQ(engine.OpenImage(m_imagePath, 'E'), engine::kStatusOk);
    }
    ASSERT_EQ(engine.Scan(nullptr), engine::kStatusOk);
    m_tree.clear();
    CollectTree(engine, nullptr, 0, "", m_tree);
  }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
  std::string m_imagePath;
  std::string m_manifestPath;
  std::vector<testing_support::ManifestRow> m_manifest;
  uint64_t m_clusterBytes = 0;
  uint64_t m_mftOffset = 0;
  std::map<std::string, engine::ItemRecord> m_tree;
};

}  // namespace ntfs_test
