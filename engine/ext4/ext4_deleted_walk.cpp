// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ext4/ext4_deleted_walk.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <unordered_set>
#include <utility>

#include "engine/ext4/ext4_contiguous_guess.h"
#include "engine/store/layout_table.h"
#include "platform/file_time.h"

namespace engine::ext4 {
namespace {

// Blocks of one directory read at most (a directory this large is damaged).
constexpr uint64_t kMaxDirectoryBlocks = 1u << 20;
constexpr size_t kMaxFileRuns = store::LayoutTable::kMaxExtents - 2;
// Blocks of a directory read at once.
constexpr uint64_t kDirectoryBlocksAtOnce = 64;
// Files guessed between two calls of the hook (progress, stop).
constexpr size_t kGuessesBetweenHooks = 256;

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// A name and inode as one value (a 64-bit hash: equal entries, equal keys).
uint64_t EntryKey(const std::string& name, uint32_t inode) {
  return std::hash<std::string_view>{}(name) * 0x9E3779B97F4A7C15ull ^ inode;
}

uint16_t TypeOfEntry(uint8_t fileType) {
  switch (fileType) {
    case dirent::kTypeRegular: return inode::kTypeRegular;
    case dirent::kTypeDirectory: return inode::kTypeDirectory;
    case dirent::kTypeSymlink: return inode::kTypeSymlink;
    case 0: return 0;
    default: return 0xFFFF;  // devices, pipes, sockets: nothing to recover
  }
}

uint64_t FileTimeOf(int64_t seconds, uint32_t ns) {
  return seconds == 0 && ns == 0 ? 0 : platform::UnixToFileTime(seconds, ns);
}

}  // namespace

Ext4DeletedWalk::Ext4DeletedWalk(Ext4Volume& volume, store::ScanStore& store, uint16_t driveLetter,
                                 int32_t sourceKind)
    : m_volume(volume), m_store(store), m_driveLetter(driveLetter), m_sourceKind(sourceKind) {}

Status Ext4DeletedWalk::WalkAll(const AfterDirectory& afterEach) {
  Folder root;
  root.inode = inode::kRootInode;
  root.locator = inode::kRootInode;
  if (Status s = m_volume.ReadInode(root.inode, &root.copy); s != kStatusOk) return s;
  if (!root.copy.inode.IsDirectory()) return kStatusInvalidParameter;
  root.encrypted = root.copy.inode.IsEncrypted();
  m_usedLocators.insert(root.locator);
  m_walkedInodes.insert(root.inode);
  m_folders.emplace(root.locator, std::move(root));
  m_queue.push_back(inode::kRootInode);
  while (!m_queue.empty() && !m_storeFull) {
    const uint32_t locator = m_queue.front();
    m_queue.pop_front();
    if (Status s = WalkFolder(m_folders[locator]); s != kStatusOk) return s;
    if (afterEach) {
      if (const int32_t answer = afterEach(); answer != 0) return answer;
    }
  }
  return m_storeFull ? kStatusOutOfMemory : kStatusOk;
}

Status Ext4DeletedWalk::WalkFolder(Folder& folder) {
  std::vector<Entry>& live = m_live;  // reused from folder to folder (they keep their room)
  std::vector<Entry>& older = m_older;
  live.clear();
  older.clear();
  if (Status s = CollectEntries(folder, &live, &older); s != kStatusOk) return s;
  KeyTable& seen = m_seen;  // the live entries' keys
  seen.Reset(live.size());
  const uint32_t parentLocator = folder.locator;
  for (const Entry& e : live) {
    seen.Insert(e.key, 0);
    uint16_t type = TypeOfEntry(e.fileType);
    if (type == 0 || type == inode::kTypeDirectory) {
      if (m_walkedInodes.count(e.inode) != 0) continue;
      InodeCopy copy;
      if (m_volume.ReadInode(e.inode, &copy) != kStatusOk || !copy.inode.IsDirectory() || !copy.inode.LooksLive()) {
        if (type == inode::kTypeDirectory) ++m_unreadable;
        continue;
      }
      Folder child;
      child.inode = e.inode;
      child.locator = e.inode;
      child.depth = folder.depth + 1;
      child.parentLocator = parentLocator;
      child.name = e.name;
      child.encrypted = copy.inode.IsEncrypted();
      child.copy = std::move(copy);
      m_walkedInodes.insert(e.inode);
      m_usedLocators.insert(e.inode);
      m_queue.push_back(child.locator);
      m_folders[child.locator] = std::move(child);
    }
  }
  // One entry per name and inode; of several versions the least bounded one.
  std::vector<Entry>& deleted = m_deleted;
  deleted.clear();
  KeyTable& at = m_deletedAt;  // key -> index in deleted
  at.Reset(older.size());
  const JournalIndex& journal = m_volume.Journal();
  for (Entry& e : older) {
    if (seen.Contains(e.key)) continue;
    const auto [index, added] = at.Insert(e.key, static_cast<uint32_t>(deleted.size()));
    if (added) {
      deleted.push_back(std::move(e));
      continue;
    }
    Entry& kept = deleted[*index];
    if (!e.bounded) kept.bounded = false;
    else if (kept.bounded && journal.Newer(e.before, kept.before)) kept.before = e.before;
  }
  const Folder parent = m_folders[parentLocator];  // a copy: HandleDeleted adds folders
  for (size_t i = 0; i < deleted.size(); ++i) {
    if (i + 1 < deleted.size()) m_volume.PrefetchInode(deleted[i + 1].inode);  // read while this one is handled
    if (Status s = HandleDeleted(parent, deleted[i]); s != kStatusOk) return s;
    if (m_storeFull) return kStatusOutOfMemory;
  }
  return kStatusOk;
}

Status Ext4DeletedWalk::CollectEntries(const Folder& folder, std::vector<Entry>* live, std::vector<Entry>* older) {
  const Inode& node = folder.copy.inode;
  const bool isLive = !folder.deleted;
  if (node.HasInlineData()) {
    TakeInline(folder, node, isLive ? live : older);
    if (isLive) {
      for (const InodeCopy& c : m_volume.JournalInodeCopies(folder.inode)) {
        if (c.inode.generation == node.generation && c.inode.HasInlineData()) TakeInline(folder, c.inode, older);
      }
    }
    return kStatusOk;
  }
  std::vector<BlockRun> runs;
  const FetchBlock fetch = isLive ? m_volume.CurrentFetcher() : m_volume.HistoryFetcher();
  if (MapInode(node, folder.inode, m_volume.Sb(), fetch, kMaxFileRuns, &runs) != kStatusOk) {
    ++m_unreadable;
    return kStatusOk;
  }
  // The blocks as they are now, read a piece of a run at a time (one by
  // one where a piece cannot be read whole).
  const size_t bs = m_volume.Sb().blockBytes;
  uint64_t blocks = 0;
  for (const BlockRun& r : runs) {
    for (uint64_t k = 0; k < r.count && blocks < kMaxDirectoryBlocks;) {
      const auto n = static_cast<uint32_t>(std::min({kDirectoryBlocksAtOnce, r.count - k, kMaxDirectoryBlocks - blocks}));
      const bool whole = n > 1 && m_volume.ReadCurrentBlocks(r.physical + k, n, &m_runBytes) == kStatusOk;
      for (uint32_t i = 0; i < n; ++i, ++k, ++blocks) {
        const uint64_t block = r.physical + k;
        if (!isLive) m_deletedDirectoryBlocks.push_back(block);
        const uint8_t* now = whole ? m_runBytes.data() + size_t{i} * bs : nullptr;
        CollectVersions(folder, block, r.logical + k == 0, isLive, now, live, older);
      }
    }
  }
  return kStatusOk;
}

void Ext4DeletedWalk::CollectVersions(const Folder& folder, uint64_t block, bool firstBlock, bool current,
                                      const uint8_t* nowBytes, std::vector<Entry>* live, std::vector<Entry>* older) {
  const Superblock& sb = m_volume.Sb();
  const uint32_t seed = InodeSeed(sb, folder.inode, folder.copy.inode.generation);
  // Version slots are reused from block to block (their vectors keep their room).
  size_t used = 0;
  auto take = [&](ByteView view, bool isCurrent, uint32_t sequence) {
    if (!ParseDirectoryBlock(view, sb, seed, false, &m_parsed) || m_parsed.tail == TailCheck::kFails) return false;
    if (firstBlock) {
      uint32_t self = 0;
      uint32_t parent = 0;
      if (!DirectoryStartOf(view, sb, &self, &parent) || self != folder.inode) return false;
    }
    if (used == m_versions.size()) m_versions.emplace_back();
    Version& v = m_versions[used++];
    v.current = isCurrent;
    v.sequence = sequence;
    v.entries.clear();
    v.live.clear();
    v.keys.clear();
    v.heldReady = false;
    for (DirEntry& e : m_parsed.entries) {
      if (IsDotName(e.name)) continue;
      const uint64_t key = EntryKey(e.name, e.inode);
      v.keys.push_back(key);
      // An older version's entry that is live in the block now is no deleted entry.
      if (!isCurrent && m_liveKeys.Contains(key)) continue;
      v.live.push_back(isCurrent && current && !e.deleted);
      v.entries.push_back(Entry{std::move(e.name), e.inode, e.fileType, false, 0, key});
    }
    return true;
  };
  ByteView now;
  m_liveKeys.Reset(0);
  ByteView read;
  if (nowBytes != nullptr) {
    read = ByteView(nowBytes, sb.blockBytes);
  } else if (m_volume.ReadCurrentBlock(block, &m_block) == kStatusOk) {
    read = ByteView(m_block.data(), m_block.size());
  }
  if (read.data() != nullptr) {
    if (take(read, true, 0)) now = read;
    else if (current) ++m_unreadable;
  } else {
    ++m_unreadable;
  }
  if (used != 0) {
    const Version& v = m_versions[0];
    m_liveKeys.Reset(v.entries.size());
    for (size_t k = 0; k < v.entries.size(); ++k) {
      if (v.live[k]) m_liveKeys.Insert(v.keys[k], 0);
    }
  }
  if (m_volume.HasJournal()) {
    // A journal copy equal to the one before it (the block did not change
    // between the two transactions) holds the same entries: it only moves
    // that version's transaction back to its own, older one.
    ByteView previous;
    bool previousTaken = false;
    int scratch = 0;
    for (const JournalCopy& c : m_volume.Journal().CopiesOf(block)) {
      ByteView view;
      if (m_volume.ViewJournalCopy(c, &m_copyScratch[scratch], &view) != kStatusOk) continue;
      if (previous.size() == view.size() && std::memcmp(previous.data(), view.data(), view.size()) == 0) {
        if (previousTaken) m_versions[used - 1].sequence = c.sequence;
        continue;
      }
      if (now.size() == view.size() && std::memcmp(now.data(), view.data(), view.size()) == 0) {
        // The block as it is now: its entries are the ones now (live, or
        // unbounded), so only what it holds counts (to bound older entries).
        if (used == m_versions.size()) m_versions.emplace_back();
        Version& v = m_versions[used++];
        v.current = false;
        v.sequence = c.sequence;
        v.entries.clear();
        v.live.clear();
        v.keys = m_versions[0].keys;
        v.heldReady = false;
        previousTaken = true;
      } else {
        previousTaken = take(view, false, c.sequence);
      }
      previous = view;
      if (view.data() == m_copyScratch[scratch].data()) scratch ^= 1;  // keep previous's bytes
    }
  }
  // Versions newest first: now, then the journal's copies (already newest first).
  const JournalIndex& journal = m_volume.Journal();
  // What a version holds, built when first asked.
  auto holds = [&](Version& v, uint64_t key) {
    if (!v.heldReady) {
      v.held.Reset(v.keys.size());
      for (const uint64_t k : v.keys) v.held.Insert(k, 0);
      v.heldReady = true;
    }
    return v.held.Contains(key);
  };
  for (size_t i = 0; i < used; ++i) {
    Version& v = m_versions[i];
    for (size_t k = 0; k < v.entries.size(); ++k) {
      Entry& e = v.entries[k];
      if (v.live[k]) {
        live->push_back(std::move(e));
        continue;
      }
      const uint64_t key = e.key;
      // The oldest newer journal version without the entry: its file was gone by then.
      for (size_t j = i; j-- > 0;) {
        Version& newer = m_versions[j];
        if (newer.current || holds(newer, key)) continue;
        if (!e.bounded || journal.Newer(e.before, newer.sequence)) {
          e.bounded = true;
          e.before = newer.sequence;
        }
      }
      older->push_back(std::move(e));
    }
  }
}

void Ext4DeletedWalk::TakeInline(const Folder& folder, const Inode& node, std::vector<Entry>* into) {
  const Superblock& sb = m_volume.Sb();
  auto parse = [&](const uint8_t* bytes, size_t size) {
    DirectoryBlock parsed;
    if (size == 0 || !ParseDirectoryBlock(ByteView(bytes, size), sb, 0, true, &parsed)) return;
    for (DirEntry& e : parsed.entries) {
      if (IsDotName(e.name)) continue;
      const uint64_t key = EntryKey(e.name, e.inode);
      into->push_back(Entry{std::move(e.name), e.inode, e.fileType, false, 0, key});
    }
  };
  (void)folder;
  parse(node.block.data() + 4, node.block.size() - 4);
  parse(node.inlineTail.data(), node.inlineTail.size());
}

std::vector<InodeCopy> Ext4DeletedWalk::CandidateCopies(uint32_t number, uint16_t type, const Entry& entry) {
  const JournalIndex& journal = m_volume.Journal();
  return m_volume.JournalInodeCopies(number, [&](const InodeCopy& c) {
    if (!c.inode.LooksLive()) return false;
    if (type != 0 && c.inode.Type() != type) return false;
    return !entry.bounded || journal.Newer(entry.before, c.sequence);  // else a later file of this inode
  });
}

uint32_t Ext4DeletedWalk::LocatorFor(uint32_t number) {
  uint32_t locator = number;
  if (m_volume.InodeInUse(number) || m_usedLocators.count(number) != 0) locator = m_nextSynthetic++;
  m_usedLocators.insert(locator);
  return locator;
}

Status Ext4DeletedWalk::HandleDeleted(const Folder& parent, const Entry& entry) {
  const Superblock& sb = m_volume.Sb();
  const uint32_t number = entry.inode;
  if (number == 0 || number > sb.inodeCount || number < sb.firstInode || number == parent.inode) return kStatusOk;
  uint16_t type = TypeOfEntry(entry.fileType);
  if (type == 0xFFFF || type == inode::kTypeSymlink) return kStatusOk;
  InodeCopy now;
  const bool readable = m_volume.ReadInode(number, &now) == kStatusOk;
  const bool inUse = readable && m_volume.InodeInUse(number) && now.inode.LooksLive();
  std::vector<InodeCopy> copies = CandidateCopies(number, type, entry);
  if (inUse) {
    // The inode holds a file now: only copies of an earlier file count.
    std::erase_if(copies, [&](const InodeCopy& c) { return c.inode.generation == now.inode.generation; });
    if (copies.empty()) return kStatusOk;  // renamed, moved, or one of several links
  }
  if (type == 0) {
    if (!copies.empty()) type = copies.front().inode.Type();
    else if (readable) type = now.inode.Type();
  }
  std::string name = entry.name;
  if (parent.encrypted) {
    name = "encrypted name, inode " + std::to_string(number);
    ++m_encrypted;
  }
  if (type == inode::kTypeDirectory) {
    if (m_walkedInodes.count(number) != 0 || !m_deletedInodes.insert(number).second) return kStatusOk;
    Folder f;
    f.inode = number;
    f.locator = LocatorFor(number);
    f.depth = parent.depth + 1;
    f.parentLocator = parent.locator;
    f.deleted = true;
    f.name = std::move(name);
    if (!copies.empty()) {
      f.copy = std::move(copies.front());
    } else if (readable) {
      f.copy = now;
      f.copy.inode.size = 0;  // nothing of it can be read: no map, listed empty
      f.copy.inode.flags &= ~inode::kFlagInlineData;
      f.copy.inode.block.fill(0);
    }
    f.encrypted = f.copy.inode.IsEncrypted();
    const uint32_t locator = f.locator;
    m_folders[locator] = std::move(f);
    m_queue.push_back(locator);
    MarkNeeded(locator);
    return kStatusOk;
  }
  if (type != inode::kTypeRegular && type != 0) return kStatusOk;
  // The volume's own inode first: older kernels and ext2 leave the map of a deleted file.
  if (readable && !inUse && now.inode.IsRegular() && now.inode.size != 0) copies.insert(copies.begin(), now);
  const InodeCopy* chosen = nullptr;
  const InodeCopy* overwritten = nullptr;
  ItemData data;
  ItemData overwrittenData;
  for (const InodeCopy& c : copies) {
    ItemData d;
    d.size = c.inode.size;
    if (c.inode.HasInlineData()) {
      d.kind = ItemData::Kind::kInline;
      d.inodeByte = c.volumeByte;
    } else if (c.inode.size != 0) {
      d.treeBlocks.clear();
      if (MapInode(c.inode, number, sb, m_volume.HistoryFetcher(), kMaxFileRuns, &d.runs, &d.treeBlocks) !=
              kStatusOk ||
          d.runs.empty()) {
        continue;
      }
      d.kind = ItemData::Kind::kRuns;
    }
    if (d.kind == ItemData::Kind::kRuns && m_volume.AnyInUse(d.runs)) {
      if (overwritten == nullptr) {
        overwritten = &c;
        overwrittenData = std::move(d);
      }
      continue;
    }
    chosen = &c;
    data = std::move(d);
    break;
  }
  ItemState state = ItemState::kIntact;
  if (chosen == nullptr && overwritten != nullptr) {
    chosen = overwritten;
    data = std::move(overwrittenData);
    state = ItemState::kOverwritten;
  }
  const InodeCopy* shown = chosen;
  if (shown == nullptr) {
    // Listed without data: its name, and the size and times any copy still tells.
    state = ItemState::kDamaged;
    if (!copies.empty()) shown = &copies.front();
    else if (readable) shown = &now;
    else return kStatusOk;
    data = ItemData{};
    data.size = shown->inode.size;
  }
  if (parent.encrypted || shown->inode.IsEncrypted()) state = ItemState::kDamaged;  // ciphertext
  ItemRecord record = BaseRecord(*shown, number, name);
  record.isFolder = 0;
  record.size = data.size;
  const uint64_t unit = m_volume.UnitBytes();
  record.dataStartSector = data.FirstBlock() * sb.blockBytes / unit;
  SetState(record, state);
  if (!Append(record)) return kStatusOutOfMemory;
  const int32_t id = record.id;  // a copy: the record's fields are not aligned
  m_store.AddChild(parent.locator, parent.depth, id, static_cast<int32_t>(number), nullptr);
  if (data.kind == ItemData::Kind::kRuns && state == ItemState::kIntact) {
    for (const BlockRun& r : data.runs) {
      if (!r.unwritten) m_claims.push_back(Claim{r.physical, r.count, id, shown->fromJournal, shown->sequence});
    }
    for (const uint64_t b : data.treeBlocks) m_claims.push_back(Claim{b, 1, id, shown->fromJournal, shown->sequence});
  }
  if (data.kind == ItemData::Kind::kRuns && state != ItemState::kOverwritten) m_found.emplace_back(number, id);
  if (data.kind == ItemData::Kind::kNone && state == ItemState::kDamaged && data.size == 0 && !parent.encrypted &&
      !shown->inode.IsEncrypted() && (type == inode::kTypeRegular || type == 0)) {
    const size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    m_unmapped.push_back(Unmapped{id, number, std::move(extension)});
  }
  if (data.kind != ItemData::Kind::kNone) m_layouts[id] = std::move(data);
  ++m_filesRecorded;
  MarkNeeded(parent.locator);
  return kStatusOk;
}

ItemRecord Ext4DeletedWalk::BaseRecord(const InodeCopy& copy, uint32_t number, const std::string& name) const {
  ItemRecord r = ZeroRecord();
  const Inode& n = copy.inode;
  r.driveLetter = m_driveLetter;
  r.sourceKind = m_sourceKind;
  r.isDeleted = 1;
  r.locator = static_cast<int32_t>(number);
  r.clusterBytes = static_cast<int32_t>(m_volume.Sb().blockBytes);
  r.created = n.hasCrtime ? FileTimeOf(n.crtime, n.crtimeNs) : FileTimeOf(n.ctime, 0);
  r.accessed = FileTimeOf(n.atime, n.atimeNs);
  r.modified = FileTimeOf(n.mtime, n.mtimeNs);
  r.volumeStartSector = m_volume.StartUnit();
  r.entrySector = m_volume.StartUnit() + copy.volumeByte / m_volume.UnitBytes();
  SetItemName(r, name);
  return r;
}

void Ext4DeletedWalk::MarkNeeded(uint32_t locator) {
  while (locator != inode::kRootInode && m_neededSet.insert(locator).second) {
    m_needed.push_back(locator);
    const auto it = m_folders.find(locator);
    if (it == m_folders.end()) return;
    locator = it->second.parentLocator;
  }
}

bool Ext4DeletedWalk::Append(ItemRecord& record) {
  ItemRecord* slot = m_store.AppendRecord();
  if (slot == nullptr) {
    m_storeFull = true;
    return false;
  }
  record.id = m_store.RecordCount();
  *slot = record;
  return true;
}

Status Ext4DeletedWalk::GuessUnmapped(const AfterDirectory& every) {
  if (m_unmapped.empty() || !m_volume.BitmapsLoaded()) return kStatusOk;
  std::sort(m_unmapped.begin(), m_unmapped.end(),
            [](const Unmapped& a, const Unmapped& b) { return a.inode < b.inode; });
  // Blocks found files hold (theirs now), as sorted runs, and the runs guessed here.
  std::vector<std::pair<uint64_t, uint64_t>> taken;
  for (const Claim& c : m_claims) taken.emplace_back(c.first, c.first + c.count);
  // Sorted and merged: disjoint [first, end) runs.
  auto merge = [](std::vector<std::pair<uint64_t, uint64_t>>& runs) {
    std::sort(runs.begin(), runs.end());
    size_t out = 0;
    for (const auto& r : runs) {
      if (out != 0 && r.first <= runs[out - 1].second) runs[out - 1].second = std::max(runs[out - 1].second, r.second);
      else runs[out++] = r;
    }
    runs.resize(out);
  };
  merge(taken);
  auto within = [](const std::vector<std::pair<uint64_t, uint64_t>>& runs, uint64_t block) {
    const auto it = std::upper_bound(runs.begin(), runs.end(), std::make_pair(block, UINT64_MAX));
    return it != runs.begin() && block < (it - 1)->second;
  };
  // The layout of each inode found with data (the last record of it), by record id.
  std::unordered_map<uint32_t, int32_t> found;
  for (const auto& [number, id] : m_found) found[number] = id;
  std::map<uint64_t, uint64_t> guessed;  // first block -> end, of the runs guessed here
  std::unordered_map<uint32_t, std::vector<BlockRun>> liveRuns;
  std::unordered_set<uint32_t> unknownLive;
  const Superblock& sb = m_volume.Sb();
  ContiguousGuess guess(
      m_volume,
      [&](uint32_t number) -> const std::vector<BlockRun>* {
        if (const auto it = found.find(number); it != found.end()) return &m_layouts.at(it->second).runs;
        if (const auto it = liveRuns.find(number); it != liveRuns.end()) return &it->second;
        if (unknownLive.count(number) != 0 || !m_volume.InodeInUse(number)) return nullptr;
        InodeCopy now;
        std::vector<BlockRun> runs;
        // Only files and folders are mapped: a short symlink keeps its target
        // where a map would be; the rest hold no data blocks of their own here
        // (blocks in use now are never in a guessed run anyway).
        const bool mapped = m_volume.ReadInode(number, &now) == kStatusOk && now.inode.LooksLive();
        if (!mapped || ((now.inode.IsRegular() || now.inode.IsDirectory()) && !now.inode.HasInlineData() &&
                        MapInode(now.inode, number, sb, m_volume.CurrentFetcher(), kMaxFileRuns, &runs) != kStatusOk)) {
          unknownLive.insert(number);
          return nullptr;
        }
        return &liveRuns.emplace(number, std::move(runs)).first->second;
      },
      [&](uint64_t block) {
        if (within(taken, block)) return true;
        const auto it = guessed.upper_bound(block);
        return it != guessed.begin() && block < std::prev(it)->second;
      });
  const uint64_t unit = m_volume.UnitBytes();
  size_t done = 0;
  for (const Unmapped& u : m_unmapped) {
    if (every && ++done % kGuessesBetweenHooks == 0) {
      if (const int32_t answer = every(); answer != 0) return answer;
    }
    ItemData data;
    bool proven = false;
    if (!guess.Guess(u.inode, u.extension, &data, &proven)) continue;
    ItemRecord record;
    if (Status s = m_store.ReadRecord(u.id, &record); s != kStatusOk) return s;
    record.size = data.size;
    record.dataStartSector = data.FirstBlock() * sb.blockBytes / unit;
    SetState(record, proven ? ItemState::kIntact : ItemState::kDamaged);
    if (Status s = m_store.UpdateRecord(record); s != kStatusOk) return s;
    const BlockRun& run = data.runs.front();
    guessed.emplace(run.physical, run.physical + run.count);  // disjoint from the rest: its blocks were usable
    m_layouts[u.id] = std::move(data);
    found[u.inode] = u.id;
  }
  return kStatusOk;
}

Status Ext4DeletedWalk::SettleSharedBlocks() {
  std::sort(m_claims.begin(), m_claims.end(), [](const Claim& a, const Claim& b) { return a.first < b.first; });
  const JournalIndex& journal = m_volume.Journal();
  // The volume's own inode is newer than any journal copy.
  auto older = [&](const Claim& a, const Claim& b) {
    if (a.fromJournal != b.fromJournal) return a.fromJournal;
    return a.fromJournal && journal.Newer(b.sequence, a.sequence);
  };
  std::set<int32_t> lost;
  size_t open = 0;  // the claim reaching furthest among those before
  for (size_t i = 1; i < m_claims.size(); ++i) {
    const Claim& a = m_claims[open];
    const Claim& b = m_claims[i];
    if (b.first < a.first + a.count && a.id != b.id) lost.insert(older(a, b) ? a.id : b.id);
    if (b.first + b.count > a.first + a.count) open = i;
  }
  for (const int32_t id : lost) {
    ItemRecord record;
    if (Status s = m_store.ReadRecord(id, &record); s != kStatusOk) return s;
    SetState(record, ItemState::kOverwritten);
    if (Status s = m_store.UpdateRecord(record); s != kStatusOk) return s;
  }
  return kStatusOk;
}

Status Ext4DeletedWalk::AppendNeededFolders() {
  for (const uint32_t locator : m_needed) {
    const auto it = m_folders.find(locator);
    if (it == m_folders.end()) continue;
    const Folder& f = it->second;
    ItemRecord record = BaseRecord(f.copy, f.inode, f.name);
    record.isFolder = 1;
    record.isDeleted = f.deleted ? 1 : 0;
    record.locator = static_cast<int32_t>(f.locator);
    SetState(record, ItemState::kIntact);
    if (!Append(record)) return kStatusOutOfMemory;
    m_store.AddChild(f.parentLocator, f.depth - 1, record.id, static_cast<int32_t>(f.locator), f.name.c_str());
  }
  return kStatusOk;
}

}  // namespace engine::ext4
