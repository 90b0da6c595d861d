// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/professional_ext4_recovery.h"

#include <algorithm>
#include <deque>
#include <map>
#include <unordered_set>

#include "engine/ext4/ext4_directory_block.h"
#include "engine/ext4/ext4_group_table.h"
#include "engine/signatures/laid_out_check.h"
#include "engine/signatures/text_content.h"
#include "engine/store/layout_table.h"
#include "platform/file_time.h"

namespace engine::ext4 {
namespace {

constexpr uint32_t kLostLocator = 0x80000000u;
constexpr uint32_t kLostFilesLocator = kLostLocator - 1;  // "LostFiles": inodes found that no entry names
// The new tables' places read at the finish, at most (the rest is left).
constexpr uint64_t kMaxNewTableBytes = uint64_t{512} << 20;
// Text read through to prove a file that has no structure check.
constexpr uint64_t kMaxTextChecked = uint64_t{16} << 20;
constexpr size_t kMaxFileRuns = store::LayoutTable::kMaxExtents - 2;

uint64_t FileTimeOf(int64_t seconds, uint32_t ns) {
  return seconds == 0 && ns == 0 ? 0 : platform::UnixToFileTime(seconds, ns);
}

bool IsDotName(const std::string& name) {
  return name == "." || name == "..";
}

}  // namespace

CProfessionalExt4Recovery::CProfessionalExt4Recovery() = default;
CProfessionalExt4Recovery::~CProfessionalExt4Recovery() = default;

Status CProfessionalExt4Recovery::OpenImage(const std::string& imagePath, uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenImageSource(source, imagePath); s != kStatusOk) return s;
  m_volume.Own(std::move(source), 512, 0, 0);
  m_driveLetter = driveLetter;
  m_opened = true;
  return kStatusOk;
}

Status CProfessionalExt4Recovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                                uint16_t driveLetter) {
  if (m_opened) return kStatusOk;
  storage::SectorSource source;
  if (Status s = storage::OpenDiskSource(source, diskNumber); s != kStatusOk) return s;
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  m_volume.Own(std::move(source), unit, startSector, sectorCount);
  m_driveLetter = driveLetter;
  m_opened = true;
  return kStatusOk;
}

Status CProfessionalExt4Recovery::OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize,
                                                   uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) {
  if (!source.IsOpen()) return platform::kErrorInvalidHandle;
  m_volume.Borrow(source, sectorSize, startSector, sectorCount);
  m_driveLetter = driveLetter;
  m_opened = true;
  return kStatusOk;
}

Status CProfessionalExt4Recovery::SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData,
                                                       int32_t weight) {
  m_scanFn = scanFn;
  m_copyFn = copyFn;
  m_userData = userData;
  m_weight = weight;
  return kStatusOk;
}

Status CProfessionalExt4Recovery::Scan(const char*) {
  return kStatusOk;
}

std::string CProfessionalExt4Recovery::StoreBaseName() {
  const store::ScanStore* st = m_browser.Store();
  return st != nullptr ? st->BaseName() : std::string();
}

Status CProfessionalExt4Recovery::BeginExt4Scan(const char* previousName) {
  m_blocks.clear();
  m_tables = FoundInodeTables();
  m_browser.SetRootKey(store::FolderKey(0, inode::kRootInode));
  store::ScanStore& st = m_browser.NewStore();
  if (previousName != nullptr && previousName[0] != '\0') {
    (void)PrepareExt4Geometry();  // copies need the geometry
    return st.OpenStore(previousName);
  }
  return st.OpenFresh(store::MakeLogBaseName(kProExt4LogPrefix, static_cast<int64_t>(m_volume.StartUnit())));
}

bool CProfessionalExt4Recovery::PrepareExt4Geometry() {
  m_hasGeometry = false;
  if (!m_opened || (!m_volume.IsOpen() && m_volume.Open() != kStatusOk)) return false;
  m_plain = m_volume.Sb();
  m_plain.roCompat &= ~feature::kRoCompatMetadataCsum;
  const uint32_t unit = m_volume.UnitBytes();
  if (m_plain.blockBytes < unit || m_plain.blockBytes % unit != 0) return false;
  m_blockSectors = m_plain.blockBytes / unit;
  m_maxBlock = std::max<uint64_t>(m_plain.blockCount, m_volume.VolumeBytes() / m_plain.blockBytes);
  m_hasGeometry = true;
  return true;
}

bool CProfessionalExt4Recovery::WantsSector(uint64_t absoluteSector) const {
  if (!m_hasGeometry || absoluteSector < m_volume.StartUnit()) return false;
  const uint64_t relative = absoluteSector - m_volume.StartUnit();
  return relative % m_blockSectors == 0 && relative / m_blockSectors < m_plain.blockCount;
}

bool CProfessionalExt4Recovery::HandleExt4Block(const uint8_t* bytes, size_t length, uint64_t absoluteSector) {
  if (!WantsSector(absoluteSector) || length < m_plain.blockBytes || m_blocks.size() >= kMaxBlocks) return false;
  const ByteView view(bytes, m_plain.blockBytes);
  const uint64_t block = (absoluteSector - m_volume.StartUnit()) / m_blockSectors;
  // Cheap first: a directory block's first record is 4-aligned, at most the block, with a name it holds.
  const uint16_t first = view.U16(4);
  DirectoryBlock parsed;
  if (first < 12 || first % 4 != 0 || first > m_plain.blockBytes || view.U8(6) == 0 ||
      !ParseDirectoryBlock(view, m_plain, 0, false, &parsed) || parsed.isIndexNode) {
    return m_tables.Add(block, view, m_plain, m_maxBlock);
  }
  KeptBlock kept;
  (void)DirectoryStartOf(view, m_plain, &kept.self, &kept.parent);
  for (DirEntry& e : parsed.entries) {
    if (IsDotName(e.name) || e.inode < m_plain.firstInode) continue;
    kept.entries.push_back(KeptEntry{std::move(e.name), e.inode, e.fileType});
  }
  if (kept.self == 0 && kept.entries.empty()) return false;
  m_blocks[block] = std::move(kept);
  return true;
}

void CProfessionalExt4Recovery::ReadNewTablePlaces() {
  const uint64_t bs = m_plain.blockBytes;
  const uint64_t perGroup = InodeTableBlocks(m_plain);
  uint64_t budget = kMaxNewTableBytes / bs;
  constexpr uint64_t kChunkBlocks = 64;
  std::vector<uint8_t> chunk;
  for (const GroupDescriptor& gd : m_volume.Groups()) {
    if ((gd.flags & gd::kTableZeroed) != 0) continue;  // nothing old is left there
    for (uint64_t done = 0; done < perGroup && budget > 0;) {
      const uint64_t n = std::min({perGroup - done, kChunkBlocks, budget});
      chunk.resize(static_cast<size_t>(n * bs));
      if (m_volume.ReadBlocks(gd.inodeTable + done, static_cast<uint32_t>(n), chunk.data()) != kStatusOk) break;
      for (uint64_t i = 0; i < n; ++i) {
        (void)m_tables.Add(gd.inodeTable + done + i, ByteView(chunk.data() + i * bs, static_cast<size_t>(bs)), m_plain,
                           m_maxBlock);
      }
      done += n;
      budget -= n;
    }
  }
}

uint32_t CProfessionalExt4Recovery::MaxInodes() const {
  // Every inode of the earlier file system had its 128 bytes at least somewhere on the source.
  const uint64_t most = m_maxBlock * m_plain.blockBytes / 128;
  return most > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(most);
}

void CProfessionalExt4Recovery::NumberTables() {
  m_tables.Number(m_plain.blockBytes, [this](const Inode& folder, uint16_t) -> uint32_t {
    uint64_t first = 0;
    if (folder.HasInlineData()) return 0;  // an inline folder keeps no "."
    const ByteView root(folder.block.data(), folder.block.size());
    if (folder.UsesExtents()) {
      ExtentNode node;
      if (!ParseExtentNode(root, m_plain, false, 0, &node) || node.depth != 0 || node.entries.empty() ||
          node.entries[0].logical != 0) {
        return 0;
      }
      first = node.entries[0].block;
    } else {
      first = root.U32(0);
    }
    const auto it = m_blocks.find(first);
    return it != m_blocks.end() ? it->second.self : 0;
  }, m_volume.Sb().checksumSeed, MaxInodes());
}

bool CProfessionalExt4Recovery::OldInode(uint32_t number, InodeCopy* out, uint16_t* inodeBytes) {
  FoundInodeTables::Copy found;
  if (m_tables.Find(number, &found)) {
    out->inode = *found.inode;
    out->volumeByte = found.block * m_plain.blockBytes + uint64_t{found.slot} * found.inodeBytes;
    *inodeBytes = found.inodeBytes;
    return true;
  }
  // Where the new geometry puts it, unless a table block found there held another inode.
  if (number == 0 || m_plain.inodesPerGroup == 0 || m_plain.inodeBytes == 0) return false;
  const uint64_t group = (number - 1) / m_plain.inodesPerGroup;
  if (group >= m_volume.Groups().size()) return false;
  const uint64_t byte = uint64_t{(number - 1) % m_plain.inodesPerGroup} * m_plain.inodeBytes;
  const uint64_t block = m_volume.Groups()[group].inodeTable + byte / m_plain.blockBytes;
  const auto slot = static_cast<uint16_t>(byte % m_plain.blockBytes / m_plain.inodeBytes);
  if (m_tables.Contradicts(block, slot, m_plain.inodeBytes, number)) return false;
  *inodeBytes = m_plain.inodeBytes;
  return m_volume.ReadInode(number, out) == kStatusOk;
}

ItemState CProfessionalExt4Recovery::CheckedState(const ItemData& data, const std::string& name) {
  if (data.kind != ItemData::Kind::kRuns) return ItemState::kIntact;  // inline: the inode holds the bytes
  const uint64_t bs = m_plain.blockBytes;
  // The file's bytes as the volume holds them, in file order (holes and unwritten runs are not proven).
  std::vector<ByteRun> runs;
  uint64_t next = 0;
  for (const BlockRun& r : data.runs) {
    if (r.physical == 0 || r.unwritten || r.logical != next) return ItemState::kDamaged;
    next = r.logical + r.count;
    runs.push_back(ByteRun{r.physical * bs, r.count * bs});
  }
  const signatures::ByteReader read = [this](uint64_t offset, void* out, size_t n) -> Status {
    return m_volume.ReadBytes(offset, static_cast<uint8_t*>(out), n);
  };
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  const auto verdict = signatures::CheckLaidOutStructure(read, runs, data.size, static_cast<uint32_t>(bs), extension);
  if (verdict == signatures::StructureVerdict::kConsistent) return ItemState::kIntact;
  if (verdict == signatures::StructureVerdict::kBroken || data.size > kMaxTextChecked) return ItemState::kDamaged;
  // No structure tells: text through to its end proves it.
  signatures::TextWalk walk;
  std::vector<uint8_t> bytes;
  uint64_t left = data.size;
  for (const ByteRun& r : runs) {
    const uint64_t n = std::min(left, r.length);
    if (n == 0) break;
    bytes.resize(static_cast<size_t>(n));
    if (m_volume.ReadBytes(r.offset, bytes.data(), bytes.size()) != kStatusOk) return ItemState::kDamaged;
    if (left == data.size && !signatures::IsTextStartByte(bytes[0])) return ItemState::kDamaged;
    if (!walk.Feed(bytes.data(), bytes.size())) return ItemState::kDamaged;
    left -= n;
  }
  return left == 0 && walk.End() == data.size ? ItemState::kIntact : ItemState::kDamaged;
}

// The state of FinishExt4Scan: the folders found and what they hold.
struct CProfessionalExt4Recovery::Finish {
  struct Folder {
    uint32_t parent = 0;  // locator of the parent folder
    uint32_t depth = 0;
    std::string name;
    std::vector<KeptEntry> entries;
    std::unordered_set<uint64_t> seen;  // entries taken, by name and inode
    InodeCopy copy;
    bool haveCopy = false;
  };
  std::map<uint32_t, Folder> folders;  // by locator (inode number; lost blocks above kLostLocator)
};

Status CProfessionalExt4Recovery::FinishExt4Scan() {
  store::ScanStore* st = m_browser.Store();
  if (st == nullptr || !st->IsOpen()) return platform::kErrorInvalidHandle;
  if (!m_hasGeometry || m_blocks.empty()) return st->FlushStore();
  ReadNewTablePlaces();
  NumberTables();
  m_oldSeedKnown = m_tables.SeedKnown();
  m_oldSeed = m_tables.Seed();
  Finish f;
  const FetchBlock plainFetch = [this](uint64_t block, const AcceptBlock& accept, std::vector<uint8_t>* out) {
    out->resize(m_plain.blockBytes);
    return m_volume.ReadBlocks(block, 1, out->data()) == kStatusOk && accept(ByteView(out->data(), out->size()));
  };
  auto add = [](Finish::Folder& folder, const KeptBlock& block) {
    for (const KeptEntry& e : block.entries) {
      const uint64_t key = std::hash<std::string>{}(e.name) * 0x9E3779B97F4A7C15ull ^ e.inode;
      if (folder.seen.insert(key).second) folder.entries.push_back(e);
    }
  };
  // Folders: every directory start found; later blocks through the inode's map.
  std::unordered_set<uint64_t> claimed;
  for (auto& [block, kept] : m_blocks) {
    if (kept.self == 0) continue;
    Finish::Folder& folder = f.folders[kept.self];
    folder.parent = kept.parent;
    add(folder, kept);
    claimed.insert(block);
  }
  for (auto& [number, folder] : f.folders) {
    InodeCopy copy;
    uint16_t inodeBytes = 0;
    if (!OldInode(number, &copy, &inodeBytes) || !copy.inode.IsDirectory()) continue;
    folder.copy = copy;
    folder.haveCopy = true;
    std::vector<BlockRun> runs;
    if (MapInode(copy.inode, number, m_plain, plainFetch, kMaxFileRuns, &runs) != kStatusOk) continue;
    for (const BlockRun& r : runs) {
      for (uint64_t b = r.physical; b < r.physical + r.count; ++b) {
        const auto it = m_blocks.find(b);
        if (it == m_blocks.end() || it->second.self != 0 || !claimed.insert(b).second) continue;
        add(folder, it->second);
      }
    }
  }
  // Blocks no folder claims: a lost folder each.
  uint32_t lost = kLostLocator;
  for (auto& [block, kept] : m_blocks) {
    if (claimed.count(block) != 0) continue;
    Finish::Folder& folder = f.folders[lost++];
    folder.parent = inode::kRootInode;
    folder.name = "LostFolder_block" + std::to_string(block);
    add(folder, kept);
  }
  // Names from the entries that name each folder, parents that exist, depths without loops.
  std::unordered_map<uint32_t, std::string> names;
  for (auto& [number, folder] : f.folders) {
    for (const KeptEntry& e : folder.entries) {
      if (e.inode != number && f.folders.count(e.inode) != 0) {
        auto [it, added] = names.emplace(e.inode, e.name);
        if (!added && f.folders[e.inode].parent == number) it->second = e.name;  // its own parent's name wins
      }
    }
  }
  for (auto& [number, folder] : f.folders) {
    if (number == inode::kRootInode) continue;
    if (folder.name.empty()) {
      const auto n = names.find(number);
      folder.name = n != names.end() ? n->second : "LostFolder" + std::to_string(number);
    }
    if (folder.parent != inode::kRootInode && f.folders.count(folder.parent) == 0) folder.parent = inode::kRootInode;
  }
  for (auto& [number, folder] : f.folders) {
    if (number == inode::kRootInode) continue;
    std::unordered_set<uint32_t> path{number};
    uint32_t depth = 1;
    for (uint32_t p = folder.parent; p != inode::kRootInode; p = f.folders[p].parent, ++depth) {
      if (!path.insert(p).second) {  // a ".." loop: the folder goes under the root
        folder.parent = inode::kRootInode;
        depth = 1;
        break;
      }
    }
    folder.depth = depth;
  }
  // Records: folders breadth-first (by depth), then their files.
  std::vector<uint32_t> order;
  for (const auto& [number, folder] : f.folders) {
    if (number != inode::kRootInode) order.push_back(number);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return f.folders[a].depth < f.folders[b].depth; });
  const uint32_t unit = m_volume.UnitBytes();
  auto base = [&](const InodeCopy* copy, uint32_t number, const std::string& name) {
    ItemRecord r = ZeroRecord();
    r.driveLetter = m_driveLetter;
    r.sourceKind = static_cast<int32_t>(SourceKind::kProfessionalExt4);
    r.isDeleted = 1;
    r.locator = static_cast<int32_t>(number);
    r.clusterBytes = static_cast<int32_t>(m_plain.blockBytes);
    r.volumeStartSector = m_volume.StartUnit();
    if (copy != nullptr) {
      const Inode& n = copy->inode;
      r.created = n.hasCrtime ? FileTimeOf(n.crtime, n.crtimeNs) : FileTimeOf(n.ctime, 0);
      r.accessed = FileTimeOf(n.atime, n.atimeNs);
      r.modified = FileTimeOf(n.mtime, n.mtimeNs);
      r.entrySector = m_volume.StartUnit() + copy->volumeByte / unit;
    }
    SetItemName(r, name);
    SetState(r, ItemState::kIntact);
    return r;
  };
  auto append = [&](ItemRecord& r) {
    ItemRecord* slot = st->AppendRecord();
    if (slot == nullptr) return false;
    r.id = st->RecordCount();
    *slot = r;
    return true;
  };
  for (const uint32_t number : order) {
    const Finish::Folder& folder = f.folders[number];
    ItemRecord r = base(folder.haveCopy ? &folder.copy : nullptr, number < kLostLocator ? number : 0, folder.name);
    r.isFolder = 1;
    r.locator = static_cast<int32_t>(number);
    if (!append(r)) return kStatusOutOfMemory;
    const uint32_t parentDepth = folder.parent == inode::kRootInode ? 0 : f.folders[folder.parent].depth;
    st->AddChild(folder.parent, parentDepth, r.id, static_cast<int32_t>(number), folder.name.c_str());
  }
  order.insert(order.begin(), inode::kRootInode);
  for (const uint32_t number : order) {
    const auto it = f.folders.find(number);
    if (it == f.folders.end()) continue;
    const Finish::Folder& folder = it->second;
    const uint32_t depth = number == inode::kRootInode ? 0 : folder.depth;
    for (const KeptEntry& e : folder.entries) {
      if (e.fileType == dirent::kTypeDirectory || f.folders.count(e.inode) != 0) continue;
      if (e.fileType != 0 && e.fileType != dirent::kTypeRegular) continue;
      InodeCopy copy;
      uint16_t inodeBytes = 0;
      const bool readable = OldInode(e.inode, &copy, &inodeBytes);
      if (readable && e.fileType == 0 && !copy.inode.IsRegular()) continue;
      ItemData data;
      ItemState state = ItemState::kDamaged;
      const bool usable = readable && copy.inode.IsRegular() && copy.inode.links != 0;
      if (usable) {
        data.size = copy.inode.size;
        if (copy.inode.HasInlineData()) {
          if (inodeBytes == m_plain.inodeBytes) {  // read again at the copy with the volume's inode size
            data.kind = ItemData::Kind::kInline;
            data.inodeByte = copy.volumeByte;
            state = ItemState::kIntact;
          }
        } else if (copy.inode.size == 0) {
          state = ItemState::kIntact;
        } else if (MapInode(copy.inode, e.inode, m_plain, plainFetch, kMaxFileRuns, &data.runs) == kStatusOk &&
                   !data.runs.empty()) {
          data.kind = ItemData::Kind::kRuns;
          state = HeldByLiveFiles(data) ? ItemState::kOverwritten : CheckedState(data, e.name);
        }
      }
      ItemRecord r = base(usable ? &copy : nullptr, e.inode, e.name);
      r.size = data.size;
      r.dataStartSector = data.FirstBlock() * m_plain.blockBytes / unit;
      SetState(r, state);
      if (!append(r)) return kStatusOutOfMemory;
      st->AddChild(number, depth, r.id, static_cast<int32_t>(e.inode), nullptr);
      if (data.kind != ItemData::Kind::kNone) st->SetLayout(r.id, data.Encode());
    }
  }
  // Linked file inodes found in the old tables that no entry names: "LostFiles/inode<N>".
  std::unordered_set<uint32_t> named;
  for (const auto& [number, folder] : f.folders) {
    named.insert(number);
    for (const KeptEntry& e : folder.entries) named.insert(e.inode);
  }
  bool lostFolder = false;
  Status failed = kStatusOk;
  m_tables.ForEachNumbered([&](uint32_t number, const FoundInodeTables::Copy& found) {
    const Inode& n = *found.inode;
    if (failed != kStatusOk || number < m_plain.firstInode || !n.IsRegular() || named.count(number) != 0) return;
    if (n.HasInlineData() || n.size == 0) return;  // nothing of its own to give back
    ItemData data;
    data.size = n.size;
    if (MapInode(n, number, m_plain, plainFetch, kMaxFileRuns, &data.runs) != kStatusOk || data.runs.empty()) return;
    data.kind = ItemData::Kind::kRuns;
    if (!lostFolder) {
      ItemRecord folder = base(nullptr, 0, "LostFiles");
      folder.isFolder = 1;
      folder.locator = static_cast<int32_t>(kLostFilesLocator);
      if (!append(folder)) {
        failed = kStatusOutOfMemory;
        return;
      }
      st->AddChild(inode::kRootInode, 0, folder.id, static_cast<int32_t>(kLostFilesLocator), "LostFiles");
      lostFolder = true;
    }
    InodeCopy copy;
    copy.inode = n;
    copy.volumeByte = found.block * m_plain.blockBytes + uint64_t{found.slot} * found.inodeBytes;
    const std::string name = "inode" + std::to_string(number);
    ItemRecord r = base(&copy, number, name);
    r.size = data.size;
    r.dataStartSector = data.FirstBlock() * m_plain.blockBytes / unit;
    SetState(r, HeldByLiveFiles(data) ? ItemState::kOverwritten : CheckedState(data, name));
    if (!append(r)) {
      failed = kStatusOutOfMemory;
      return;
    }
    st->AddChild(kLostFilesLocator, 1, r.id, static_cast<int32_t>(number), nullptr);
    st->SetLayout(r.id, data.Encode());
  });
  if (failed != kStatusOk) return failed;
  m_blocks.clear();
  m_tables = FoundInodeTables();
  return st->FlushStore();
}

bool CProfessionalExt4Recovery::HeldByLiveFiles(const ItemData& data) const {
  if (m_live == nullptr || !m_live->IsKnown()) return false;
  const uint64_t blockBytes = m_plain.blockBytes;
  const uint64_t volumeByte = m_volume.StartUnit() * m_volume.UnitBytes();
  std::vector<ByteRun> runs;
  runs.reserve(data.runs.size());
  for (const BlockRun& run : data.runs) {
    if (run.physical == 0) continue;  // a hole: nothing of the volume
    uint64_t at = 0, bytes = 0;
    if (__builtin_mul_overflow(run.physical, blockBytes, &at) || __builtin_add_overflow(at, volumeByte, &at) ||
        __builtin_mul_overflow(run.count, blockBytes, &bytes)) {
      continue;  // the map reader keeps runs inside the volume
    }
    runs.push_back(ByteRun{at, bytes});
  }
  return m_live->HoldsAny(runs);
}

Status CProfessionalExt4Recovery::ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) {
  return m_browser.ListChildren(folder, depth, out);
}

Status CProfessionalExt4Recovery::CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) {
  return m_browser.CountFiles(folder, depth, outCount);
}

uint64_t CProfessionalExt4Recovery::GetItemCount() {
  return m_browser.GetItemCount();
}

Status CProfessionalExt4Recovery::GetItemPath(const ItemRecord* item, std::string& out) {
  return m_browser.GetItemPath(item, out);
}

Status CProfessionalExt4Recovery::SetSearchCallback(SearchProgressFn fn, void* userData) {
  return m_browser.SetSearchCallback(fn, userData);
}

int32_t CProfessionalExt4Recovery::Search(const std::string& pattern, std::vector<ItemRecord>& out) {
  return m_browser.Search(pattern, out);
}

int32_t CProfessionalExt4Recovery::GetNextFreeExtent(uint64_t*, uint64_t*) {
  return 0;
}

Status CProfessionalExt4Recovery::BuildAllocationMap() {
  return kStatusOk;
}

Status CProfessionalExt4Recovery::CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                               const CopyProgress& progress) {
  const store::ScanStore* st = m_browser.Store();
  const std::vector<store::DataExtent>* extents = st != nullptr ? st->Layout(item.id) : nullptr;
  ItemData data;
  if (extents == nullptr || !ItemData::Decode(*extents, &data)) {
    return byteCount == 0 ? kStatusOk : kStatusInvalidParameter;
  }
  if (!m_hasGeometry) return kStatusInvalidParameter;
  // A re-made volume's seed differs: inline data is read without its checksum.
  if (data.kind == ItemData::Kind::kInline) {
    std::vector<uint8_t> bytes(m_plain.inodeBytes);
    if (Status s = m_volume.ReadBytes(data.inodeByte, bytes.data(), bytes.size()); s != kStatusOk) return s;
    Inode node;
    if (!ParseInode(ByteView(bytes.data(), bytes.size()), m_plain, static_cast<uint32_t>(item.locator), &node)) {
      return kStatusInvalidParameter;
    }
    std::vector<uint8_t> inlineBytes = node.InlineData();
    if (inlineBytes.size() < byteCount) return kStatusInvalidParameter;
    if (Status s = sink.Write(inlineBytes.data(), static_cast<size_t>(byteCount)); s != kStatusOk) return s;
    return progress ? progress(byteCount, byteCount) : kStatusOk;
  }
  return CopyItemBytes(m_volume, data, static_cast<uint32_t>(item.locator), byteCount, sink, progress);
}

Status CProfessionalExt4Recovery::ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) {
  return ListChildren(&folder, depth, out);
}

Status CProfessionalExt4Recovery::RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                              int32_t rootSeparatorCount) {
  return RecoverItemTo(*this, item, destinationPath, rootSeparatorCount, m_copyFn, m_userData);
}

Status CProfessionalExt4Recovery::ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                              uint32_t* inoutLength, ExtractProgressFn fn, void* userData) {
  return ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
}

}  // namespace engine::ext4
