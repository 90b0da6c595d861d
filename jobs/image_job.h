// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jobs/job.h"
#include "storage/sector_source.h"
#include "storage/volume_target.h"

namespace jobs {

// What is imaged: a whole disk of the disk table, one of its partitions, or
// an image file (copied as it stands).
struct ImageSource {
  storage::VolumeTarget volume;  // a partition, an image file, or (wholeDisk) the disk it names
  bool wholeDisk = false;        // the whole of volume.diskPath, from sector 0
  uint64_t byteLength = 0;       // the bytes to copy
};

// Why an image file cannot be written where the user asked.
enum class ImageCheck {
  kOk,
  kOnSource,        // the file is the source, or lies on the disk being imaged ("MSG0218")
  kFatTooLarge,     // FAT (FAT12/16) target and more than 2 GiB ("MSG0219")
  kFat32TooLarge,   // FAT32 target and 4 GiB or more: the largest FAT32 file is 4 GiB - 1 ("MSG0220")
  kNoSpace,         // less free space than the image needs ("MSG0221")
  kTargetIsDevice,  // a device node or other special file, not a file
  kTargetExists,    // a file is there and replacing it was not asked for
  kFolderMissing,   // the folder to hold it does not exist (or is not a folder)
};

// The checks on facts alone, in order: FAT32 (exact name "FAT32"), then
// FAT ("FAT", "FAT12", "FAT16"), then free space (when known). exFAT, NTFS
// and the rest have no size limit here.
ImageCheck CheckImageTargetFacts(std::string_view fileSystemName, uint64_t imageBytes, bool freeKnown,
                                 uint64_t freeBytes);
// Every check for a target path: special files, a folder that is missing,
// an existing file (unless replaceExisting), the file being the source or
// on the disk being imaged, then CheckImageTargetFacts with the target
// folder's file system and free space.
ImageCheck CheckImageTarget(const ImageSource& source, const std::string& targetPath, bool replaceExisting);
// The "Messages" key that explains a check.
std::string_view ImageCheckKey(ImageCheck check);

// "<device> (<size>)" for a whole disk ("sdb (7.45 GiB)", or the disk image
// file's name), else "<device> (<description>, <size>)" for a partition
// ("sdb1 (STICK, 7.45 GiB)"; a partition of an image file by its label).
std::string SuggestedImageName(const ImageSource& source, const std::string& description);

struct ImageJobInput {
  ImageSource source;
  std::string targetPath;
  bool keepGoing = false;  // read past unreadable sectors (zeros), retry them, write a map
  // Instead of opening source: read from this source (tests inject faults
  // through a memory source). firstSector and sectorCount then name the
  // sectors of sectorSize bytes to copy.
  std::unique_ptr<storage::SectorSource> openedSource;
  uint64_t firstSector = 0;
  uint64_t sectorCount = 0;
  uint32_t sectorSize = 512;
};

// Whether a copy of target stopped before its end left "<target>.partial".
bool PartialImageExists(const std::string& target);
// Deletes "<target>.partial" and its bad-sector list (a stopped copy the user
// does not keep). 0, also when there was none; else why it stays.
[[nodiscard]] platform::Status DeletePartialImage(const std::string& target);

class CImageWriter;

// A range of unreadable sectors, counted from the start of the image.
struct BadRange {
  uint64_t first = 0;
  uint64_t count = 0;
};

// The image job: copies the source sector for sector, in 64 KiB pieces,
// into "<target>.partial", and renames it to the target (replacing a file
// the user chose to replace) only when every sector is there, so the image
// has exactly the source's length and a stale tail can never remain. Zero
// pieces are left as holes where the target file system keeps sparse files.
// Reports percent, sectors, speed and time left (refreshed every 5 s).
//
// Without keepGoing the first read error stops the copy: result 3, and
// FirstBadSector() says where. With keepGoing an unreadable piece is filled
// with zeros and noted; after the pass each noted range is read again once,
// sector by sector, and what still fails is written to
// "<target>.bad-sectors.txt" (one range a line). Cancel (2) or failure (3)
// keep the partial file under its ".partial" name, so it is never taken for
// a whole image; the view is told its name.
class CImageJob final : public CJob {
 public:
  CImageJob(ImageJobInput input, IJobView& view, const ITextSource* texts);
  ~CImageJob() override;

  static std::string PartialPath(const std::string& target) { return target + ".partial"; }
  static std::string BadSectorMapPath(const std::string& target) { return target + ".bad-sectors.txt"; }

  // Read after End.
  platform::Status Status() const { return m_status; }
  uint64_t FirstBadSector() const { return m_firstBadSector; }  // without keepGoing, on a read error
  const std::vector<BadRange>& BadRanges() const { return m_bad; }
  uint64_t ChunksCopied() const { return m_chunks; }
  uint64_t SectorsTotal() const { return m_sectorCount; }
  uint32_t SectorSize() const { return m_sectorSize; }

 private:
  JobResult Run() override;
  [[nodiscard]] platform::Status OpenSource(storage::SectorSource* source);
  [[nodiscard]] platform::Status Copy(storage::SectorSource& source, CImageWriter& writer);
  [[nodiscard]] platform::Status RetryBadRanges(storage::SectorSource& source, CImageWriter& writer);
  [[nodiscard]] platform::Status WriteBadSectorMap() const;
  [[nodiscard]] int32_t Report(uint64_t doneSectors);

  ImageJobInput m_input;
  platform::Status m_status = platform::kStatusOk;
  uint64_t m_firstSector = 0;
  uint64_t m_sectorCount = 0;
  uint32_t m_sectorSize = 512;
  uint64_t m_firstBadSector = 0;
  uint64_t m_chunks = 0;
  uint64_t m_copiedSectors = 0;  // sectors that are in the partial file (holes included)
  std::vector<BadRange> m_bad;
  int64_t m_startMs = 0;
  int64_t m_lastEstimateMs = 0;
  int32_t m_remainingSeconds = -1;
  std::string m_speedText;
};

}  // namespace jobs
