// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/scan_index.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/byte_view.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/utf.h"
#include "storage/disk_queries.h"

namespace engine::store {
namespace {

// "config": an 8-byte counter, then 1120-byte entries.
//   0 disk number (int32)      4 unused              8 volume start sector
//  16 volume sector count     24 resume extent start  32 resume extent length
//  40 resume extent done      48 resume sectors done  56 resume files found
//  64 free bytes (partitions) 72 image last write (FILETIME)
//  80 image path (UTF-16, 520 bytes)                 600 scan folder (UTF-16, 520 bytes)
constexpr size_t kCounterBytes = 8;
constexpr size_t kEntryBytes = 1120;
constexpr size_t kOffDiskNumber = 0;
constexpr size_t kOffStartSector = 8;
constexpr size_t kOffSectorCount = 16;
constexpr size_t kOffExtentStart = 24;
constexpr size_t kOffExtentLength = 32;
constexpr size_t kOffExtentDone = 40;
constexpr size_t kOffSectorsDone = 48;
constexpr size_t kOffFilesFound = 56;
constexpr size_t kOffFingerprint = 64;  // of the volume (free bytes in older indexes)
constexpr size_t kOffImageTime = 72;
constexpr size_t kOffImagePath = 80;
constexpr size_t kOffScanFolder = 600;
constexpr size_t kPathFieldBytes = 520;
constexpr size_t kPathFieldUnits = kPathFieldBytes / 2;  // terminator included
static_assert(kOffScanFolder + kPathFieldBytes == kEntryBytes);
static_assert(kOffImagePath + kPathFieldBytes == kOffScanFolder);
// A damaged "config" is read only this far (about 60,000 entries).
constexpr uint64_t kMaxConfigBytes = 64u << 20;

const char kConfigName[] = "config";
const char kConfigTempName[] = "config.tmp";
const char kIndexLockName[] = ".lock";
const char kInUseName[] = ".inuse";
// A partition's device key is kept in the path field behind this mark.
const char kDeviceKeyMark[] = "dev:";

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool PathFits(const std::string& path) {
  return platform::Utf8ToUtf16(path).size() < kPathFieldUnits;
}

void PutPath(uint8_t* field, const std::string& path) {
  std::memset(field, 0, kPathFieldBytes);
  std::u16string units = platform::Utf8ToUtf16(path);
  for (size_t i = 0; i < units.size() && i + 1 < kPathFieldUnits; ++i) {
    field[2 * i] = static_cast<uint8_t>(units[i]);
    field[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
}

ScanIndexEntry ParseEntry(ByteView v) {
  ScanIndexEntry e;
  e.diskNumber = static_cast<int32_t>(v.U32(kOffDiskNumber));
  e.startSector = v.U64(kOffStartSector);
  e.sectorCount = v.U64(kOffSectorCount);
  e.resumeExtentStart = v.U64(kOffExtentStart);
  e.resumeExtentLength = v.U64(kOffExtentLength);
  e.resumeExtentDone = v.U64(kOffExtentDone);
  e.resumeSectorsDone = v.U64(kOffSectorsDone);
  e.resumeFilesFound = v.U64(kOffFilesFound);
  e.fingerprint = v.U64(kOffFingerprint);
  e.imageLastWriteTime = v.U64(kOffImageTime);
  ByteView image = v.Sub(kOffImagePath, kPathFieldBytes);
  e.imagePath = platform::Utf16LeBytesToUtf8(image.data(), image.size());
  if (e.imagePath.rfind(kDeviceKeyMark, 0) == 0) {
    e.deviceKey = e.imagePath.substr(sizeof kDeviceKeyMark - 1);
    e.imagePath.clear();
  }
  ByteView folder = v.Sub(kOffScanFolder, kPathFieldBytes);
  e.scanFolder = platform::Utf16LeBytesToUtf8(folder.data(), folder.size());
  return e;
}

void SerializeEntry(const ScanIndexEntry& e, uint8_t* out) {
  std::memset(out, 0, kEntryBytes);
  Put32(out + kOffDiskNumber, static_cast<uint32_t>(e.diskNumber));
  Put64(out + kOffStartSector, e.startSector);
  Put64(out + kOffSectorCount, e.sectorCount);
  Put64(out + kOffExtentStart, e.resumeExtentStart);
  Put64(out + kOffExtentLength, e.resumeExtentLength);
  Put64(out + kOffExtentDone, e.resumeExtentDone);
  Put64(out + kOffSectorsDone, e.resumeSectorsDone);
  Put64(out + kOffFilesFound, e.resumeFilesFound);
  Put64(out + kOffFingerprint, e.fingerprint);
  Put64(out + kOffImageTime, e.imageLastWriteTime);
  PutPath(out + kOffImagePath, e.deviceKey.empty() ? e.imagePath : kDeviceKeyMark + e.deviceKey);
  PutPath(out + kOffScanFolder, e.scanFolder);
}

bool SameFolderIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && platform::AsciiLower(a) == platform::AsciiLower(b);
}

bool IsSource(const ScanIndexEntry& e, const ScanSourceId& id) {
  if (!id.imagePath.empty()) return e.deviceKey.empty() && e.imagePath == id.imagePath;
  if (!e.imagePath.empty() || e.startSector != id.startSector || e.sectorCount != id.sectorCount) return false;
  if (!id.deviceKey.empty()) return e.deviceKey == id.deviceKey;
  return e.deviceKey.empty() && e.diskNumber == id.diskNumber;
}

uint64_t ImageTime(const std::string& imagePath) {
  uint64_t time = 0;
  if (storage::ImageLastWriteTime(imagePath, &time) != platform::kStatusOk) return 0;
  return time;
}

bool IsNumber(const std::string& name) {
  return !name.empty() && name.size() <= 20 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

ScanIndex& ScanIndex::Instance() {
  static ScanIndex instance;
  return instance;
}

void ScanIndex::Load(const std::string& scanLogFolder) {
  m_explicitFolder = !scanLogFolder.empty();
  m_folder = WithSlash(m_explicitFolder ? scanLogFolder : platform::ScanLogFolder());
  m_loaded = true;
  m_foundFolder.clear();
  m_currentFolder.clear();
  m_held.clear();
  platform::FileLock lock;
  // Without a lock (a read-only data folder) the index is still read.
  (void)LockIndex(&lock);
  ReadConfig();
}

void ScanIndex::ReadConfig() {
  m_counter = 0;
  m_entries.clear();
  const std::string config = m_folder + kConfigName;
  const std::string temp = m_folder + kConfigTempName;
  if (!platform::PathExists(config) && platform::PathExists(temp)) (void)platform::RenameFile(temp, config);
  std::string bytes;
  (void)platform::ReadWholeFile(config, &bytes, kMaxConfigBytes);  // a read fault keeps what was read
  ByteView view(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (!view.Has(0, kCounterBytes)) return;
  m_counter = view.U64(0);
  for (size_t offset = kCounterBytes; view.Has(offset, kEntryBytes); offset += kEntryBytes) {
    m_entries.push_back(ParseEntry(view.Sub(offset, kEntryBytes)));
  }
}

void ScanIndex::EnsureLoaded() {
  if (!m_loaded || (!m_explicitFolder && WithSlash(platform::ScanLogFolder()) != m_folder)) Load();
}

Status ScanIndex::LockIndex(platform::FileLock* lock) {
  if (Status s = platform::CreateDirectories(m_folder); s != platform::kStatusOk) return s;
  return lock->Lock(m_folder + kIndexLockName, platform::FileLock::Kind::kExclusive, platform::FileLock::Mode::kWait);
}

void ScanIndex::HoldFolder(const std::string& folder) {
  if (HeldHere(folder)) return;
  HeldFolder held{folder, {}};
  // A folder that cannot carry the mark is still used; it is only less protected.
  if (held.lock.Lock(folder + kInUseName, platform::FileLock::Kind::kShared, platform::FileLock::Mode::kWait) ==
      platform::kStatusOk) {
    m_held.push_back(std::move(held));
  }
}

bool ScanIndex::HeldHere(const std::string& folder) const {
  return std::any_of(m_held.begin(), m_held.end(),
                     [&](const HeldFolder& h) { return SameFolderIgnoringCase(h.folder, folder); });
}

bool ScanIndex::FindScan(const ScanSourceId& source, ScanIndexEntry* found) {
  EnsureLoaded();
  platform::FileLock lock;
  const bool locked = LockIndex(&lock) == platform::kStatusOk;
  ReadConfig();
  const uint64_t imageTime = source.imagePath.empty() ? 0 : ImageTime(source.imagePath);
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const ScanIndexEntry& e = m_entries[i];
    if (!IsSource(e, source)) continue;
    // An image is unchanged when its time is (and its volume's fingerprint,
    // where both are known); a partition only when its fingerprint is known
    // and equal: a medium whose writes cannot be told is never taken as unchanged.
    const bool unchanged = source.imagePath.empty()
                               ? source.fingerprint != 0 && e.fingerprint == source.fingerprint
                               : e.imageLastWriteTime == imageTime && (source.fingerprint == 0 || e.fingerprint == 0 ||
                                                                       e.fingerprint == source.fingerprint);
    if (unchanged) {
      m_foundFolder = e.scanFolder;
      HoldFolder(m_foundFolder);
      if (found != nullptr) *found = e;
      return true;
    }
    // The source was written since: its results no longer describe it.
    const std::string stale = e.scanFolder;
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
    if (locked) {
      (void)WriteConfig();  // a failed save keeps the stale entry, which is found stale again
      DeleteScanFolder(stale);
    }
    return false;
  }
  return false;
}

Status ScanIndex::NewScanFolder() {
  EnsureLoaded();
  platform::FileLock lock;
  if (Status s = LockIndex(&lock); s != platform::kStatusOk) return s;
  ReadConfig();
  m_foundFolder.clear();
  DeleteUnusedFolders();
  // The next number whose folder does not exist yet; a folder of that
  // number may belong to another process or to an earlier run.
  for (int attempt = 0; attempt < 100000; ++attempt) {
    ++m_counter;
    const std::string folder = m_folder + std::to_string(m_counter) + "/";
    Status s = platform::CreateNewFolder(folder);
    if (s == platform::kErrorAlreadyExists) continue;
    if (s != platform::kStatusOk) return s;
    // An entry that names this number (an index copied from elsewhere) is dropped.
    for (size_t i = 0; i < m_entries.size();) {
      if (SameFolderIgnoringCase(m_entries[i].scanFolder, folder)) {
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    m_currentFolder = folder;
    HoldFolder(folder);
    return WriteConfig();
  }
  return platform::kErrorAlreadyExists;
}

std::string ScanIndex::CurrentScanFolder() {
  EnsureLoaded();
  if (!m_foundFolder.empty()) return m_foundFolder;
  if (!m_currentFolder.empty()) return m_currentFolder;
  return m_folder + std::to_string(m_counter) + "/";
}

Status ScanIndex::RecordScan(const ScanSourceId& source, const ScanResume& resume, const std::string& scanFolder) {
  EnsureLoaded();
  const std::string folder = WithSlash(scanFolder);
  const std::string keyField = source.deviceKey.empty() ? source.imagePath : kDeviceKeyMark + source.deviceKey;
  if (!PathFits(folder) || !PathFits(keyField)) return platform::kErrorFilenameTooLong;
  platform::FileLock lock;
  if (Status s = LockIndex(&lock); s != platform::kStatusOk) return s;
  ReadConfig();
  ScanIndexEntry* entry = nullptr;
  for (ScanIndexEntry& e : m_entries) {
    if (IsSource(e, source)) {
      entry = &e;
      break;
    }
  }
  if (entry == nullptr) {
    m_entries.emplace_back();
    entry = &m_entries.back();
  }
  entry->diskNumber = source.imagePath.empty() ? source.diskNumber : 0;
  entry->startSector = source.startSector;
  entry->sectorCount = source.sectorCount;
  entry->fingerprint = source.fingerprint;
  entry->imagePath = source.imagePath;
  entry->deviceKey = source.imagePath.empty() ? source.deviceKey : std::string();
  entry->imageLastWriteTime = source.imagePath.empty() ? 0 : ImageTime(source.imagePath);
  entry->resumeExtentStart = resume.extentStart;
  entry->resumeExtentLength = resume.extentLength;
  entry->resumeExtentDone = resume.extentDone;
  entry->resumeSectorsDone = resume.sectorsDone;
  entry->resumeFilesFound = resume.filesFound;
  entry->scanFolder = folder;  // the resume values describe the results in this folder
  HoldFolder(folder);
  return WriteConfig();
}

void ScanIndex::UndoScanNumber() {
  EnsureLoaded();
  if (m_currentFolder.empty()) return;
  platform::FileLock lock;
  if (LockIndex(&lock) != platform::kStatusOk) return;
  ReadConfig();
  const std::string number = std::to_string(m_counter);
  const std::string folder = m_currentFolder;
  const std::vector<std::string> names = platform::ListFolder(folder);
  const bool empty =
      std::all_of(names.begin(), names.end(), [](const std::string& name) { return name == kInUseName; });
  if (folder != m_folder + number + "/" || !empty) return;
  for (auto it = m_held.begin(); it != m_held.end(); ++it) {
    if (it->folder == folder) {
      m_held.erase(it);
      break;
    }
  }
  DeleteScanFolder(folder);
  --m_counter;
  m_currentFolder.clear();
  (void)WriteConfig();  // an unsaved undo only leaves a gap in the numbers
}

Status ScanIndex::Remove(const std::string& folder) {
  EnsureLoaded();
  platform::FileLock lock;
  if (Status s = LockIndex(&lock); s != platform::kStatusOk) return s;
  ReadConfig();
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (SameFolderIgnoringCase(m_entries[i].scanFolder, folder)) {
      m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  Status s = WriteConfig();
  for (auto it = m_held.begin(); it != m_held.end(); ++it) {
    if (SameFolderIgnoringCase(it->folder, folder)) {
      m_held.erase(it);
      break;
    }
  }
  DeleteScanFolder(folder);
  return s;
}

void ScanIndex::DeleteScanFolder(const std::string& folder) {
  // Only a folder below the ScanLog folder is ever deleted, whatever a
  // damaged "config" or a caller names.
  if (folder.size() <= m_folder.size() || folder.compare(0, m_folder.size(), m_folder) != 0) return;
  std::string relative = folder.substr(m_folder.size());
  if (!relative.empty() && relative.back() == '/') relative.pop_back();
  if (relative.empty()) return;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::string_view part =
        std::string_view(relative).substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") return;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  const std::string target = m_folder + relative;
  if (!platform::IsDirectory(target) || HeldHere(WithSlash(target))) return;
  // A process that uses the folder holds its mark: then it stays.
  platform::FileLock probe;
  if (probe.Lock(target + "/" + kInUseName, platform::FileLock::Kind::kExclusive, platform::FileLock::Mode::kTryOnly) !=
      platform::kStatusOk) {
    return;
  }
  (void)platform::RemoveTree(target);  // what cannot be removed is tried again next time
}

void ScanIndex::DeleteUnusedFolders() {
  for (const std::string& name : platform::ListFolder(m_folder)) {
    if (!IsNumber(name)) continue;
    const std::string folder = m_folder + name + "/";
    const bool named = std::any_of(m_entries.begin(), m_entries.end(), [&](const ScanIndexEntry& e) {
      return SameFolderIgnoringCase(e.scanFolder, folder);
    });
    if (!named) DeleteScanFolder(folder);
  }
}

Status ScanIndex::WriteConfig() {
  std::vector<uint8_t> bytes(kCounterBytes + kEntryBytes * m_entries.size());
  Put64(bytes.data(), m_counter);
  for (size_t i = 0; i < m_entries.size(); ++i) {
    SerializeEntry(m_entries[i], bytes.data() + kCounterBytes + kEntryBytes * i);
  }
  if (Status s = platform::CreateDirectories(m_folder); s != platform::kStatusOk) return s;
  const std::string config = m_folder + kConfigName;
  const std::string temp = m_folder + kConfigTempName;
  platform::OutputFile file;
  if (Status s = file.Open(temp, platform::OutputFile::Mode::kCreateTruncate); s != platform::kStatusOk) return s;
  Status s = file.WriteAt(0, bytes.data(), bytes.size());
  if (s == platform::kStatusOk) s = file.Sync();
  const Status closed = file.Close();
  if (s == platform::kStatusOk) s = closed;
  if (s != platform::kStatusOk) {
    // A half-written "config.tmp" must never be taken for the index later.
    (void)platform::RemoveFile(temp);
    return s;
  }
  // The rename replaces "config" in one step, so there is always a whole index on disk.
  return platform::RenameFile(temp, config);
}

std::string ScanIndex::FindLogName(const std::string& prefix, const std::string& folder) {
  for (const std::string& name : platform::ListFolder(folder)) {
    if (name.empty() || name[0] == '.') continue;
    if (name.find(prefix) != std::string::npos) return name;
  }
  return {};
}

uint64_t ScanIndex::Counter() {
  EnsureLoaded();
  return m_counter;
}

const std::vector<ScanIndexEntry>& ScanIndex::Entries() {
  EnsureLoaded();
  return m_entries;
}

const std::string& ScanIndex::ScanLogFolder() {
  EnsureLoaded();
  return m_folder;
}

}  // namespace engine::store
