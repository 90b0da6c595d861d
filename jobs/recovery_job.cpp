// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/recovery_job.h"

#include <filesystem>

#include "engine/categories.h"
#include "engine/output_path.h"
#include "engine/safe_name.h"
#include "platform/folders.h"

namespace jobs {
namespace {

struct CopyContext {
  const FoundFile* file;
  const std::string* destination;
  IRecoveryObserver* observer;
  const std::atomic<bool>* cancel;
};

int32_t OnCopyProgress(void* userData, int32_t percent, int32_t, int32_t, const char*) {
  auto* context = static_cast<CopyContext*>(userData);
  if (context->cancel != nullptr && context->cancel->load()) return platform::kStatusCancelled;
  if (context->observer != nullptr) context->observer->OnFileProgress(*context->file, *context->destination, percent);
  return 0;
}

std::string VolumeFolderName(const ScanSource& source, size_t sourceCount) {
  if (sourceCount <= 1) return {};
  if (source.target.isImage) {
    return engine::SafeNameComponent(std::filesystem::path(source.target.imagePath).filename().string());
  }
  return "partition" + std::to_string(source.target.partitionNumber);
}

std::string DestinationOf(const std::vector<ScanSource>& sources, const FoundFile& file, const std::string& root,
                          RecoveryLayout layout) {
  std::string name = engine::SafeNameComponent(file.item.Name());
  std::string folder;
  if (layout == RecoveryLayout::kByCategory) {
    folder = root + "/" + CategoryFolderOf(file.item.Name());
  } else {
    std::string volume = VolumeFolderName(sources[file.sourceIndex], sources.size());
    folder = engine::JoinSafePath(volume.empty() ? root : root + "/" + volume, file.folderPath);
  }
  return folder + "/" + name;
}

}  // namespace

std::string CategoryFolderOf(std::string_view name) {
  std::string_view ext = engine::ExtensionOf(name);
  if (ext.empty()) return "others";
  if (engine::ExtensionInList(ext, engine::kPhotoList)) return "photo";
  if (engine::ExtensionInList(ext, engine::kAudioList)) return "audio";
  if (engine::ExtensionInList(ext, engine::kVideoList)) return "video";
  if (engine::ExtensionInList(ext, engine::kDocumentList)) return "document";
  if (engine::ExtensionInList(ext, engine::kArchiveList)) return "archive";
  return "others";
}

std::string UniquePath(const std::string& path) {
  if (!platform::PathExists(path)) return path;
  size_t slash = path.find_last_of('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) dot = path.size();
  std::string base = path.substr(0, dot), ext = path.substr(dot);
  for (int n = 1;; ++n) {
    std::string candidate = base + "(" + std::to_string(n) + ")" + ext;
    if (!platform::PathExists(candidate)) return candidate;
  }
}

RecoverySummary RunRecoveryJob(std::vector<ScanSource>& sources, const std::vector<FoundFile>& files,
                               const std::string& outputFolder, RecoveryLayout layout, IRecoveryObserver* observer,
                               const std::atomic<bool>* cancel) {
  RecoverySummary summary;
  std::string root = outputFolder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  for (const auto& file : files) {
    if (cancel != nullptr && cancel->load()) {
      summary.cancelled = true;
      break;
    }
    RecoveryOutcome outcome;
    outcome.file = &file;
    ++summary.processed;
    auto& engine = sources[file.sourceIndex].engine;
    std::string wanted = DestinationOf(sources, file, root, layout);
    std::string folder = wanted.substr(0, wanted.find_last_of('/'));
    outcome.status = engine ? platform::CreateDirectories(folder) : platform::kStatusInvalidParameter;
    if (outcome.status == platform::kStatusOk) {
      outcome.destination = UniquePath(wanted);
      CopyContext context{&file, &outcome.destination, observer, cancel};
      (void)engine->SetProgressCallbacks(nullptr, OnCopyProgress, &context, 100);
      outcome.status = engine->RecoverItem(&file.item, outcome.destination, engine::SeparatorCount(root));
      (void)engine->SetProgressCallbacks(nullptr, nullptr, nullptr, 100);
    }
    if (outcome.status != platform::kStatusOk) {
      // A file that did not come back whole is not left behind looking like one.
      if (!outcome.destination.empty() && file.item.isFolder == 0) (void)platform::RemoveFile(outcome.destination);
      ++summary.failed;
    }
    if (observer != nullptr) observer->OnFileDone(outcome);
    if (outcome.status == platform::kStatusCancelled) {
      summary.cancelled = true;
      break;
    }
  }
  return summary;
}

}  // namespace jobs
