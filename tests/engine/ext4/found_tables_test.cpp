// SPDX-License-Identifier: GPL-3.0-or-later
// Recognising inode-table blocks: every block of the tables the kernel
// wrote reads as one, at the volume's inode size; no block of a real file
// of any kind does (a block taken for a table is not carved).
#include <gtest/gtest.h>

#include "engine/ext4/ext4_found_tables.h"
#include "engine/ext4/ext4_group_table.h"
#include "tests/engine/ext4/ext4_test_util.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace engine::ext4_testing {
namespace {

TEST(FoundInodeTables, EveryTableBlockWithALinkedInodeReadsAsOneAtTheVolumesInodeSize) {
  for (const char* name : {"ext4_home", "ext3_deleted", "ext4_wrapped", "ext4_inline", "ext4"}) {
    const std::string image = testing_support::UnpackedFixture(std::string(name) + ".img.gz");
    if (image.empty()) GTEST_SKIP() << "fixture " << name << " is not available";
    auto engine = ScanImage(image);
    ext4::Ext4Volume& volume = engine->Volume();
    const ext4::Superblock& sb = volume.Sb();
    std::vector<uint8_t> block(sb.blockBytes);
    int tables = 0;
    for (const ext4::GroupDescriptor& gd : volume.Groups()) {
      for (uint64_t b = 0; b < ext4::InodeTableBlocks(sb); ++b) {
        ASSERT_EQ(volume.ReadBlocks(gd.inodeTable + b, 1, block.data()), kStatusOk);
        bool linked = false;
        for (size_t at = 0; at < block.size(); at += sb.inodeBytes) {
          ext4::Inode node;
          const bool parsed = ext4::ParseInode(ByteView(block.data() + at, sb.inodeBytes), sb, 0, &node, false);
          linked = linked || (parsed && node.LooksLive());
        }
        if (!linked) continue;
        uint16_t inodeBytes = 0;
        std::vector<ext4::TableSlot> slots;
        EXPECT_TRUE(ext4::RecogniseInodeTableBlock(ByteView(block.data(), block.size()), sb, sb.blockCount,
                                                   &inodeBytes, &slots))
            << name << " block " << gd.inodeTable + b;
        EXPECT_EQ(inodeBytes, sb.inodeBytes) << name << " block " << gd.inodeTable + b;
        ++tables;
      }
    }
    EXPECT_GT(tables, 0) << name;
  }
}

TEST(FoundInodeTables, NoBlockOfARealFileReadsAsAnInodeTable) {
  ext4::Superblock sb;
  sb.blockCount = 1u << 24;
  sb.inodeBytes = 256;
  sb.incompat = ext4::feature::kIncompatExtents;
  size_t files = 0;
  for (const char* archive : {"samples.tar.gz", "structure_samples.tar.gz", "modern_samples.tar.gz",
                              "carve_corpus.tar.gz"}) {
    for (const auto& [name, bytes] : deep_test::ReadFixtureArchive(archive)) {
      ++files;
      for (const uint32_t blockBytes : {1024u, 4096u}) {
        sb.blockBytes = blockBytes;
        for (size_t at = 0; at + blockBytes <= bytes.size(); at += blockBytes) {
          uint16_t inodeBytes = 0;
          std::vector<ext4::TableSlot> slots;
          EXPECT_FALSE(ext4::RecogniseInodeTableBlock(ByteView(bytes.data() + at, blockBytes), sb, sb.blockCount,
                                                      &inodeBytes, &slots))
              << archive << " " << name << " at " << at;
        }
      }
    }
  }
  if (files == 0) GTEST_SKIP() << "no sample archive is available";
}

}  // namespace
}  // namespace engine::ext4_testing
