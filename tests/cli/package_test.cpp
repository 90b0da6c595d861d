// SPDX-License-Identifier: GPL-3.0-or-later
// The Debian package runs where it is installed: its Depends names the
// package of every library its programs load.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string Output(const std::string& command) {
  std::string out, err;
  return testing_support::RunCommand(command, &out, &err) == 0 ? out : std::string();
}

// The package names a Depends field lists, alternatives included, versions left out.
std::set<std::string> PackagesOf(const std::string& depends) {
  std::set<std::string> names;
  std::string name;
  bool inVersion = false;
  for (char c : depends + ",") {
    if (c == '(') inVersion = true;
    if (c == ')') inVersion = false;
    if (inVersion || c == ')' || c == ' ' || c == '\n') continue;
    if (c == ',' || c == '|') {
      if (!name.empty()) names.insert(name.substr(0, name.find(':')));
      name.clear();
      continue;
    }
    name.push_back(c);
  }
  return names;
}

TEST(Package, DependsCoversEveryLibraryTheProgramsLoad) {
  for (const char* tool : {"cpack", "dpkg-shlibdeps", "dpkg-deb", "dpkg-query", "objdump", "ldd"}) {
    if (Output(std::string("command -v ") + tool).empty())
      GTEST_SKIP() << tool << " is not installed: no package is built";
  }
  testing_support::TempDir dir;
  std::string out, err;
  ASSERT_EQ(
      testing_support::RunCommand(
          "cd '" + std::string(QUELLMOOR_BUILD_DIR) + "' && cpack -G DEB -B '" + dir.path() + "' 2>&1", &out, &err),
      0)
      << out << err;
  std::string deb;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    if (e.path().extension() == ".deb") deb = e.path().string();
  }
  ASSERT_FALSE(deb.empty()) << out;
  const std::set<std::string> depends = PackagesOf(Output("dpkg-deb -f '" + deb + "' Depends"));
  ASSERT_FALSE(depends.empty());
  EXPECT_NE(Output("dpkg-deb -f '" + deb + "' Recommends").find("poppler-utils"), std::string::npos);

  // Every shared library the built programs load themselves (their NEEDED entries; what those load in
  // turn their own packages depend on), by the package that holds it.
  std::vector<std::string> programs = {QUELLMOOR_BUILD_DIR "/quellmoor"};
  if (fs::exists(QUELLMOOR_BUILD_DIR "/quellmoor-gui")) programs.push_back(QUELLMOOR_BUILD_DIR "/quellmoor-gui");
  std::set<std::string> needed;
  for (const std::string& program : programs) {
    std::set<std::string> direct;
    std::istringstream dynamic(Output("objdump -p '" + program + "'"));
    for (std::string line; std::getline(dynamic, line);) {
      std::istringstream words(line);
      std::string tag, name;
      if (words >> tag >> name && tag == "NEEDED") direct.insert(name);
    }
    ASSERT_FALSE(direct.empty()) << program;
    std::istringstream lines(Output("ldd '" + program + "'"));
    for (std::string line; std::getline(lines, line);) {
      const size_t arrow = line.find(" => /");
      if (arrow == std::string::npos) continue;
      std::string soname = line.substr(0, arrow);
      soname.erase(0, soname.find_first_not_of(" \t"));
      if (direct.count(soname) == 0) continue;
      const std::string library = line.substr(arrow + 4, line.find(" (", arrow) - arrow - 4);
      const std::string owner = Output("dpkg-query -S '" + fs::canonical(library).string() + "' 2>/dev/null");
      if (owner.empty()) continue;  // a library of no package (built here)
      needed.insert(owner.substr(0, owner.find(':')));
    }
  }
  ASSERT_FALSE(needed.empty());
  for (const std::string& package : needed) EXPECT_EQ(depends.count(package), 1u) << package << " is not in Depends";
  // The programs load the container libraries and, for the wizard, Qt.
  for (const char* library : {"libewf", "libvhdi", "libvmdk", "libqcow"}) {
    bool named = false;
    for (const std::string& d : depends) named = named || d.rfind(library, 0) == 0;
    EXPECT_TRUE(named) << library;
  }
}

}  // namespace
