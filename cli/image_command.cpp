// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/image_job.h"
#include "platform/error.h"
#include "platform/folders.h"

namespace cli {

int RunImage(const ImageOptions& options) {
  if (options.target.empty()) {
    PrintError(Tr("NeedImageOut"));
    return kExitUsage;
  }
  storage::ResolvedSource resolved;
  int exitCode = kExitOk;
  if (!ResolveForCommand(options.source, &resolved, &exitCode)) return exitCode;

  jobs::ImageSource source;
  if (resolved.wholeDisk) {
    // A disk (disk:N, or a device or file with a partition table): all of it, from sector 0.
    source.wholeDisk = true;
    source.volume.diskNumber = resolved.diskNumber;
    source.volume.diskPath = resolved.diskPath;
    source.volume.sectorSize = resolved.sectorSize;
    source.volume.label = options.source;
    source.byteLength = resolved.byteLength;
  } else {
    // One partition (disk:N:P), a partition device or an image file.
    source.volume = resolved.volumes.front().target;
    source.byteLength = source.volume.isImage ? resolved.byteLength : source.volume.ByteLength();
  }
  if (source.byteLength == 0) {
    PrintError(Tr("EmptySource", {options.source}));
    return kExitFailed;
  }
  const jobs::ImageCheck check = jobs::CheckImageTarget(source, options.target, options.force);
  if (check != jobs::ImageCheck::kOk) {
    PrintError(Msg(jobs::ImageCheckKey(check), {options.target}));
    if (check == jobs::ImageCheck::kTargetExists) PrintError(Tr("UseForce"));
    return check == jobs::ImageCheck::kTargetExists || check == jobs::ImageCheck::kFolderMissing ||
                   check == jobs::ImageCheck::kTargetIsDevice
               ? kExitUsage
               : kExitFailed;
  }

  InstallInterruptHandler();
  CCliView view(CCliView::Layout::kImage, /*quiet=*/true);  // the command says itself that the image is written
  jobs::ImageJobInput input;
  input.source = source;
  input.targetPath = options.target;
  input.keepGoing = options.keepGoing;
  jobs::CImageJob job(std::move(input), view, &Texts());
  if (job.Start() != platform::kStatusOk) {
    PrintError(ErrorText(&Texts(), platform::kErrorBusy));
    return kExitFailed;
  }
  const jobs::JobResult result = RunToEnd(job);
  view.ClearLine();
  switch (result) {
    case jobs::JobResult::kFinished:
      std::printf("%s\n",
                  Tr("ImageDone", {jobs::EscapeForDisplay(options.target), jobs::SizeText(source.byteLength)}).c_str());
      std::printf("%s\n", Tr("ScanImageHint", {jobs::EscapeForDisplay(options.target)}).c_str());
      return kExitOk;
    case jobs::JobResult::kCancelled: return kExitCancelled;
    default:
      if (job.Status() != platform::kStatusReadFault && job.Status() != platform::kStatusOk) {
        PrintError(ErrorText(&Texts(), job.Status()));
      }
      if (job.Status() == platform::kStatusReadFault) PrintError(Tr("KeepGoingHint"));
      return kExitFailed;
  }
}

}  // namespace cli
