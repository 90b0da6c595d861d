// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/scan_session.h"

#include <cstdio>

#include "cli/terminal.h"
#include "platform/error.h"
#include "platform/file_time.h"

namespace cli {
namespace {

class ScanProgressView final : public jobs::IScanObserver {
 public:
  void OnSourceStarted(const jobs::ScanSource& source, size_t index, size_t count) override {
    m_prefix = "scanning " + source.target.label;
    if (count > 1) m_prefix += " (" + std::to_string(index + 1) + "/" + std::to_string(count) + ")";
    m_line.Show(m_prefix + "...");
  }
  void OnProgress(const jobs::ScanSource&, int32_t percent, uint64_t filesFound) override {
    std::string text = m_prefix + ": " + std::to_string(percent) + "%";
    if (filesFound > 0) text += ", " + std::to_string(filesFound) + " files";
    m_line.Show(text);
  }
  void OnSourceFinished(const jobs::ScanSource& source) override {
    m_line.Clear();
    if (!source.engine) {
      std::fprintf(stderr, "quellmoor: %s: %s\n", source.target.label.c_str(), source.error.c_str());
    } else if (source.status != platform::kStatusOk && source.status != platform::kStatusCancelled) {
      std::fprintf(stderr, "quellmoor: %s: scan stopped: %s\n", source.target.label.c_str(),
                   platform::ErrorText(source.status).c_str());
    }
  }

 private:
  ProgressLine m_line;
  std::string m_prefix;
};

}  // namespace

std::string FormatFileTime(uint64_t fileTime) {
  platform::SystemTime t;
  if (fileTime == 0 || !platform::FileTimeToSystemTime(fileTime, &t)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

bool ScanAndCollect(const ScanOptions& options, std::vector<jobs::ScanSource>* sources,
                    std::vector<jobs::FoundFile>* files, bool* cancelled, int* exitCode) {
  *cancelled = false;
  jobs::ScanMode mode;
  if (options.mode == "fast") {
    mode = jobs::ScanMode::kFast;
  } else if (options.mode == "deep") {
    std::fprintf(stderr, "quellmoor: deep mode is not available yet\n");
    *exitCode = kExitUsage;
    return false;
  } else {
    std::fprintf(stderr, "quellmoor: unknown mode '%s': use fast or deep\n", options.mode.c_str());
    *exitCode = kExitUsage;
    return false;
  }
  std::string pattern, error;
  if (!jobs::BuildSearchPattern(options.types, &pattern, &error)) {
    std::fprintf(stderr, "quellmoor: %s\n", error.c_str());
    *exitCode = kExitUsage;
    return false;
  }
  storage::ResolvedSource resolved;
  platform::Status s = storage::ResolveSource(options.source, &resolved, &error);
  if (s != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor: %s\n", error.c_str());
    *exitCode = s == platform::kStatusInvalidParameter ? kExitUsage : kExitFailed;
    return false;
  }
  if (resolved.volumes.empty()) {
    std::fprintf(stderr, "quellmoor: '%s' holds no volume to scan\n", options.source.c_str());
    *exitCode = kExitFailed;
    return false;
  }
  InstallCancelHandler();
  *sources = jobs::MakeScanSources(resolved);
  ScanProgressView view;
  if (jobs::RunScanJob(*sources, mode, &view, &CancelFlag()) == platform::kStatusCancelled) {
    *cancelled = true;
    std::fprintf(stderr, "quellmoor: scan cancelled; showing what was found so far\n");
  }
  // What was found is collected even after a cancel: the collection itself is quick.
  CancelFlag().store(false);
  (void)jobs::CollectFiles(*sources, pattern, files, nullptr);
  bool anyEngine = false;
  for (const auto& src : *sources) anyEngine = anyEngine || src.engine != nullptr;
  if (!anyEngine) {
    *exitCode = kExitFailed;
    return false;
  }
  return true;
}

}  // namespace cli
