// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// tests/fixtures/<name>.
std::string FixturePath(const std::string& name);
// Unpacks tests/fixtures/<name>.gz (once per build) and returns the raw
// file's path in the build's work folder; empty when the fixture is missing.
std::string UnpackedFixture(const std::string& gzName);
// ../shared/testdata/<relative>, or empty when that folder is not there
// (a fresh clone has none).
std::string SharedTestData(const std::string& relative);
// Unpacks a .gz from ../shared/testdata; empty when absent.
std::string UnpackedSharedTestData(const std::string& gzRelative);

// A fresh folder below the build's work folder, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }  // ends in "/"
 private:
  std::string m_path;
};

// Points XDG_DATA_HOME at a temporary folder for the test's lifetime.
class ScopedDataHome {
 public:
  ScopedDataHome();
  ~ScopedDataHome();
  const std::string& path() const { return m_dir.path(); }

 private:
  TempDir m_dir;
  std::string m_old;
  bool m_hadOld = false;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::string Sha256OfFile(const std::string& path);
std::string Sha256OfBytes(const std::vector<uint8_t>& bytes);

// One row of a fixture manifest (tab-separated, '#' comments, header line).
struct ManifestRow {
  std::string path;    // "/dir/name"
  std::string size;    // bytes, or "-" for folders
  std::string sha256;  // or "-"
  std::string state;   // "live" or "deleted"
  std::string note;
  std::vector<std::string> extra;  // further columns, if any
};
std::vector<ManifestRow> ReadManifest(const std::string& path);

// Runs a shell command; returns its exit status and stdout (stderr into *err when given).
int RunCommand(const std::string& command, std::string* out, std::string* err = nullptr);

// path of the file name in this process's preview session folder
// (platform::SessionFolder), where ExtractItem puts temporary files.
std::string SessionFile(const std::string& name);

// The built quellmoor executable.
std::string CliPath();

}  // namespace testing_support
