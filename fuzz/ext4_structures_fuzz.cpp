// SPDX-License-Identifier: GPL-3.0-or-later
// Takes arbitrary bytes through every ext parser on its own: the superblock
// (at 0 and at 1024), group descriptors, inodes, extent nodes (in an inode
// and as tree blocks), whole file maps with tree and indirect blocks served
// from the bytes, directory blocks, and the journal's superblock,
// descriptor and revoke blocks; inode-table blocks recognised and numbered
// as the deep scan finds them. Seed with the first megabyte of the ext
// fixtures.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ext4/ext4_block_map.h"
#include "engine/ext4/ext4_directory_block.h"
#include "engine/ext4/ext4_found_tables.h"
#include "engine/ext4/ext4_group_table.h"
#include "engine/ext4/ext4_inode.h"
#include "engine/ext4/ext4_journal.h"
#include "engine/ext4/ext4_superblock.h"

namespace {

using namespace engine;
using namespace engine::ext4;

// A superblock to read the rest with: the one the bytes hold, else one
// made up to cover them (1 KiB blocks, metadata_csum, 64-bit, journal v3).
Superblock GeometryFor(const uint8_t* data, size_t size) {
  Superblock sb;
  if (size >= 2048 && ParseSuperblock(ByteView(data + 1024, 1024), &sb)) return sb;
  sb.blockBytes = 1024;
  sb.firstDataBlock = 1;
  sb.blockCount = size / 1024 + 2;
  sb.blocksPerGroup = 8192;
  sb.inodesPerGroup = 2048;
  sb.groupCount = 1;
  sb.inodeCount = 2048;
  sb.inodeBytes = 256;
  sb.descriptorBytes = 64;
  sb.incompat = feature::kIncompat64Bit | feature::kIncompatExtents | feature::kIncompatFiletype |
                feature::kIncompatInlineData;
  sb.roCompat = feature::kRoCompatMetadataCsum;
  return sb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (4u << 20)) return 0;
  const ByteView all(data, size);
  Superblock parsed;
  (void)ParseSuperblock(all, &parsed);
  (void)ParseSuperblock(all.Sub(1024, 1024), &parsed);
  const Superblock sb = GeometryFor(data, size);
  const size_t bs = sb.blockBytes;

  for (size_t at = 0; at + sb.descriptorBytes <= size && at < 64 * 1024; at += sb.descriptorBytes) {
    GroupDescriptor d;
    (void)ParseGroupDescriptor(all.Sub(at, sb.descriptorBytes), sb, static_cast<uint32_t>(at / 64), &d);
  }
  // Every block served from the bytes (tree and indirect blocks of the maps).
  const FetchBlock fetch = [&](uint64_t block, const AcceptBlock& accept, std::vector<uint8_t>* out) {
    if (block >= size / bs) return false;
    out->assign(data + block * bs, data + (block + 1) * bs);
    return accept(ByteView(out->data(), out->size()));
  };
  for (size_t at = 0; at + sb.inodeBytes <= size; at += sb.inodeBytes) {
    Inode node;
    const auto number = static_cast<uint32_t>(at / sb.inodeBytes + 1);
    if (!ParseInode(all.Sub(at, sb.inodeBytes), sb, number, &node)) continue;
    (void)node.InlineData();
    std::vector<BlockRun> runs;
    std::vector<uint64_t> tree;
    (void)MapInode(node, number, sb, fetch, 4096, &runs, &tree);
  }
  // Inode-table blocks, numbered from the "." of the blocks their folders name.
  FoundInodeTables tables;
  for (size_t at = 0; at + bs <= size; at += bs) (void)tables.Add(at / bs, all.Sub(at, bs), sb, size / bs + 2);
  tables.Number(static_cast<uint32_t>(bs), [&](const Inode& folder, uint16_t) -> uint32_t {
    const uint64_t first = ByteView(folder.block.data(), folder.block.size()).U32(4 * 5) % (size / bs + 1);
    uint32_t self = 0;
    uint32_t parent = 0;
    return first < size / bs && DirectoryStartOf(all.Sub(first * bs, bs), sb, &self, &parent) ? self : 0;
  }, sb.checksumSeed, static_cast<uint32_t>(size / 128 + 16));
  tables.ForEachNumbered([&](uint32_t number, const FoundInodeTables::Copy& copy) {
    (void)tables.Contradicts(copy.block, copy.slot, copy.inodeBytes, number);
  });
  for (size_t at = 0; at + bs <= size; at += bs) {
    const ByteView block = all.Sub(at, bs);
    ExtentNode node;
    (void)ParseExtentNode(block, sb, true, 0, &node);
    (void)ParseExtentNode(block.Sub(0, 60), sb, false, 0, &node);
    DirectoryBlock dir;
    (void)ParseDirectoryBlock(block, sb, 0, false, &dir);
    (void)ParseDirectoryBlock(block.Sub(4, 56), sb, 0, true, &dir);
    uint32_t self = 0;
    uint32_t parent = 0;
    (void)DirectoryStartOf(block, sb, &self, &parent);
    JournalSuperblock jsb;
    {
      (void)ParseJournalSuperblock(block, sb.blockBytes, &jsb);
      jsb.blockBytes = sb.blockBytes;
      for (const uint32_t incompat : {0u, jbd2::kIncompat64Bit | jbd2::kIncompatCsumV3, jbd2::kIncompatCsumV2}) {
        jsb.incompat = incompat;
        std::vector<DescriptorTag> tags;
        (void)ParseDescriptorBlock(block, jsb, &tags);
        std::vector<uint64_t> revoked;
        (void)ParseRevokeBlock(block, jsb, &revoked);
      }
    }
  }
  return 0;
}
