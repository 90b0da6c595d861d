// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/folders.h"

namespace testing_support {
namespace fs = std::filesystem;

namespace {

std::string WorkDir() {
  std::string dir = QUELLMOOR_TEST_WORK_DIR;
  fs::create_directories(dir);
  return dir + "/";
}

std::string Unpack(const std::string& gzPath, const std::string& tag) {
  if (!fs::exists(gzPath)) return {};
  std::string name = fs::path(gzPath).filename().string();
  if (name.size() > 3 && name.substr(name.size() - 3) == ".gz") name.resize(name.size() - 3);
  std::string target = WorkDir() + tag + "_" + name;
  if (fs::exists(target) && fs::last_write_time(target) >= fs::last_write_time(gzPath)) return target;
  // Unpack beside the target and rename, so parallel tests never see half a file.
  std::string temp = target + ".tmp" + std::to_string(::getpid());
  std::string command = "gzip -dc '" + gzPath + "' > '" + temp + "'";
  if (std::system(command.c_str()) != 0) {
    fs::remove(temp);
    return {};
  }
  fs::rename(temp, target);
  return target;
}

}  // namespace

std::string FixturePath(const std::string& name) {
  return std::string(QUELLMOOR_FIXTURES_DIR) + "/" + name;
}

std::string UnpackedFixture(const std::string& gzName) {
  return Unpack(FixturePath(gzName), "fixture");
}

std::string SharedTestData(const std::string& relative) {
  std::string path = std::string(QUELLMOOR_SHARED_TESTDATA) + "/" + relative;
  return fs::exists(path) ? path : std::string();
}

std::string UnpackedSharedTestData(const std::string& gzRelative) {
  std::string path = SharedTestData(gzRelative);
  return path.empty() ? std::string() : Unpack(path, "shared");
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  m_path = WorkDir() + "tmp_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "/";
  fs::remove_all(m_path);
  fs::create_directories(m_path);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(m_path, ec);
}

ScopedDataHome::ScopedDataHome() {
  if (const char* old = std::getenv("XDG_DATA_HOME"); old != nullptr) {
    m_old = old;
    m_hadOld = true;
  }
  ::setenv("XDG_DATA_HOME", m_dir.path().c_str(), 1);
}

ScopedDataHome::~ScopedDataHome() {
  if (m_hadOld) {
    ::setenv("XDG_DATA_HOME", m_old.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int RunCommand(const std::string& command, std::string* out, std::string* err) {
  std::string errFile;
  std::string full = command;
  if (err != nullptr) {
    errFile = WorkDir() + "stderr_" + std::to_string(::getpid()) + ".txt";
    full += " 2>'" + errFile + "'";
  }
  FILE* pipe = ::popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 4096> buffer{};
  if (out != nullptr) out->clear();
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    if (out != nullptr) out->append(buffer.data(), n);
  }
  int status = ::pclose(pipe);
  if (err != nullptr) {
    std::ifstream in(errFile);
    std::stringstream ss;
    ss << in.rdbuf();
    *err = ss.str();
    fs::remove(errFile);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Sha256OfFile(const std::string& path) {
  std::string out;
  RunCommand("sha256sum '" + path + "'", &out);
  return out.substr(0, out.find(' '));
}

std::string Sha256OfBytes(const std::vector<uint8_t>& bytes) {
  TempDir dir;
  std::string path = dir.path() + "bytes.bin";
  WriteFileBytes(path, bytes);
  return Sha256OfFile(path);
}

std::vector<ManifestRow> ReadManifest(const std::string& path) {
  std::vector<ManifestRow> rows;
  std::ifstream in(path);
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 4) continue;
    ManifestRow row{cols[0], cols[1], cols[2], cols[3], cols.size() > 4 ? cols[4] : "", {}};
    for (size_t i = 5; i < cols.size(); ++i) row.extra.push_back(cols[i]);
    rows.push_back(row);
  }
  return rows;
}

std::string SessionFile(const std::string& name) {
  std::string folder;
  if (platform::SessionFolder(&folder) != platform::kStatusOk) ADD_FAILURE() << "no session folder";
  return folder + name;
}

std::string CliPath() {
  return QUELLMOOR_CLI_PATH;
}

}  // namespace testing_support
