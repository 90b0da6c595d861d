// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/fixture_archive.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/test_support.h"

namespace testing_support {
namespace fs = std::filesystem;

std::string UnpackedFixtureArchive(const std::string& relative) {
  const std::string archive = FixturePath(relative);
  if (!fs::exists(archive)) return {};
  std::string name = fs::path(relative).filename().string();
  if (name.size() > 7 && name.substr(name.size() - 7) == ".tar.gz") name.resize(name.size() - 7);
  const std::string work = QUELLMOOR_TEST_WORK_DIR;
  fs::create_directories(work);
  const std::string target = work + "/archive_" + name;
  std::error_code ec;
  if (fs::exists(target)) {
    if (fs::last_write_time(target) >= fs::last_write_time(archive)) return target + "/";
    fs::remove_all(target, ec);  // the archive was remade
  }
  // Unpack beside the target and rename, so parallel tests never see half a folder.
  const std::string temp = target + ".tmp" + std::to_string(::getpid());
  fs::remove_all(temp);
  fs::create_directories(temp);
  std::string out, err;
  if (RunCommand("tar -xzf '" + archive + "' -C '" + temp + "'", &out, &err) != 0) {
    fs::remove_all(temp);
    return {};
  }
  fs::rename(temp, target, ec);
  if (ec) fs::remove_all(temp);  // another test unpacked it first
  return target + "/";
}

void CopyFolderFiles(const std::string& folder, const std::string& target) {
  fs::create_directories(target);
  std::string out, err;
  RunCommand("cp --sparse=always '" + folder + "'/* '" + target + "/'", &out, &err);
}

std::vector<ContainerFixture> ReadContainerFixtures() {
  std::vector<ContainerFixture> rows;
  std::ifstream in(FixturePath("containers/MANIFEST.tsv"));
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    std::istringstream fields(line);
    ContainerFixture f;
    std::string bytes;
    std::getline(fields, f.archive, '\t');
    std::getline(fields, f.open, '\t');
    std::getline(fields, f.kind, '\t');
    std::getline(fields, f.holds, '\t');
    std::getline(fields, bytes, '\t');
    std::getline(fields, f.mediaSha256, '\t');
    std::getline(fields, f.note, '\t');
    f.mediaBytes = std::stoull(bytes);
    rows.push_back(f);
  }
  return rows;
}

std::string ContainerFixturePath(const ContainerFixture& fixture) {
  std::string folder = UnpackedFixtureArchive("containers/" + fixture.archive + ".tar.gz");
  return folder.empty() ? std::string() : folder + fixture.open;
}

}  // namespace testing_support
