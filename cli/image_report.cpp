// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/image_report.h"

#include <cstdio>

#include "platform/folders.h"
#include "storage/image_container.h"
#include "storage/source_failure.h"

namespace cli {

void PrintImageContainer(const std::string& source) {
  if (source.rfind("disk:", 0) == 0 || !platform::PathExists(source)) return;
  storage::ContainerInfo info;
  std::string error;
  if (storage::DescribeImage(source, &info, &error) != platform::kStatusOk ||
      info.kind == storage::ContainerKind::kRaw) {
    return;
  }
  std::string what = storage::ContainerKindName(info.kind);
  if (!info.detail.empty()) what += ", " + info.detail;
  std::printf("container: %s; media %llu bytes (%llu sectors of %u bytes)\n", what.c_str(),
              static_cast<unsigned long long>(info.mediaBytes),
              static_cast<unsigned long long>(info.mediaBytes / info.bytesPerSector), info.bytesPerSector);
  if (info.files.size() > 4) {
    std::printf("  reads also: %s ... %s (%zu files)\n", info.files[1].c_str(), info.files.back().c_str(),
                info.files.size() - 1);
  } else {
    for (size_t i = 1; i < info.files.size(); ++i) std::printf("  reads also: %s\n", info.files[i].c_str());
  }
  if (!info.storedMd5.empty()) std::printf("stored MD5:  %s\n", info.storedMd5.c_str());
  if (!info.storedSha1.empty()) std::printf("stored SHA1: %s\n", info.storedSha1.c_str());
  if (!info.damage.empty()) std::printf("warning: %s\n", info.damage.c_str());
}

std::string WithSourceFailure(const std::string& text) {
  std::string failure = storage::TakeSourceFailure();
  return failure.empty() ? text : text + " (" + failure + ")";
}

}  // namespace cli
