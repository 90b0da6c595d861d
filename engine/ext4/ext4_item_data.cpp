// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_item_data.h"

#include <algorithm>

namespace engine::ext4 {
namespace {

constexpr uint64_t kUnwrittenBit = uint64_t{1} << 63;
constexpr size_t kPieceBytes = 1u << 20;

}  // namespace

std::vector<store::DataExtent> ItemData::Encode() const {
  std::vector<store::DataExtent> out;
  out.push_back({kLayoutTag | static_cast<uint32_t>(kind), size});
  if (kind == Kind::kInline) out.push_back({inodeByte, 0});
  if (kind == Kind::kRuns) {
    for (const BlockRun& r : runs) {
      out.push_back({r.physical | (r.unwritten ? kUnwrittenBit : 0), (r.logical << 32) | (r.count & 0xFFFFFFFFu)});
    }
  }
  return out;
}

bool ItemData::Decode(const std::vector<store::DataExtent>& extents, ItemData* out) {
  if (extents.empty() || (extents[0].first & kTagMask) != kLayoutTag) return false;
  ItemData d;
  const uint64_t kind = extents[0].first & ~kTagMask;
  if (kind > static_cast<uint32_t>(Kind::kInline)) return false;
  d.kind = static_cast<Kind>(kind);
  d.size = extents[0].count;
  if (d.kind == Kind::kInline) {
    if (extents.size() != 2) return false;
    d.inodeByte = extents[1].first;
  } else if (d.kind == Kind::kRuns) {
    for (size_t i = 1; i < extents.size(); ++i) {
      BlockRun r;
      r.unwritten = (extents[i].first & kUnwrittenBit) != 0;
      r.physical = extents[i].first & ~kUnwrittenBit;
      r.logical = extents[i].count >> 32;
      r.count = extents[i].count & 0xFFFFFFFFu;
      if (r.count == 0 || (!d.runs.empty() && r.logical < d.runs.back().logical + d.runs.back().count)) return false;
      d.runs.push_back(r);
    }
  }
  *out = std::move(d);
  return true;
}

uint64_t ItemData::FirstBlock() const {
  if (kind != Kind::kRuns || runs.empty() || runs.front().logical != 0 || runs.front().unwritten) return 0;
  return runs.front().physical;
}

Status CopyItemBytes(Ext4Volume& volume, const ItemData& data, uint32_t number, uint64_t byteCount, ICopySink& sink,
                     const CopyProgress& progress) {
  if (byteCount == 0) return kStatusOk;
  const Superblock& sb = volume.Sb();
  if (data.kind == ItemData::Kind::kInline) {
    std::vector<uint8_t> bytes(sb.inodeBytes);
    if (Status s = volume.ReadBytes(data.inodeByte, bytes.data(), bytes.size()); s != kStatusOk) return s;
    Inode node;
    if (!ParseInode(ByteView(bytes.data(), bytes.size()), sb, number, &node) || !node.checksumHolds ||
        !node.HasInlineData()) {
      return kStatusInvalidParameter;
    }
    std::vector<uint8_t> inlineBytes = node.InlineData();
    inlineBytes.resize(static_cast<size_t>(std::min<uint64_t>(byteCount, node.size)), 0);
    if (inlineBytes.size() < byteCount) return kStatusInvalidParameter;
    if (Status s = sink.Write(inlineBytes.data(), inlineBytes.size()); s != kStatusOk) return s;
    return progress ? progress(byteCount, byteCount) : kStatusOk;
  }
  if (data.kind != ItemData::Kind::kRuns) return kStatusInvalidParameter;
  const uint64_t bs = sb.blockBytes;
  for (const BlockRun& r : data.runs) {
    if (r.physical >= sb.blockCount || r.count > sb.blockCount - r.physical) return kStatusInvalidParameter;
  }
  std::vector<uint8_t> piece(kPieceBytes);
  uint64_t done = 0;
  auto emitZeros = [&](uint64_t bytes) -> Status {
    std::fill(piece.begin(), piece.end(), 0);
    while (bytes > 0 && done < byteCount) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>({bytes, piece.size(), byteCount - done}));
      if (Status s = sink.Write(piece.data(), n); s != kStatusOk) return s;
      done += n;
      bytes -= n;
      if (progress) {
        if (const int32_t answer = progress(done, byteCount); answer != 0) return answer;
      }
    }
    return kStatusOk;
  };
  for (const BlockRun& r : data.runs) {
    if (done >= byteCount) break;
    const uint64_t runStart = r.logical * bs;
    if (runStart > done) {
      if (Status s = emitZeros(runStart - done); s != kStatusOk) return s;
    }
    if (r.unwritten) {
      if (Status s = emitZeros(r.count * bs); s != kStatusOk) return s;
      continue;
    }
    for (uint64_t b = 0; b < r.count && done < byteCount;) {
      const auto blocks = static_cast<uint32_t>(std::min<uint64_t>(r.count - b, piece.size() / bs));
      if (Status s = volume.ReadBlocks(r.physical + b, blocks, piece.data()); s != kStatusOk) return s;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(uint64_t{blocks} * bs, byteCount - done));
      if (Status s = sink.Write(piece.data(), n); s != kStatusOk) return s;
      done += n;
      b += blocks;
      if (progress) {
        if (const int32_t answer = progress(done, byteCount); answer != 0) return answer;
      }
    }
  }
  if (done < byteCount) return emitZeros(byteCount - done);  // a hole at the end (a sparse tail)
  return kStatusOk;
}

}  // namespace engine::ext4
