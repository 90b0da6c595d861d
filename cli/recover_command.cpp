// SPDX-License-Identifier: GPL-3.0-or-later
#include <fnmatch.h>

#include <cstdio>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/message_keys.h"
#include "jobs/recovery_job.h"
#include "platform/error.h"
#include "platform/folders.h"

namespace cli {
namespace {

using jobs::EscapeForDisplay;

// A found path matches a pattern written with or without its leading "/".
bool Selected(const jobs::FoundItem& f, const std::vector<std::string>& patterns) {
  if (patterns.empty()) return true;
  const std::string path = "/" + f.folderPath + std::string(f.item.Name());
  for (const auto& p : patterns) {
    if (::fnmatch(p.c_str(), path.c_str(), 0) == 0 || ::fnmatch(p.c_str(), path.c_str() + 1, 0) == 0) return true;
  }
  return false;
}

}  // namespace

int RunRecover(const ScanOptions& options) {
  if (options.outputFolder.empty()) {
    PrintError(Tr("NeedOut"));
    return kExitUsage;
  }
  // The output folder is checked before anything is read, and made only when files come.
  const platform::PathKind outKind = platform::KindOfPath(options.outputFolder);
  if (outKind != platform::PathKind::kMissing && outKind != platform::PathKind::kFolder) {
    PrintError(Tr("OutNotFolder", {options.outputFolder, platform::PathKindWord(outKind)}));
    return kExitUsage;
  }

  Session session;
  int exitCode = kExitOk;
  if (!ScanAndCollect(options, options.reuse ? jobs::ReusePolicy::kReuse : jobs::ReusePolicy::kFresh, true, &session,
                      &exitCode)) {
    return exitCode;
  }
  // Writing onto the medium being recovered could overwrite what is sought.
  const jobs::ScanSourceList holding = jobs::SourcesHoldingFolder(session.sources, options.outputFolder);
  if (!holding.empty()) {
    PrintError(Msg("MSG0805"));
    PrintError(Tr("OutOnSource", {options.outputFolder, holding.front()->target.label}));
    return kExitFailed;
  }
  if (session.cancelled) {
    // The user stopped the run: report what the scan found, copy nothing.
    std::printf("%s\n",
                Tr("CancelledNothingRecovered", {static_cast<unsigned long long>(session.files.size())}).c_str());
    for (const auto& f : session.files) {
      std::printf("%s /%s\n", Tr("Found").c_str(), EscapeForDisplay(f.folderPath + std::string(f.item.Name())).c_str());
    }
    return kExitCancelled;
  }
  std::vector<jobs::FoundItem> chosen;
  for (auto& f : session.files) {
    if (Selected(f, options.select)) chosen.push_back(std::move(f));
  }
  if (chosen.empty()) {
    std::printf("%s\n", Tr("NothingToRecover").c_str());
    return kExitOk;
  }

  InterruptFlag().store(false);
  CCliView view(CCliView::Layout::kRecovery);
  jobs::CRecoveryJob job({std::move(chosen), options.outputFolder,
                          options.tree ? jobs::RecoveryLayout::kTree : jobs::RecoveryLayout::kByCategory},
                         view, &Texts());
  if (job.Start() != platform::kStatusOk) {
    PrintError(ErrorText(&Texts(), platform::kErrorBusy));
    return kExitFailed;
  }
  const jobs::JobResult result = RunToEnd(job);
  view.ClearLine();
  for (const auto& o : job.Outcomes()) {
    if (o.status == platform::kStatusOk) {
      std::printf("%s %s (%llu bytes)%s\n", Tr("Recovered").c_str(), EscapeForDisplay(o.destination).c_str(),
                  static_cast<unsigned long long>(o.size), o.note.empty() ? "" : ("  " + o.note).c_str());
    } else {
      std::printf("%s %s: %s%s\n", Tr("Failed").c_str(),
                  EscapeForDisplay(o.destination.empty() ? o.foundPath : o.destination).c_str(),
                  ErrorText(&Texts(), o.status).c_str(), o.note.empty() ? "" : (" (" + o.note + ")").c_str());
    }
  }
  // A job that could not use the output folder at all said why.
  if (result == jobs::JobResult::kFailed && job.OutputStopped() == platform::kStatusOk) return kExitFailed;
  std::printf(
      "\n%s\n",
      Tr("RecoverSummary", {job.Processed() - job.Failed(), job.Failed(), EscapeForDisplay(job.OutputRoot())}).c_str());
  if (result == jobs::JobResult::kCancelled) {
    std::printf("%s\n", Tr("RecoverCancelled", {job.Processed(), job.Total()}).c_str());
    return kExitCancelled;
  }
  if (result != jobs::JobResult::kFinished || job.Failed() != 0) return kExitFailed;
  // Only when every file was saved: then, and only then, the drive may go.
  std::printf("%s\n", Msg(jobs::keys::kSyncedDone).c_str());
  return kExitOk;
}

}  // namespace cli
