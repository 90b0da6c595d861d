// SPDX-License-Identifier: GPL-3.0-or-later
// Damaged containers: a missing segment, a truncated segment, a chunk that
// fails its checksum, tables that point outside their file, missing extents
// and backing files. Each gives a clear error naming the file and the offset,
// and never a hole read as data.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "storage/image_container.h"
#include "storage/media_hash.h"
#include "storage/sector_source.h"
#include "storage/source_failure.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace storage {
namespace {

namespace fs = std::filesystem;

// Chunks of an E01 made by ewfacquire at its defaults hold 64 sectors.
constexpr uint64_t kChunkBytes = 32768;

class DamagedContainerTest : public ::testing::Test {
 protected:
  // A private copy of a container fixture's files in folder; returns the path of the file to open.
  static std::string CopyInto(const std::string& archive, const std::string& folder) {
    for (const auto& f : testing_support::ReadContainerFixtures()) {
      if (f.archive != archive) continue;
      const std::string path = testing_support::ContainerFixturePath(f);
      if (path.empty()) break;
      testing_support::CopyFolderFiles(fs::path(path).parent_path().string(), folder);
      return folder + f.open;
    }
    ADD_FAILURE() << "no container fixture " << archive;
    return {};
  }
  std::string CopyOf(const std::string& archive) { return CopyInto(archive, m_dir.path()); }
  // The file offset of a run of media bytes stored as they are (an uncompressed chunk).
  static size_t FindStored(const std::vector<uint8_t>& file, const std::vector<uint8_t>& media, uint64_t mediaOffset) {
    auto probe = media.begin() + static_cast<std::ptrdiff_t>(mediaOffset);
    auto at = std::search(file.begin(), file.end(), probe, probe + 256);
    return at == file.end() ? std::string::npos : static_cast<size_t>(at - file.begin());
  }
  // Reads count sectors from sector 0 and returns the status and the sectors that arrived.
  static Status ReadFromStart(SectorSource& source, uint32_t count, uint32_t* got) {
    std::vector<uint8_t> buffer(static_cast<size_t>(count) * 512);
    return ReadSectors(count, source, buffer.data(), 0, 512, got);
  }

  testing_support::TempDir m_dir;
};

TEST_F(DamagedContainerTest, MissingSegmentIsNamedAndItsDataFailsToRead) {
  const std::string e01 = CopyOf("fat16_e01");
  fs::remove(m_dir.path() + "fat16.E05");
  OpenedImage image;
  std::string error;
  ASSERT_EQ(OpenImageDevice(e01, &image, &error), 0) << error;
  EXPECT_NE(image.info.damage.find("fat16.E05"), std::string::npos) << image.info.damage;
  EXPECT_EQ(image.info.files.size(), 4u);

  // The volume's data lies in the first segment: it still reads.
  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, e01), 0);
  uint32_t got = 0;
  EXPECT_EQ(ReadFromStart(source, 128, &got), 0);
  // Hashing the whole media reaches the missing part and stops there, naming it.
  (void)TakeSourceFailure();
  MediaHashes hashes;
  EXPECT_EQ(HashMedia(*image.device, image.info.mediaBytes, nullptr, &hashes, &error), platform::kStatusReadFault);
  EXPECT_NE(error.find("fat16.E01"), std::string::npos) << error;
  EXPECT_NE(error.find("fat16.E05"), std::string::npos) << error;
  EXPECT_NE(error.find("cannot read media bytes 4"), std::string::npos) << error;  // from 4 MiB on
  EXPECT_EQ(TakeSourceFailure(), error);
  EXPECT_TRUE(hashes.md5.empty());
}

TEST_F(DamagedContainerTest, ChunkFailingItsChecksumFailsEveryReadOfIt) {
  const std::string e01 = CopyOf("fat16_e01");
  std::vector<uint8_t> media = testing_support::ReadFileBytes(testing_support::UnpackedFixture("fat16.img.gz"));
  std::vector<uint8_t> file = testing_support::ReadFileBytes(e01);
  const uint64_t badChunk = 3;  // data clusters 25-40 of the FAT16 volume
  size_t at = FindStored(file, media, badChunk * kChunkBytes + 1000);
  ASSERT_NE(at, std::string::npos);
  file[at] ^= 0xFF;
  testing_support::WriteFileBytes(e01, file);

  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, e01), 0);
  std::vector<uint8_t> buffer(8 * kChunkBytes);
  for (int attempt = 0; attempt < 2; ++attempt) {  // the second read meets libewf's cached chunk
    uint32_t got = 0;
    EXPECT_EQ(ReadSectors(8 * 64, source, buffer.data(), 0, 512, &got), platform::kStatusReadFault);
    EXPECT_EQ(got, badChunk * 64) << "the sectors before the bad chunk arrive";
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + badChunk * kChunkBytes, media.begin()));
    std::string reason = source.handle->LastErrorText();
    EXPECT_NE(reason.find("fat16.E01"), std::string::npos) << reason;
    EXPECT_NE(reason.find("media bytes 98304-131071"), std::string::npos) << reason;
  }
  // Reads beside it are whole.
  uint32_t got = 0;
  EXPECT_EQ(ReadSectors(64, source, buffer.data(), (badChunk + 1) * 64, 512, &got), 0);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + kChunkBytes, media.begin() + (badChunk + 1) * kChunkBytes));
}

TEST_F(DamagedContainerTest, TruncatedSegmentNeverReadsAsZeros) {
  const std::string e01 = CopyOf("ntfs_512_e01");
  fs::resize_file(e01, fs::file_size(e01) / 2);
  OpenedImage image;
  std::string error;
  ASSERT_EQ(OpenImageDevice(e01, &image, &error), 0) << error;
  EXPECT_NE(image.info.damage.find("truncated"), std::string::npos) << image.info.damage;
  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, e01), 0);
  uint32_t got = 0;
  EXPECT_EQ(ReadFromStart(source, 32, &got), platform::kStatusReadFault);
  EXPECT_EQ(got, 0u);
  EXPECT_NE(source.handle->LastErrorText().find("ntfs_512.E01': cannot read media bytes 0-"), std::string::npos)
      << source.handle->LastErrorText();
}

TEST_F(DamagedContainerTest, DamagedCompressedChunkFailsAndEveryByteReadIsTrue) {
  const std::string e01 = CopyOf("ntfs_512_e01");
  std::vector<uint8_t> file = testing_support::ReadFileBytes(e01);
  const size_t damaged = file.size() * 3 / 5;  // inside the compressed chunks, before the tables at the end
  for (size_t i = 0; i < 16; ++i) file[damaged + i] ^= 0x5A;
  testing_support::WriteFileBytes(e01, file);
  const std::vector<uint8_t> raw = testing_support::ReadFileBytes(testing_support::UnpackedFixture("ntfs_512.img.gz"));

  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, e01), 0);
  std::vector<uint8_t> piece(kReadPieceBytes);
  int failed = 0;
  for (uint64_t sector = 0; sector < source.totalSectors; sector += kReadPieceBytes / 512) {
    uint32_t got = 0;
    Status s = ReadSectors(kReadPieceBytes / 512, source, piece.data(), sector, 512, &got);
    EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + got * 512, raw.begin() + sector * 512))
        << "sector " << sector << ": damaged bytes were handed out as data";
    if (s != 0) {
      ++failed;
      EXPECT_EQ(s, platform::kStatusReadFault);
      EXPECT_NE(source.handle->LastErrorText().find("ntfs_512.E01': cannot read media bytes"), std::string::npos)
          << source.handle->LastErrorText();
    }
  }
  EXPECT_GE(failed, 1);
}

TEST_F(DamagedContainerTest, TruncatedVhdIsRefusedNamingTheFile) {
  const std::string vhd = CopyOf("disk_mbr_vhd");
  fs::resize_file(vhd, fs::file_size(vhd) / 2);  // the footer at the end is gone
  SectorSource source;
  std::string error;
  EXPECT_EQ(OpenImageSource(source, vhd, &error), platform::kStatusReadFault);
  EXPECT_NE(error.find(vhd), std::string::npos) << error;
  EXPECT_NE(error.find("footer"), std::string::npos) << error;
  EXPECT_FALSE(source.IsOpen());
}

TEST_F(DamagedContainerTest, VhdBlockTableEntryOutsideTheFileFailsThatBlock) {
  const std::string vhd = CopyOf("disk_mbr_vhd");
  std::vector<uint8_t> file = testing_support::ReadFileBytes(vhd);
  // Footer copy at 0: dynamic header offset at 16 (big-endian); there: block table offset at 16.
  auto be64 = [&](size_t at) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = (v << 8) | file.at(at + i);
    return v;
  };
  const size_t table = static_cast<size_t>(be64(static_cast<size_t>(be64(16)) + 16));
  const uint8_t farAway[4] = {0x7F, 0xFF, 0xFF, 0x00};  // block 0 at sector 0x7FFFFF00
  std::copy(std::begin(farAway), std::end(farAway), file.begin() + static_cast<std::ptrdiff_t>(table));
  testing_support::WriteFileBytes(vhd, file);

  SectorSource source;
  std::string error;
  ASSERT_EQ(OpenImageSource(source, vhd, &error), 0) << error;
  uint32_t got = 0;
  EXPECT_EQ(ReadFromStart(source, 1, &got), platform::kStatusReadFault);
  EXPECT_NE(source.handle->LastErrorText().find("disk_mbr.vhd': cannot read media bytes 0-511"), std::string::npos)
      << source.handle->LastErrorText();
}

TEST_F(DamagedContainerTest, QcowL1EntryOutsideTheFileNamesTheTable) {
  const std::string top = CopyOf("fat16_qcow2_chain");
  std::vector<uint8_t> file = testing_support::ReadFileBytes(top);
  size_t l1 = 0;
  for (size_t i = 40; i < 48; ++i) l1 = (l1 << 8) | file[i];
  const uint8_t farAway[8] = {0x80, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x00, 0x00};
  std::copy(std::begin(farAway), std::end(farAway), file.begin() + static_cast<std::ptrdiff_t>(l1));
  testing_support::WriteFileBytes(top, file);

  SectorSource source;
  std::string error;
  ASSERT_EQ(OpenImageSource(source, top, &error), 0) << error;
  uint32_t got = 0;
  EXPECT_EQ(ReadFromStart(source, 1, &got), platform::kStatusReadFault);
  const std::string reason = source.handle->LastErrorText();
  EXPECT_NE(reason.find("L2 table at file byte 0x7f00000000"), std::string::npos) << reason;
  EXPECT_NE(reason.find("fat16_top.qcow2"), std::string::npos) << reason;
}

TEST_F(DamagedContainerTest, QcowFeaturesThatCannotBeReadAreRefused) {
  const std::string top = CopyOf("fat16_qcow2_chain");
  std::vector<uint8_t> file = testing_support::ReadFileBytes(top);
  file[79] |= 0x10;  // incompatible feature bit 4: extended L2 entries
  testing_support::WriteFileBytes(top, file);
  SectorSource source;
  std::string error;
  EXPECT_EQ(OpenImageSource(source, top, &error), platform::kErrorGenFailure);
  EXPECT_NE(error.find("extended L2"), std::string::npos) << error;
}

TEST_F(DamagedContainerTest, MissingFilesOfASetAreNamed) {
  struct Case {
    const char* archive;
    const char* removed;
  };
  for (const Case& c :
       {Case{"disk_split_vmdk", "disk_split-s002.vmdk"}, Case{"fat16_qcow2_chain", "fat16_base.qcow2"}}) {
    testing_support::TempDir dir;
    const std::string path = CopyInto(c.archive, dir.path());
    fs::remove(dir.path() + c.removed);
    SectorSource source;
    std::string error;
    EXPECT_EQ(OpenImageSource(source, path, &error), platform::kErrorFileNotFound) << c.archive;
    EXPECT_NE(error.find(c.removed), std::string::npos) << error;
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace storage
