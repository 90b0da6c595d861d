// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/status.h"
#include "platform/file_lock.h"

namespace engine::store {

// What a remembered scan was made of. A partition is known by its device
// key (what stays with the medium: a serial or by-id path, a partition
// UUID) when there is one, else by its disk number; both with its start and
// length. An image is known by its path and last write time. The
// fingerprint changes when the volume is written (0: unknown). A partition
// is unchanged only while its fingerprint is known and equal; an image while
// its time is equal (and its fingerprint, where both are known).
struct ScanSourceId {
  std::string imagePath;  // images; empty for partitions
  std::string deviceKey;  // partitions; may be empty
  int32_t diskNumber = -1;
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  uint64_t fingerprint = 0;
};

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
  uint64_t fingerprint = 0;         // of the volume when recorded
  uint64_t imageLastWriteTime = 0;  // images (FILETIME)
  std::string imagePath;            // images (UTF-8; stored as UTF-16)
  std::string deviceKey;            // partitions (stored in the image path field as "dev:" + key)
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
// and the remembered scans. Several processes may use one ScanLog folder at
// once: every change is made under an exclusive lock on "ScanLog/.lock"
// from the index as it is on disk then, a new scan folder is created
// exclusively under the next free number, and every scan folder a process
// uses carries a shared lock ("N/.inuse") for the life of the process, so
// no other process deletes or reuses it. Process-wide object; one job
// thread at a time.
class ScanIndex {
 public:
  static ScanIndex& Instance();

  // Reloads from scanLogFolder (ends in "/"); the default is the user's
  // ScanLog folder. Used at first use and by tests.
  void Load(const std::string& scanLogFolder = {});

  // The remembered scan of source, when it is not stale: it becomes the
  // current scan folder and *found receives a copy. A stale entry is
  // removed together with its folder (unless another process uses it).
  [[nodiscard]] bool FindScan(const ScanSourceId& source, ScanIndexEntry* found);
  // Takes the next free scan folder number, creates that folder (never one
  // that exists), saves the counter and makes the folder current. Unused
  // folders that no entry names and no process holds are deleted.
  [[nodiscard]] Status NewScanFolder();
  std::string CurrentScanFolder();
  // Remembers source with its resume values and scan folder, replacing the
  // entry of the same source (its folder too: the entry then names
  // scanFolder, and the old folder is left to the clean-up of unused ones).
  [[nodiscard]] Status RecordScan(const ScanSourceId& source, const ScanResume& resume, const std::string& scanFolder);
  // Gives back the current folder number when it is the last one handed
  // out and its folder is still empty (a cancelled scan without result).
  void UndoScanNumber();
  // Removes the entry of folder (case-insensitive) and deletes the folder
  // when it lies below the ScanLog folder and no other process uses it.
  [[nodiscard]] Status Remove(const std::string& folder);
  // First name in folder that contains prefix (names starting with "." skipped).
  static std::string FindLogName(const std::string& prefix, const std::string& folder);

  uint64_t Counter();
  const std::vector<ScanIndexEntry>& Entries();
  const std::string& ScanLogFolder();

 private:
  ScanIndex() = default;
  // Loads on first use, and again when the default ScanLog folder has moved
  // (XDG_DATA_HOME changed) while no explicit folder was loaded.
  void EnsureLoaded();
  // Reads "config" into the members (under the caller's lock).
  void ReadConfig();
  [[nodiscard]] Status WriteConfig();
  [[nodiscard]] Status LockIndex(platform::FileLock* lock);
  // Holds the folder for this process.
  void HoldFolder(const std::string& folder);
  bool HeldHere(const std::string& folder) const;
  // Deletes folder with everything in it, only when it lies below the
  // ScanLog folder and no process holds it.
  void DeleteScanFolder(const std::string& folder);
  void DeleteUnusedFolders();

  bool m_loaded = false;
  bool m_explicitFolder = false;
  std::string m_folder;
  uint64_t m_counter = 0;
  std::vector<ScanIndexEntry> m_entries;
  std::string m_foundFolder;
  std::string m_currentFolder;
  struct HeldFolder {
    std::string folder;
    platform::FileLock lock;
  };
  std::vector<HeldFolder> m_held;
};

}  // namespace engine::store
