// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <sys/stat.h>

#include <map>
#include <string>

#include "tests/support/test_support.h"

namespace jobs::testing {

// tests/fixtures/preview_docs.tar.gz unpacked once per test program; the
// folder holding the samples (ending in "/"), or empty when the fixture is
// missing.
inline std::string PreviewDocs() {
  static const std::string folder = [] {
    const std::string archive = testing_support::FixturePath("preview_docs.tar.gz");
    static testing_support::TempDir dir;
    std::string out;
    if (testing_support::RunCommand("tar -C '" + dir.path() + "' -xzf '" + archive + "' 2>&1", &out) != 0) {
      return std::string();
    }
    return dir.path() + "preview_docs/";
  }();
  return folder;
}

// The sha256 of each sample, from preview_docs/MANIFEST.tsv.
inline std::map<std::string, std::string> PreviewDocHashes() {
  std::map<std::string, std::string> hashes;
  std::string out;
  testing_support::RunCommand("grep -v '^#' '" + PreviewDocs() + "MANIFEST.tsv' | tail -n +2 | cut -f1,3", &out);
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) hashes[line.substr(0, tab)] = line.substr(tab + 1);
    start = end + 1;
  }
  return hashes;
}

// Whether program can be found in PATH; "7z|7zz": either of them.
inline bool HaveProgram(const std::string& programs) {
  size_t start = 0;
  while (start <= programs.size()) {
    size_t bar = programs.find('|', start);
    if (bar == std::string::npos) bar = programs.size();
    std::string out;
    const std::string program = programs.substr(start, bar - start);
    if (testing_support::RunCommand("command -v '" + program + "' >/dev/null 2>&1", &out) == 0) return true;
    start = bar + 1;
  }
  return false;
}

// Writes an executable shell script.
inline std::string WriteScript(const std::string& path, const std::string& body) {
  testing_support::WriteFileBytes(path, std::vector<uint8_t>(body.begin(), body.end()));
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace jobs::testing

#define QM_NEED_PROGRAM(program)                                                              \
  do {                                                                                        \
    if (!::jobs::testing::HaveProgram(program)) {                                             \
      GTEST_SKIP() << (program) << " is not installed (scripts/install-deps.sh installs it)"; \
    }                                                                                         \
  } while (0)
