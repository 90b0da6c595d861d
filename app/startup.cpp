// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/startup.h"

#include <sys/stat.h>

#include "platform/folders.h"
#include "platform/status.h"

namespace app {

std::string FindResourceFolder(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    if (platform::KindOfPath(folder + "config.ini") == platform::PathKind::kRegularFile &&
        platform::IsDirectory(folder + "Languages")) {
      return folder;
    }
  }
  return {};
}

std::string ForeignOwnedDataPath(const std::string& dataFolder, unsigned uid) {
  auto foreign = [uid](const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_uid != uid;
  };
  if (foreign(dataFolder)) return dataFolder;
  for (const char* name : {"ScanLog", "D-Error"}) {
    if (foreign(dataFolder + name)) return dataFolder + name;
  }
  for (const std::string& name : platform::ListFolder(dataFolder)) {
    if (foreign(dataFolder + name)) return dataFolder + name;
  }
  return {};
}

std::string ForeignOwnedDataText(const std::string& dataFolder, const std::string& path) {
  return "Quellmoor's data folder cannot be used: " + path +
         " belongs to another user, most likely because Quellmoor was once started with sudo. Scan results and "
         "previews cannot be kept there.\n\nGive the folder back to yourself in a terminal:\n  sudo chown -R \"$USER\" "
         "\"" +
         dataFolder +
         "\"\n\nThe window never needs to run as root: to read disks, start \"Quellmoor (read disks as "
         "administrator)\".";
}

bool DeleteLeftoverPreviewVideo() {
  const std::string path = platform::ScanLogFolder() + "tmp.avi";
  if (!platform::PathExists(path)) return true;
  return platform::RemoveFile(path) == platform::kStatusOk;
}

}  // namespace app
