// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/image_job.h"

#include <algorithm>
#include <chrono>

#include "jobs/display_text.h"
#include "jobs/message_keys.h"
#include "jobs/text_format.h"
#include "platform/disk_table.h"
#include "platform/error.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "platform/volume.h"

namespace jobs {
namespace {

constexpr size_t kChunkBytes = 65536;
constexpr int64_t kEstimateEveryMs = 5000;
constexpr uint64_t kTwoGiB = 2147483648ull;
constexpr uint64_t kFourGiB = 4294967296ull;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsAllZero(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

}  // namespace

// The image being written: its ".partial" file, positioned writes, holes for
// zero pieces where the file system keeps them.
class CImageWriter {
 public:
  CImageWriter(std::string path, bool sparse) : m_path(std::move(path)), m_sparse(sparse) {}
  [[nodiscard]] platform::Status Open() { return m_file.Open(m_path, platform::OutputFile::Mode::kReplaceOwnFile); }
  [[nodiscard]] platform::Status Write(uint64_t byteOffset, const uint8_t* data, size_t size) {
    if (m_sparse && IsAllZero(data, size)) return platform::kStatusOk;  // the final length makes it zeros
    return m_file.WriteAt(byteOffset, data, size);
  }
  // Sets the length (the holes at the end become zeros), flushes and closes.
  [[nodiscard]] platform::Status Finish(uint64_t byteLength) {
    platform::Status s = m_file.Truncate(byteLength);
    if (s == platform::kStatusOk) s = m_file.Sync();
    const platform::Status closed = m_file.Close();
    return s != platform::kStatusOk ? s : closed;
  }
  // Keeps what was copied (a partial image) at byteLength, flushed.
  void Keep(uint64_t byteLength) {
    if (m_file.Truncate(byteLength) != platform::kStatusOk) {
      // The length stays what the writes made it.
    }
    if (m_file.Sync() != platform::kStatusOk) {
      // What reached the medium is all a partial image can offer.
    }
    if (m_file.Close() != platform::kStatusOk) {
      // Nothing more can be done for a file that is kept as partial anyway.
    }
  }

 private:
  std::string m_path;
  bool m_sparse;
  platform::OutputFile m_file;
};

ImageCheck CheckImageTargetFacts(std::string_view fileSystemName, uint64_t imageBytes, bool freeKnown,
                                 uint64_t freeBytes) {
  // Names are compared whole: "exFAT" holds "FAT" but has no such limit.
  if (fileSystemName == "FAT32" && imageBytes >= kFourGiB) return ImageCheck::kFat32TooLarge;
  if ((fileSystemName == "FAT" || fileSystemName == "FAT12" || fileSystemName == "FAT16") && imageBytes > kTwoGiB) {
    return ImageCheck::kFatTooLarge;
  }
  if (freeKnown && freeBytes < imageBytes) return ImageCheck::kNoSpace;
  return ImageCheck::kOk;
}

ImageCheck CheckImageTarget(const ImageSource& source, const std::string& targetPath, bool replaceExisting) {
  const platform::PathKind kind = platform::KindOfPath(targetPath);
  if (kind != platform::PathKind::kMissing && kind != platform::PathKind::kRegularFile) {
    return kind == platform::PathKind::kFolder ? ImageCheck::kFolderMissing : ImageCheck::kTargetIsDevice;
  }
  const std::string folder = FolderOf(targetPath);
  if (!platform::IsDirectory(folder)) return ImageCheck::kFolderMissing;
  const storage::VolumeTarget& v = source.volume;
  const std::string sourcePath = v.isImage ? v.imagePath : v.diskPath;
  if (kind == platform::PathKind::kRegularFile && platform::SameFile(targetPath, sourcePath)) {
    return ImageCheck::kOnSource;
  }
  if (!v.isImage && platform::KindOfPath(v.diskPath) == platform::PathKind::kBlockDevice &&
      platform::FolderIsOnDisk(folder, v.diskPath)) {
    return ImageCheck::kOnSource;
  }
  // A partition device: anything on its disk, not only on the partition itself.
  if (v.isImage && platform::KindOfPath(v.imagePath) == platform::PathKind::kBlockDevice &&
      platform::FolderIsOnDisk(folder, v.imagePath)) {
    return ImageCheck::kOnSource;
  }
  if (kind == platform::PathKind::kRegularFile && !replaceExisting) return ImageCheck::kTargetExists;
  uint64_t freeBytes = 0;
  const bool freeKnown = platform::FreeBytes(folder, &freeBytes) == platform::kStatusOk;
  return CheckImageTargetFacts(platform::FileSystemNameOf(folder), source.byteLength, freeKnown, freeBytes);
}

std::string_view ImageCheckKey(ImageCheck check) {
  switch (check) {
    case ImageCheck::kOk: return {};
    case ImageCheck::kOnSource: return keys::kImageOnSource;
    case ImageCheck::kFatTooLarge: return keys::kImageFatTooLarge;
    case ImageCheck::kFat32TooLarge: return keys::kImageFat32TooLarge;
    case ImageCheck::kNoSpace: return keys::kImageNoSpace;
    case ImageCheck::kTargetIsDevice: return keys::kImageTargetIsDevice;
    case ImageCheck::kTargetExists: return keys::kImageTargetExists;
    case ImageCheck::kFolderMissing: return keys::kImageTargetFolderMissing;
  }
  return {};
}

std::string SuggestedImageName(const ImageSource& source, const std::string& description) {
  const storage::VolumeTarget& v = source.volume;
  const std::string size = SizeText(source.byteLength);
  // What the user knows the drive by: its device ("sdb", "sdb1") or file name, its label, its size.
  if (source.wholeDisk) {
    std::string name(FileNameOfPath(v.diskPath));
    if (name.empty()) name = "disk " + std::to_string(v.diskNumber);
    return FormatText("%s (%s)", {name, size});
  }
  std::string name(FileNameOfPath(v.isImage ? v.imagePath : v.devicePath));
  if (name.empty()) name = v.label;
  if (description.empty() || description == name) return FormatText("%s (%s)", {name, size});
  return FormatText("%s (%s, %s)", {name, description, size});
}

CImageJob::CImageJob(ImageJobInput input, IJobView& view, const ITextSource* texts)
    : CJob(JobKind::kImage, view, texts), m_input(std::move(input)) {}

CImageJob::~CImageJob() {
  JoinWorker();
}

platform::Status CImageJob::OpenSource(storage::SectorSource* source) {
  const storage::VolumeTarget& v = m_input.source.volume;
  if (v.isImage) {
    if (platform::Status s = storage::OpenImageSource(*source, v.imagePath); s != platform::kStatusOk) return s;
    m_sectorSize = 512;
    m_firstSector = 0;
    m_sectorCount = source->totalSectors;
    return platform::kStatusOk;
  }
  // The disk is opened by its number; the number must still name the disk that was chosen.
  if (platform::DiskPath(v.diskNumber) != v.diskPath) return platform::kErrorFileNotFound;
  if (platform::Status s = storage::OpenDiskSource(*source, v.diskNumber); s != platform::kStatusOk) return s;
  m_sectorSize = source->deviceSectorSize != 0 ? source->deviceSectorSize : 512;
  if (m_input.source.wholeDisk) {
    m_firstSector = 0;
    m_sectorCount = source->totalSectors;
  } else {
    // The partition's place is in the disk's own sectors (the disk list converted the table's 512-byte units).
    if (v.sectorSize != m_sectorSize) return platform::kStatusInvalidParameter;
    m_firstSector = v.startSector;
    m_sectorCount = v.sectorCount;
  }
  if (m_firstSector > source->totalSectors || m_sectorCount > source->totalSectors - m_firstSector) {
    return platform::kStatusInvalidParameter;
  }
  return platform::kStatusOk;
}

bool PartialImageExists(const std::string& target) {
  return platform::KindOfPath(CImageJob::PartialPath(target)) == platform::PathKind::kRegularFile;
}

platform::Status DeletePartialImage(const std::string& target) {
  // Only the job's own companions of target are ever removed, and only plain files.
  for (const std::string& path : {CImageJob::PartialPath(target), CImageJob::BadSectorMapPath(target)}) {
    if (platform::KindOfPath(path) != platform::PathKind::kRegularFile) continue;
    if (platform::Status s = platform::RemoveFile(path); s != platform::kStatusOk) return s;
  }
  return platform::kStatusOk;
}

int32_t CImageJob::Report(uint64_t doneSectors) {
  if (int32_t r = CheckPoint(); r != 0) return r;
  const uint64_t total = m_sectorCount * m_sectorSize;
  const uint64_t done = doneSectors * m_sectorSize;
  const int64_t now = NowMs();
  if (now - m_lastEstimateMs > kEstimateEveryMs - 1) {
    const int64_t seconds = (now - m_startMs) / 1000;
    uint64_t speed = seconds > 0 ? done / static_cast<uint64_t>(seconds) : 1;
    if (speed == 0) speed = 1;
    const uint64_t remaining = (total - done) / speed;
    m_remainingSeconds = static_cast<int32_t>(std::min<uint64_t>(remaining, INT32_MAX));
    m_speedText = FormatText(Msg(keys::kImageSpeed), {SizeText(speed)});
    m_lastEstimateMs = now;
  }
  const int32_t percent = total == 0 ? 100 : static_cast<int32_t>(done * 100 / total);
  IJobView& view = View();
  view.SetLine(ViewLine::kPercent, FormatText("%s %d%%", {Msg(keys::kImagePercent), percent}));
  view.SetBar(percent);
  view.SetLine(ViewLine::kTime,
               m_remainingSeconds == -1
                   ? FormatText("%s", {Msg(keys::kImageTimeUnknown)})
                   : FormatText("%s %s", {Msg(keys::kImageTime), DurationText(m_remainingSeconds, Texts())}));
  view.SetLine(ViewLine::kSector,
               FormatText("%s %I64u / %I64u", {Msg(keys::kImageSectors), static_cast<unsigned long long>(doneSectors),
                                               static_cast<unsigned long long>(m_sectorCount)}));
  if (!m_speedText.empty()) view.SetLine(ViewLine::kSpeed, m_speedText);
  if (!m_bad.empty()) {
    uint64_t bad = 0;
    for (const BadRange& r : m_bad) bad += r.count;
    view.SetLine(ViewLine::kBadSectors, FormatText(Msg(keys::kImageBadSoFar), {static_cast<unsigned long long>(bad)}));
  }
  return 0;
}

platform::Status CImageJob::Copy(storage::SectorSource& source, CImageWriter& writer) {
  const uint32_t perChunk = static_cast<uint32_t>(kChunkBytes / m_sectorSize);
  std::vector<uint8_t> buffer(kChunkBytes);
  uint64_t done = 0;
  while (done < m_sectorCount) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(perChunk, m_sectorCount - done));
    const size_t bytes = static_cast<size_t>(n) * m_sectorSize;
    uint32_t got = 0;
    const platform::Status read =
        storage::ReadSectors(n, source, buffer.data(), m_firstSector + done, m_sectorSize, &got);
    if (read != platform::kStatusOk) {
      got = std::min(got, n);
      if (!m_input.keepGoing) {
        // What did arrive is kept; the copy stops at the first sector that did not.
        if (got > 0) {
          if (platform::Status w = writer.Write(done * m_sectorSize, buffer.data(), size_t{got} * m_sectorSize);
              w != platform::kStatusOk) {
            return w;
          }
        }
        m_firstBadSector = done + got;
        m_copiedSectors = done + got;
        return platform::kStatusReadFault;
      }
      std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(size_t{got} * m_sectorSize),
                buffer.begin() + static_cast<std::ptrdiff_t>(bytes), uint8_t{0});
      m_bad.push_back({done + got, n - got});
    }
    if (platform::Status w = writer.Write(done * m_sectorSize, buffer.data(), bytes); w != platform::kStatusOk) {
      return w;
    }
    done += n;
    m_copiedSectors = done;
    ++m_chunks;
    if (int32_t r = Report(done); r != 0) return r;
  }
  return platform::kStatusOk;
}

platform::Status CImageJob::RetryBadRanges(storage::SectorSource& source, CImageWriter& writer) {
  std::vector<uint8_t> sector(m_sectorSize);
  std::vector<BadRange> still;
  for (const BadRange& range : m_bad) {
    for (uint64_t s = range.first; s < range.first + range.count; ++s) {
      if (int32_t r = CheckPoint(); r != 0) return r;
      uint32_t got = 0;
      if (storage::ReadSectors(1, source, sector.data(), m_firstSector + s, m_sectorSize, &got) ==
              platform::kStatusOk &&
          got == 1) {
        if (platform::Status w = writer.Write(s * m_sectorSize, sector.data(), sector.size());
            w != platform::kStatusOk) {
          return w;
        }
        continue;
      }
      if (!still.empty() && still.back().first + still.back().count == s) {
        ++still.back().count;
      } else {
        still.push_back({s, 1});
      }
    }
  }
  m_bad = std::move(still);
  return platform::kStatusOk;
}

platform::Status CImageJob::WriteBadSectorMap() const {
  std::string text = "# Quellmoor bad-sector map of " + m_input.targetPath + "\n";
  text += "# sectors of " + std::to_string(m_sectorSize) +
          " bytes, counted from the start of the image; one range a line: first-last (inclusive)\n";
  for (const BadRange& r : m_bad) {
    text += std::to_string(r.first) + "-" + std::to_string(r.first + r.count - 1) + "\n";
  }
  platform::OutputFile file;
  platform::Status s = file.Open(BadSectorMapPath(m_input.targetPath), platform::OutputFile::Mode::kReplaceOwnFile);
  if (s == platform::kStatusOk) s = file.WriteAt(0, text.data(), text.size());
  if (s == platform::kStatusOk) s = file.Sync();
  const platform::Status closed = file.Close();
  return s != platform::kStatusOk ? s : closed;
}

JobResult CImageJob::Run() {
  View().SetLine(ViewLine::kStage, FormatText("%s %s", {Msg(keys::kImageStage), m_input.targetPath}));
  storage::SectorSource opened;
  storage::SectorSource* source = &opened;
  if (m_input.openedSource) {
    source = m_input.openedSource.get();
    m_firstSector = m_input.firstSector;
    m_sectorCount = m_input.sectorCount;
    m_sectorSize = m_input.sectorSize;
    // The sectors are numbered as ReadSectors counts them on this source.
    if (m_firstSector > source->totalSectors || m_sectorCount > source->totalSectors - m_firstSector) {
      m_status = platform::kStatusInvalidParameter;
    }
  } else {
    m_status = OpenSource(&opened);
  }
  if (m_status == platform::kStatusOk && (m_sectorSize == 0 || kChunkBytes % m_sectorSize != 0)) {
    m_status = platform::kStatusInvalidParameter;
  }
  if (m_status != platform::kStatusOk) {
    View().Notify(MessageKind::kError, Msg(keys::kImageFailed));
    return JobResult::kFailed;
  }

  const std::string partial = PartialPath(m_input.targetPath);
  const std::string fileSystem = platform::FileSystemNameOf(FolderOf(m_input.targetPath));
  const bool sparse = fileSystem != "FAT" && fileSystem != "FAT32" && fileSystem != "exFAT" && !fileSystem.empty();
  CImageWriter writer(partial, sparse);
  m_status = writer.Open();
  if (m_status != platform::kStatusOk) {
    View().Notify(MessageKind::kError, Msg(keys::kImageFailed));
    return JobResult::kFailed;
  }
  m_startMs = NowMs();
  m_lastEstimateMs = m_startMs;
  m_status = Copy(*source, writer);
  if (m_status == platform::kStatusOk && !m_bad.empty()) m_status = RetryBadRanges(*source, writer);
  const uint64_t totalBytes = m_sectorCount * m_sectorSize;
  if (m_status == platform::kStatusOk) m_status = writer.Finish(totalBytes);
  if (m_status == platform::kStatusOk) m_status = platform::RenameFile(partial, m_input.targetPath);
  if (m_status == platform::kStatusOk && m_input.keepGoing) m_status = WriteBadSectorMap();
  if (m_status == platform::kStatusOk) {
    if (!m_bad.empty()) {
      uint64_t sectors = 0;
      for (const BadRange& r : m_bad) sectors += r.count;
      View().Notify(MessageKind::kWarning,
                    FormatText(Msg(keys::kImageBadSectors),
                               {static_cast<unsigned long long>(sectors), BadSectorMapPath(m_input.targetPath)}));
    }
    View().Notify(MessageKind::kInformation, FormatText(Msg(keys::kImageWritten), {m_input.targetPath}));
    return JobResult::kFinished;
  }
  // Cancelled or failed: what was copied stays, under a name that says it is not a whole image.
  writer.Keep(m_copiedSectors * m_sectorSize);
  if (m_status == platform::kStatusReadFault && !m_input.keepGoing) {
    View().Notify(MessageKind::kError,
                  FormatText(Msg(keys::kImageReadError), {static_cast<unsigned long long>(m_firstBadSector)}));
  }
  if (m_status != platform::kStatusCancelled) View().Notify(MessageKind::kError, Msg(keys::kImageFailed));
  if (platform::PathExists(partial)) {
    View().Notify(MessageKind::kWarning, FormatText(Msg(keys::kImagePartialKept), {partial}));
  }
  return m_status == platform::kStatusCancelled ? JobResult::kCancelled : JobResult::kFailed;
}

}  // namespace jobs
