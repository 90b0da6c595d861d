// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/scan_job.h"

#include "engine/engine_factory.h"
#include "engine/store/scan_index.h"

namespace jobs {
namespace {

struct ScanContext {
  const ScanSource* source;
  IScanObserver* observer;
  const std::atomic<bool>* cancel;
};

int32_t OnScanProgress(void* userData, int32_t percent, int32_t weight, int32_t, uint64_t, uint64_t,
                       uint64_t filesFound, int32_t) {
  auto* context = static_cast<ScanContext*>(userData);
  if (context->cancel != nullptr && context->cancel->load()) return platform::kStatusCancelled;
  if (context->observer != nullptr) context->observer->OnProgress(*context->source, percent * weight / 100, filesFound);
  return 0;
}

}  // namespace

std::vector<ScanSource> MakeScanSources(const storage::ResolvedSource& resolved) {
  std::vector<ScanSource> sources;
  for (const auto& v : resolved.volumes) {
    ScanSource s;
    s.target = v.target;
    sources.push_back(std::move(s));
  }
  return sources;
}

platform::Status RunScanJob(std::vector<ScanSource>& sources, ScanMode mode, IScanObserver* observer,
                            const std::atomic<bool>* cancel) {
  const int32_t professional = mode == ScanMode::kDeep ? 1 : 0;
  for (size_t i = 0; i < sources.size(); ++i) {
    ScanSource& source = sources[i];
    if (cancel != nullptr && cancel->load()) return platform::kStatusCancelled;
    if (observer != nullptr) observer->OnSourceStarted(source, i, sources.size());
    const storage::VolumeTarget& t = source.target;
    source.engine = t.isImage ? engine::CreateEngineForImage(t.imagePath, t.driveLetter, professional)
                              : engine::CreateEngineForPartition(t.diskNumber, t.startSector, t.sectorCount,
                                                                 t.driveLetter, professional);
    if (!source.engine) {
      source.status = platform::kErrorGenFailure;
      source.error = "no FAT or NTFS file system that this mode can read";
    } else {
      engine::store::ScanIndex::Instance().NewScanFolder();
      ScanContext context{&source, observer, cancel};
      (void)source.engine->SetProgressCallbacks(OnScanProgress, nullptr, &context, 100);
      source.status = source.engine->Scan(nullptr);
      (void)source.engine->SetProgressCallbacks(nullptr, nullptr, nullptr, 100);
    }
    if (observer != nullptr) observer->OnSourceFinished(source);
    if (source.status == platform::kStatusCancelled) return platform::kStatusCancelled;
  }
  return platform::kStatusOk;
}

}  // namespace jobs
