// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/session.h"

#include <cstdio>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "jobs/error_text.h"
#include "jobs/lost_volumes.h"
#include "jobs/message_keys.h"
#include "jobs/search_job.h"
#include "jobs/volume_head.h"
#include "platform/disk_table.h"
#include "platform/error.h"
#include "platform/file_time.h"
#include "platform/folders.h"

namespace cli {
namespace {

// A deep scan reads a whole disk whole: its partitions and the stretches no
// partition covers (the scan job looks for lost volumes in them). A disk
// image or device without a partition table and without a file system at
// its start is such a disk too (its table was wiped) when volumes are found
// in it: they are scanned as its partitions.
void ExpandForDeepScan(storage::ResolvedSource* resolved, bool quiet) {
  if (resolved->wholeDisk) {
    std::vector<storage::VolumeEntry> spaces =
        storage::UnpartitionedSpaces(resolved->diskNumber, resolved->diskPath, resolved->sectorSize, resolved->volumes,
                                     resolved->byteLength, engine::kClassifyBytes);
    for (auto& space : spaces) resolved->volumes.push_back(std::move(space));
    return;
  }
  if (resolved->volumes.size() != 1 || !resolved->volumes.front().target.isImage) return;
  const storage::VolumeTarget image = resolved->volumes.front().target;
  engine::VolumeKind kind = engine::VolumeKind::kUnknown;
  if (jobs::ReadVolumeKind(image, &kind) != platform::kStatusOk || kind != engine::VolumeKind::kUnknown) return;
  platform::SetDiskTableOverride({image.imagePath});
  std::vector<storage::VolumeEntry> whole =
      storage::UnpartitionedSpaces(0, image.imagePath, resolved->sectorSize, {}, resolved->byteLength, 0);
  std::vector<storage::VolumeEntry> parts;
  bool anyVolume = false;
  for (const auto& stretch : whole) {
    for (jobs::StretchPart& part : jobs::SplitStretch(stretch.target)) {
      if (part.kind != engine::VolumeKind::kUnknown) {
        anyVolume = true;
        if (!quiet)
          PrintError(Msg(jobs::keys::kLostVolumeFound, {part.target.label, engine::VolumeKindName(part.kind)}));
      }
      storage::VolumeEntry entry;
      entry.target = std::move(part.target);
      parts.push_back(std::move(entry));
    }
  }
  if (!anyVolume) {
    platform::SetDiskTableOverride({});
    return;
  }
  resolved->wholeDisk = true;
  resolved->diskNumber = 0;
  resolved->diskPath = image.imagePath;
  resolved->volumes = std::move(parts);
}

}  // namespace

bool ResolveForCommand(const std::string& source, storage::ResolvedSource* resolved, int* exitCode, bool allowEmpty) {
  std::string error;
  const platform::Status s = storage::ResolveSource(source, resolved, &error);
  if (s != platform::kStatusOk) {
    // The usual reasons in the user's language; the rest as the source layer words them.
    const bool plain = source.rfind("disk:", 0) != 0 && platform::KindOfPath(source) != platform::PathKind::kFolder &&
                       (s == platform::kErrorFileNotFound || s == platform::kErrorAccessDenied);
    PrintError(plain ? Tr("CannotOpenSource", {source, ErrorText(&Texts(), s)}) : error);
    *exitCode = s == platform::kStatusInvalidParameter ? kExitUsage : kExitFailed;
    return false;
  }
  if (resolved->volumes.empty() && !allowEmpty) {
    PrintError(Tr("NoVolume", {source}));
    *exitCode = kExitFailed;
    return false;
  }
  return true;
}

bool ScanAndCollect(const ScanOptions& options, jobs::ReusePolicy reuse, bool withPaths, Session* session,
                    int* exitCode, bool quiet) {
  jobs::ScanMode mode = jobs::ScanMode::kFast;
  if (options.mode == "deep") {
    mode = jobs::ScanMode::kDeep;
  } else if (options.mode != "fast" && !options.mode.empty()) {
    PrintError(Tr("UnknownMode", {options.mode}));
    *exitCode = kExitUsage;
    return false;
  }
  std::string pattern, badWord;
  if (!jobs::BuildSearchPattern(options.types, &pattern, &badWord)) {
    PrintError(Tr("UnknownType", {badWord}));
    *exitCode = kExitUsage;
    return false;
  }
  if (!ResolveForCommand(options.source, &session->resolved, exitCode, /*allowEmpty=*/true)) return false;
  // Kept results without a mode given: those of the last scan of each volume, fast or deep.
  const bool modeOfStoredScan =
      options.mode.empty() && (reuse == jobs::ReusePolicy::kReuse || reuse == jobs::ReusePolicy::kStoredOnly);
  if (mode == jobs::ScanMode::kDeep || modeOfStoredScan)
    ExpandForDeepScan(&session->resolved, quiet || modeOfStoredScan);
  if (session->resolved.volumes.empty()) {
    // A disk whose partition table is gone: deep mode looks for the volumes that were on it.
    PrintError(Tr(mode == jobs::ScanMode::kDeep ? "NoVolume" : "NoVolumeTryDeep", {options.source}));
    *exitCode = kExitFailed;
    return false;
  }

  InstallInterruptHandler();
  session->sources = jobs::MakeScanSources(session->resolved.volumes);
  {
    CCliView view(CCliView::Layout::kScan, quiet);
    // Without an answer given, a person at a terminal is asked; anyone else gets a new scan, or, asking for
    // the kept results without a mode, what the stopped scan found.
    const jobs::ResumePolicy resume = options.resume == "yes"  ? jobs::ResumePolicy::kResume
                                      : options.resume == "no" ? jobs::ResumePolicy::kRestart
                                      : view.CanAsk()          ? jobs::ResumePolicy::kAsk
                                      : modeOfStoredScan       ? jobs::ResumePolicy::kAsItIs
                                                               : jobs::ResumePolicy::kRestart;
    jobs::CScanJob scan({session->sources, mode, reuse, resume, modeOfStoredScan}, view, &Texts());
    if (scan.Start() != platform::kStatusOk) {
      PrintError(ErrorText(&Texts(), platform::kErrorBusy));
      *exitCode = kExitFailed;
      return false;
    }
    const jobs::JobResult result = RunToEnd(scan);
    view.ClearLine();
    session->sources = scan.Sources();  // a deep scan of a disk may have found volumes in its free stretches
    session->cancelled = result == jobs::JobResult::kCancelled;
    if (session->cancelled) PrintError(Tr("ScanCancelled"));
  }
  for (const auto& s : session->sources) {
    // A deep scan kept before its end: how to go on with it.
    if (s->mode == jobs::ScanMode::kDeep && s->storeKept && s->outcome != jobs::SourceOutcome::kScanned &&
        s->outcome != jobs::SourceOutcome::kReused) {
      PrintError(Tr("ResumeHint"));
      break;
    }
  }
  bool anyEngine = false;
  for (const auto& s : session->sources) {
    anyEngine = anyEngine || s->engine != nullptr;
    if (s->outcome == jobs::SourceOutcome::kNotStored && !s->fromStretch) {
      PrintError(Tr("NothingStored", {s->target.label}));
    }
    // Which kept results are shown, when the user did not name a mode.
    if (modeOfStoredScan && s->outcome == jobs::SourceOutcome::kReused) {
      PrintError(Tr(s->mode == jobs::ScanMode::kDeep ? "UsingDeepScan" : "UsingFastScan", {s->target.label}));
    }
  }
  if (!anyEngine) {
    if (mode == jobs::ScanMode::kDeep) PrintError(Tr("DeepUnavailable"));
    *exitCode = session->cancelled ? kExitCancelled : kExitFailed;
    return false;
  }
  // What was found is collected also after a cancel: the collection is quick.
  InterruptFlag().store(false);
  CCliView view(CCliView::Layout::kSearch);
  jobs::CSearchJob search({session->sources, pattern, withPaths}, view, &Texts());
  if (search.Start() != platform::kStatusOk) {
    PrintError(ErrorText(&Texts(), platform::kErrorBusy));
    *exitCode = kExitFailed;
    return false;
  }
  if (RunToEnd(search) == jobs::JobResult::kCancelled) session->cancelled = true;
  view.ClearLine();
  session->files = std::move(search.Results());
  return true;
}

std::string FormatFileTime(uint64_t fileTime) {
  platform::SystemTime t;
  if (fileTime == 0 || !platform::FileTimeToSystemTime(fileTime, &t)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

bool IsDeletedItem(const engine::ItemRecord& item) {
  const bool fastEngine = item.sourceKind == static_cast<int32_t>(engine::SourceKind::kFastFat) ||
                          item.sourceKind == static_cast<int32_t>(engine::SourceKind::kFastNtfs) ||
                          item.sourceKind == static_cast<int32_t>(engine::SourceKind::kFastExFat) ||
                          item.sourceKind == static_cast<int32_t>(engine::SourceKind::kFastExt4);
  if (fastEngine && item.isFolder == 0) return true;
  return item.isDeleted != 0;
}

std::string Marks(const engine::ItemRecord& item, bool reassembled) {
  std::string marks;
  if (IsDeletedItem(item)) marks += Tr("MarkDeleted");
  if (item.isFolder == 0 && reassembled) {
    if (!marks.empty()) marks += ",";
    marks += Tr("MarkReassembled");
  }
  if (item.isFolder == 0 && !engine::IsIntact(item)) {
    if (!marks.empty()) marks += ",";
    marks += Tr(engine::StateOf(item) == engine::ItemState::kOverwritten ? "MarkOverwritten" : "MarkDamaged");
  }
  return marks.empty() ? "-" : marks;
}

const char* EngineName(int32_t sourceKind) {
  switch (static_cast<engine::SourceKind>(sourceKind)) {
    case engine::SourceKind::kFastNtfs: return "fast-ntfs";
    case engine::SourceKind::kFastFat: return "fast-fat";
    case engine::SourceKind::kProfessionalNtfs: return "pro-ntfs";
    case engine::SourceKind::kProfessionalFat: return "pro-fat";
    case engine::SourceKind::kSignature: return "carved";
    case engine::SourceKind::kFastExFat: return "fast-exfat";
    case engine::SourceKind::kProfessionalExFat: return "pro-exfat";
    case engine::SourceKind::kFastExt4: return "fast-ext4";
    case engine::SourceKind::kProfessionalExt4: return "pro-ext4";
  }
  return "unknown";
}

}  // namespace cli
