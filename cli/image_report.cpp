// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/image_report.h"

#include <cstdio>

#include "cli/cli_texts.h"
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
  std::printf("%s\n", Tr("Container",
                         {what, static_cast<unsigned long long>(info.mediaBytes),
                          static_cast<unsigned long long>(info.mediaBytes / info.bytesPerSector), info.bytesPerSector})
                          .c_str());
  if (info.files.size() > 4) {
    std::printf("%s\n", Tr("ReadsAlsoMany", {info.files[1], info.files.back(), info.files.size() - 1}).c_str());
  } else {
    for (size_t i = 1; i < info.files.size(); ++i) std::printf("%s\n", Tr("ReadsAlso", {info.files[i]}).c_str());
  }
  if (!info.storedMd5.empty()) std::printf("%s\n", Tr("StoredMd5", {info.storedMd5}).c_str());
  if (!info.storedSha1.empty()) std::printf("%s\n", Tr("StoredSha1", {info.storedSha1}).c_str());
  if (!info.damage.empty()) std::printf("%s\n", Tr("Warning", {info.damage}).c_str());
}

std::string WithSourceFailure(const std::string& text) {
  std::string failure = storage::TakeSourceFailure();
  return failure.empty() ? text : text + " (" + failure + ")";
}

}  // namespace cli
