// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/scan_index.h"

#include <cstring>

#include "engine/byte_view.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/utf.h"
#include "platform/volume.h"
#include "storage/disk_queries.h"
#include "storage/drive_letters.h"

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
constexpr size_t kOffFreeBytes = 64;
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
  e.freeBytes = v.U64(kOffFreeBytes);
  e.imageLastWriteTime = v.U64(kOffImageTime);
  ByteView image = v.Sub(kOffImagePath, kPathFieldBytes);
  e.imagePath = platform::Utf16LeBytesToUtf8(image.data(), image.size());
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
  Put64(out + kOffFreeBytes, e.freeBytes);
  Put64(out + kOffImageTime, e.imageLastWriteTime);
  PutPath(out + kOffImagePath, e.imagePath);
  PutPath(out + kOffScanFolder, e.scanFolder);
}

bool SameFolderIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && platform::AsciiLower(a) == platform::AsciiLower(b);
}

bool IsPartitionOf(const ScanIndexEntry& e, int32_t diskNumber, uint64_t startSector, uint64_t sectorCount) {
  return e.imagePath.empty() && e.diskNumber == diskNumber && e.startSector == startSector &&
         e.sectorCount == sectorCount;
}

// Free bytes of the mounted file system behind a drive letter; 0 when it is not mounted.
uint64_t CurrentFreeBytes(uint16_t driveLetter) {
  std::string device = storage::DriveLetters::Instance().DevicePathOf(driveLetter);
  if (device.empty()) return 0;
  std::string mountPoint = platform::MountPointOf(device);
  if (mountPoint.empty()) return 0;
  uint64_t bytes = 0;
  if (platform::FreeBytes(mountPoint, &bytes) != platform::kStatusOk) return 0;
  return bytes;
}

uint64_t ImageTime(const std::string& imagePath) {
  uint64_t time = 0;
  if (storage::ImageLastWriteTime(imagePath, &time) != platform::kStatusOk) return 0;
  return time;
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
  m_counter = 0;
  m_entries.clear();
  m_foundFolder.clear();

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

bool ScanIndex::FindPartitionScan(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter,
                                  ScanIndexEntry* found) {
  EnsureLoaded();
  const uint64_t freeBytes = CurrentFreeBytes(driveLetter);
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (!IsPartitionOf(m_entries[i], diskNumber, startSector, sectorCount)) continue;
    if (m_entries[i].freeBytes == freeBytes) {
      m_foundFolder = m_entries[i].scanFolder;
      if (found != nullptr) *found = m_entries[i];
      return true;
    }
    RemoveEntryAndFolder(i);
    return false;
  }
  return false;
}

bool ScanIndex::FindImageScan(const std::string& imagePath, ScanIndexEntry* found) {
  EnsureLoaded();
  if (imagePath.empty()) return false;
  const uint64_t time = ImageTime(imagePath);
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (m_entries[i].imagePath != imagePath) continue;
    if (m_entries[i].imageLastWriteTime == time) {
      m_foundFolder = m_entries[i].scanFolder;
      if (found != nullptr) *found = m_entries[i];
      return true;
    }
    RemoveEntryAndFolder(i);
    return false;
  }
  return false;
}

void ScanIndex::NewScanFolder() {
  EnsureLoaded();
  ++m_counter;
  m_foundFolder.clear();
  const std::string folder = CurrentScanFolder();
  for (size_t i = 0; i < m_entries.size();) {
    if (SameFolderIgnoringCase(m_entries[i].scanFolder, folder)) {
      m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  // The new folder starts empty, also when an earlier run left one of this
  // number behind (a counter that was never saved, or a number given back).
  DeleteScanFolder(folder);
}

std::string ScanIndex::CurrentScanFolder() {
  EnsureLoaded();
  if (!m_foundFolder.empty()) return m_foundFolder;
  return m_folder + std::to_string(m_counter) + "/";
}

Status ScanIndex::RecordScan(uint16_t driveLetter, int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                             const ScanResume& resume, const std::string& scanFolder, const std::string& imagePath) {
  EnsureLoaded();
  const std::string folder = WithSlash(scanFolder);
  if (!PathFits(folder) || !PathFits(imagePath)) return platform::kErrorFilenameTooLong;
  ScanIndexEntry* entry = nullptr;
  for (ScanIndexEntry& e : m_entries) {
    bool same = imagePath.empty() ? IsPartitionOf(e, diskNumber, startSector, sectorCount) : e.imagePath == imagePath;
    if (same) {
      entry = &e;
      break;
    }
  }
  if (entry == nullptr) {
    ScanIndexEntry e;
    e.diskNumber = diskNumber;
    e.startSector = startSector;
    e.sectorCount = sectorCount;
    if (imagePath.empty()) {
      e.freeBytes = CurrentFreeBytes(driveLetter);
    } else {
      e.imagePath = imagePath;
      e.imageLastWriteTime = ImageTime(imagePath);
    }
    m_entries.push_back(e);
    entry = &m_entries.back();
  }
  entry->resumeExtentStart = resume.extentStart;
  entry->resumeExtentLength = resume.extentLength;
  entry->resumeExtentDone = resume.extentDone;
  entry->resumeSectorsDone = resume.sectorsDone;
  entry->resumeFilesFound = resume.filesFound;
  entry->scanFolder = folder;  // the resume values describe the results in this folder
  return Save();
}

void ScanIndex::UndoScanNumber() {
  EnsureLoaded();
  if (m_counter > 0) --m_counter;
}

void ScanIndex::Remove(const std::string& folder) {
  EnsureLoaded();
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (SameFolderIgnoringCase(m_entries[i].scanFolder, folder)) {
      m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  DeleteScanFolder(folder);
}

void ScanIndex::RemoveEntryAndFolder(size_t index) {
  std::string folder = m_entries[index].scanFolder;
  m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
  DeleteScanFolder(folder);
}

void ScanIndex::DeleteScanFolder(const std::string& folder) const {
  // Only a folder below the ScanLog folder is ever deleted, whatever a
  // damaged "config" or a caller names.
  if (folder.size() <= m_folder.size() || folder.compare(0, m_folder.size(), m_folder) != 0) return;
  std::string relative = folder.substr(m_folder.size());
  if (!relative.empty() && relative.back() == '/') relative.pop_back();
  if (relative.empty()) return;
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    std::string_view part =
        std::string_view(relative).substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") return;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string target = m_folder + relative;
  if (platform::PathExists(target)) (void)platform::RemoveTree(target);
}

Status ScanIndex::Save() {
  EnsureLoaded();
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
  Status closed = file.Close();
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

uint64_t ScanIndex::Counter() const {
  const_cast<ScanIndex*>(this)->EnsureLoaded();
  return m_counter;
}

const std::vector<ScanIndexEntry>& ScanIndex::Entries() const {
  const_cast<ScanIndex*>(this)->EnsureLoaded();
  return m_entries;
}

const std::string& ScanIndex::ScanLogFolder() const {
  const_cast<ScanIndex*>(this)->EnsureLoaded();
  return m_folder;
}

}  // namespace engine::store
