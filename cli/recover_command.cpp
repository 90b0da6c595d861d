// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>

#include "cli/commands.h"
#include "cli/image_report.h"
#include "cli/scan_session.h"
#include "cli/terminal.h"
#include "jobs/recovery_job.h"
#include "platform/error.h"
#include "platform/folders.h"

namespace cli {
namespace {

class RecoveryView final : public jobs::IRecoveryObserver {
 public:
  explicit RecoveryView(size_t total) : m_total(total) {}
  void OnFileProgress(const jobs::FoundFile& file, const std::string&, int32_t percent) override {
    m_line.Show("recovering " + std::to_string(m_done + 1) + "/" + std::to_string(m_total) + " " +
                std::string(file.item.Name()) + ": " + std::to_string(percent) + "%");
  }
  void OnFileDone(const jobs::RecoveryOutcome& outcome) override {
    ++m_done;
    m_line.Clear();
    std::string shown = outcome.destination.empty() ? std::string(outcome.file->item.Name()) : outcome.destination;
    if (outcome.status == platform::kStatusOk) {
      std::printf("recovered  %s (%llu bytes)\n", shown.c_str(),
                  static_cast<unsigned long long>(outcome.file->item.size));
    } else {
      std::printf("FAILED     %s: %s\n", shown.c_str(), WithSourceFailure(platform::ErrorText(outcome.status)).c_str());
    }
    std::fflush(stdout);
  }

 private:
  ProgressLine m_line;
  size_t m_total;
  size_t m_done = 0;
};

}  // namespace

int RunRecover(const ScanOptions& options) {
  if (options.outputFolder.empty()) {
    std::fprintf(stderr, "quellmoor: --out DIR is required\n");
    return kExitUsage;
  }
  if (platform::Status s = platform::CreateDirectories(options.outputFolder); s != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor: cannot create the output folder '%s': %s\n", options.outputFolder.c_str(),
                 platform::ErrorText(s).c_str());
    return kExitFailed;
  }
  std::vector<jobs::ScanSource> sources;
  std::vector<jobs::FoundFile> files;
  bool cancelled = false;
  int exitCode = kExitOk;
  if (!ScanAndCollect(options, &sources, &files, &cancelled, &exitCode)) return exitCode;
  if (cancelled) {
    // The user stopped the run: report what the scan found, copy nothing.
    std::printf("%zu files found before the scan was cancelled; nothing was recovered\n", files.size());
    for (const auto& f : files) {
      std::printf("found      /%s%s\n", f.folderPath.c_str(), std::string(f.item.Name()).c_str());
    }
    return kExitCancelled;
  }
  RecoveryView view(files.size());
  jobs::RecoverySummary summary = jobs::RunRecoveryJob(
      sources, files, options.outputFolder,
      options.tree ? jobs::RecoveryLayout::kTree : jobs::RecoveryLayout::kByCategory, &view, &CancelFlag());
  std::printf("\n%d recovered, %d failed", summary.processed - summary.failed, summary.failed);
  if (summary.cancelled) std::printf(", cancelled after %d of %zu", summary.processed, files.size());
  std::printf(" (output: %s)\n", options.outputFolder.c_str());
  if (cancelled || summary.cancelled) return kExitCancelled;
  return summary.failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace cli
