// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/image_report.h"
#include "cli/session.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/volume_head.h"
#include "platform/disk_table.h"
#include "platform/error.h"
#include "storage/disk_list.h"

namespace cli {
namespace {

using jobs::EscapeForDisplay;

// A partition as the system knows it: its device node ("/dev/sdb1"); "-" on a disk image.
std::string DeviceText(const storage::VolumeTarget& target) {
  return target.devicePath.empty() ? std::string("-") : EscapeForDisplay(target.devicePath);
}

// The file system the engines would see (the first 16 KiB), and what the
// volume holds for the user: an encrypted volume is named encrypted first,
// whatever the bytes around its header look like.
void ViewOf(const storage::VolumeTarget& target, uint64_t byteLength, const std::string& probed, std::string* engines,
            std::string* fileSystem) {
  jobs::VolumeHead head;
  const platform::Status s = jobs::ReadVolumeHead(target, &head);
  *fileSystem = probed;
  if (s != platform::kStatusOk) {
    *engines = Tr("Unreadable", {ErrorText(&Texts(), s)});
  } else if (byteLength < engine::kClassifyBytes) {
    *engines = Tr("TooShort");
  } else {
    *engines = std::string(engine::VolumeKindName(head.kind));
  }
  if (s == platform::kStatusOk && !head.encryption.empty()) *fileSystem = Tr("EncryptedWith", {head.encryption});
  if (fileSystem->empty()) *fileSystem = s == platform::kStatusOk ? head.fileSystem : "-";
}

}  // namespace

int RunProbe(const std::string& sourceText) {
  storage::ResolvedSource resolved;
  int exitCode = kExitOk;
  if (!ResolveForCommand(sourceText, &resolved, &exitCode)) return exitCode;
  if (resolved.byteLength == 0) {
    PrintError(Tr("EmptySource", {sourceText}));
    return kExitFailed;
  }
  std::printf(
      "%s\n",
      Tr("ProbeSource", {EscapeForDisplay(sourceText), static_cast<unsigned long long>(resolved.byteLength)}).c_str());
  PrintImageContainer(sourceText);
  if (!resolved.tableType.empty()) {
    std::printf("%s\n", Tr("ProbeTable", {resolved.tableType == "dos"   ? "MBR"
                                          : resolved.tableType == "gpt" ? "GPT"
                                                                        : resolved.tableType})
                            .c_str());
    std::printf("%-4s %-14s %-12s %-12s %-38s %-9s %s\n", "#", Tr("ColumnDevice").c_str(), Tr("ColumnStart").c_str(),
                Tr("ColumnSectors").c_str(), Tr("ColumnType").c_str(), Tr("ColumnFileSystem").c_str(),
                Tr("ColumnEngines").c_str());
  }
  for (const auto& entry : resolved.volumes) {
    const storage::VolumeTarget& v = entry.target;
    std::string kind, fileSystem;
    ViewOf(v, v.isImage ? resolved.byteLength : v.ByteLength(), entry.fileSystem, &kind, &fileSystem);
    if (v.isImage) {
      std::printf("%s\n",
                  Tr("ProbeWholeFile", {static_cast<unsigned long long>(v.sectorCount), v.sectorSize, fileSystem, kind})
                      .c_str());
    } else {
      std::printf("%-4d %-14s %-12llu %-12llu %-38s %-9s %s\n", v.partitionNumber, DeviceText(v).c_str(),
                  static_cast<unsigned long long>(v.startSector), static_cast<unsigned long long>(v.sectorCount),
                  v.partitionType.c_str(), fileSystem.c_str(), kind.c_str());
    }
  }
  if (!resolved.tableType.empty() && resolved.volumes.empty()) std::printf("%s\n", Tr("NoPartitions").c_str());
  return kExitOk;
}

int RunDisks(bool json) {
  storage::CDiskList list;
  list.Refresh();
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& d : list.Disks()) {
      nlohmann::json volumes = nlohmann::json::array();
      for (const auto& v : d.volumes) {
        const uint64_t start = v.target.startSector, count = v.target.sectorCount;
        volumes.push_back({{"partition", v.target.partitionNumber},
                           {"source", "disk:" + std::to_string(d.diskNumber) +
                                          (v.target.partitionNumber > 0 ? ":" + std::to_string(v.target.partitionNumber)
                                                                        : std::string())},
                           {"device", v.target.devicePath},
                           {"startSector", start},
                           {"sectorCount", count},
                           {"bytes", v.byteSize},
                           {"fileSystem", v.fileSystem},
                           {"label", v.label},
                           {"description", v.description},
                           {"mountPoint", v.mountPoint}});
      }
      out.push_back({{"disk", d.diskNumber},
                     {"path", d.path},
                     {"model", d.model},
                     {"bytes", d.byteLength},
                     {"sectorSize", d.sectorSize},
                     {"removable", d.removable},
                     {"partitionTable", d.tableType},
                     {"error", d.status == platform::kStatusOk ? std::string() : ErrorText(&Texts(), d.status)},
                     {"volumes", volumes}});
    }
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kExitOk;
  }
  if (list.Disks().empty()) {
    std::printf("%s\n", Tr("NoDisks").c_str());
    return kExitOk;
  }
  for (const auto& d : list.Disks()) {
    std::string kind = Msg(d.removable ? "MSG0202" : "MSG0201");
    std::printf("%s %d  %s  %s  %s%s\n", kind.c_str(), d.diskNumber, EscapeForDisplay(d.path).c_str(),
                jobs::SizeText(d.byteLength).c_str(), EscapeForDisplay(d.model).c_str(),
                d.status == platform::kStatusOk ? "" : ("  (" + ErrorText(&Texts(), d.status) + ")").c_str());
    for (const auto& v : d.volumes) {
      const std::string source = "disk:" + std::to_string(d.diskNumber) +
                                 (v.target.partitionNumber > 0 ? ":" + std::to_string(v.target.partitionNumber) : "");
      std::printf("  %-14s %-10s %-8s %-20s %10s  %s\n", DeviceText(v.target).c_str(), source.c_str(),
                  v.fileSystem.empty() ? "-" : v.fileSystem.c_str(), EscapeForDisplay(v.description).c_str(),
                  jobs::SizeText(v.byteSize).c_str(),
                  v.mountPoint.empty() ? "" : EscapeForDisplay(Tr("MountedAt", {v.mountPoint})).c_str());
    }
  }
  return kExitOk;
}

}  // namespace cli
