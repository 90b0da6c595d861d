// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/status.h"

namespace engine::store {

// One remembered scan (1120 bytes in the "config" file).
struct ScanIndexEntry {
  int32_t diskNumber = 0;
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  uint64_t resumeExtentStart = 0;
  uint64_t resumeExtentLength = 0;
  uint64_t resumeExtentDone = 0;
  uint64_t resumeSectorsDone = 0;
  uint64_t resumeFilesFound = 0;
  uint64_t freeBytes = 0;           // partitions
  uint64_t imageLastWriteTime = 0;  // images (FILETIME)
  std::string imagePath;            // images; empty for partitions (UTF-8; stored as UTF-16)
  std::string scanFolder;           // ends in "/"
};

// The resume values a professional scan stores with its entry.
struct ScanResume {
  uint64_t extentStart = 0;
  uint64_t extentLength = 0;
  uint64_t extentDone = 0;
  uint64_t sectorsDone = 0;
  uint64_t filesFound = 0;
};

// The scan index "config" in the ScanLog folder: the counter of scan folders
// and the remembered professional scans. Process-wide, loaded on first use;
// used by one job thread at a time.
class ScanIndex {
 public:
  static ScanIndex& Instance();

  // Reloads from scanLogFolder (ends in "/"); the default is the user's
  // ScanLog folder. Used at first use and by tests.
  void Load(const std::string& scanLogFolder = {});

  [[nodiscard]] bool FindPartitionScan(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                       uint16_t driveLetter, ScanIndexEntry* found);
  [[nodiscard]] bool FindImageScan(const std::string& imagePath, ScanIndexEntry* found);
  // Counter + 1; the new folder becomes current; an entry naming it is
  // removed, and a folder of that number left on disk is deleted.
  void NewScanFolder();
  std::string CurrentScanFolder();
  [[nodiscard]] Status RecordScan(uint16_t driveLetter, int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                  const ScanResume& resume, const std::string& scanFolder,
                                  const std::string& imagePath);
  void UndoScanNumber();
  // Removes the entry of folder (case-insensitive) and deletes the folder
  // when it lies below the ScanLog folder. Does not save.
  void Remove(const std::string& folder);
  [[nodiscard]] Status Save();
  // First name in folder that contains prefix (names starting with "." skipped).
  static std::string FindLogName(const std::string& prefix, const std::string& folder);

  uint64_t Counter() const;
  const std::vector<ScanIndexEntry>& Entries() const;
  const std::string& ScanLogFolder() const;

 private:
  ScanIndex() = default;
  // Loads on first use, and again when the default ScanLog folder has moved
  // (XDG_DATA_HOME changed) while no explicit folder was loaded.
  void EnsureLoaded();
  void RemoveEntryAndFolder(size_t index);
  // Deletes folder with everything in it, only when it lies below the ScanLog folder.
  void DeleteScanFolder(const std::string& folder) const;
  bool m_loaded = false;
  bool m_explicitFolder = false;
  std::string m_folder;
  uint64_t m_counter = 0;
  std::vector<ScanIndexEntry> m_entries;
  std::string m_foundFolder;
};

}  // namespace engine::store
