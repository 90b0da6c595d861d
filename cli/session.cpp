// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/session.h"

#include <cstdio>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "jobs/search_job.h"
#include "platform/error.h"
#include "platform/file_time.h"

namespace cli {
namespace {

// Stretches of a disk smaller than this are the table's own and alignment, not a lost partition.
constexpr uint64_t kMinUnpartitioned = 2u << 20;

}  // namespace

bool ResolveForCommand(const std::string& source, storage::ResolvedSource* resolved, int* exitCode) {
  std::string error;
  const platform::Status s = storage::ResolveSource(source, resolved, &error);
  if (s != platform::kStatusOk) {
    PrintError(error);
    *exitCode = s == platform::kStatusInvalidParameter ? kExitUsage : kExitFailed;
    return false;
  }
  if (resolved->volumes.empty()) {
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
  } else if (options.mode != "fast") {
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
  if (!ResolveForCommand(options.source, &session->resolved, exitCode)) return false;
  if (mode == jobs::ScanMode::kDeep && session->resolved.wholeDisk) {
    // A deep scan of a disk also reads what no partition covers: a deleted or lost partition lies there.
    auto spaces =
        storage::UnpartitionedSpaces(session->resolved.volumes, session->resolved.byteLength, kMinUnpartitioned);
    for (auto& space : spaces) session->resolved.volumes.push_back(std::move(space));
  }

  InstallInterruptHandler();
  session->sources = jobs::MakeScanSources(session->resolved.volumes);
  {
    CCliView view(CCliView::Layout::kScan, quiet);
    // Without an answer given, a person at a terminal is asked; anyone else gets a new scan.
    const jobs::ResumePolicy resume = options.resume == "yes"  ? jobs::ResumePolicy::kResume
                                      : options.resume == "no" ? jobs::ResumePolicy::kRestart
                                      : view.CanAsk()          ? jobs::ResumePolicy::kAsk
                                                               : jobs::ResumePolicy::kRestart;
    jobs::CScanJob scan({session->sources, mode, reuse, resume}, view, &Texts());
    if (scan.Start() != platform::kStatusOk) {
      PrintError(platform::ErrorText(platform::kErrorBusy));
      *exitCode = kExitFailed;
      return false;
    }
    const jobs::JobResult result = RunToEnd(scan);
    view.ClearLine();
    session->cancelled = result == jobs::JobResult::kCancelled;
    if (session->cancelled) PrintError(Tr("ScanCancelled"));
  }
  for (const auto& s : session->sources) {
    // A deep scan kept before its end: how to go on with it.
    if (mode == jobs::ScanMode::kDeep && s->storeKept && s->outcome != jobs::SourceOutcome::kScanned &&
        s->outcome != jobs::SourceOutcome::kReused) {
      PrintError(Tr("ResumeHint"));
      break;
    }
  }
  bool anyEngine = false;
  for (const auto& s : session->sources) {
    anyEngine = anyEngine || s->engine != nullptr;
    if (s->outcome == jobs::SourceOutcome::kNotStored) PrintError(Tr("NothingStored", {s->target.label}));
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
    PrintError(platform::ErrorText(platform::kErrorBusy));
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

std::string Marks(const engine::ItemRecord& item) {
  std::string marks;
  if (IsDeletedItem(item)) marks += "deleted";
  if (item.isFolder == 0 && !engine::IsIntact(item)) {
    if (!marks.empty()) marks += ",";
    marks += engine::StateWord(engine::StateOf(item));
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
