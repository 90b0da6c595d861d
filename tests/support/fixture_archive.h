// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

// Unpacks tests/fixtures/<relative> (a .tar.gz) once per build into a folder
// of the build's work folder and returns that folder, ending in "/"; empty
// when the archive is missing. Sparse files stay sparse. Shared by every
// test: never change its files; copy them first (CopyFolderFiles).
std::string UnpackedFixtureArchive(const std::string& relative);

// Copies the files of folder into target (created when missing), keeping holes.
void CopyFolderFiles(const std::string& folder, const std::string& target);

// One row of tests/fixtures/containers/MANIFEST.tsv.
struct ContainerFixture {
  std::string archive;  // "fat16_e01": containers/<archive>.tar.gz
  std::string open;     // the file to open in the unpacked folder: "fat16.E01"
  std::string kind;     // "E01", "VHD", "VHDX", "VMDK", "QCOW2"
  std::string holds;    // the raw fixture the media holds ("fat16"), or "disk_split"
  uint64_t mediaBytes = 0;
  std::string mediaSha256;
  std::string note;
};
std::vector<ContainerFixture> ReadContainerFixtures();
// Test names and messages show a fixture by its archive name.
inline void PrintTo(const ContainerFixture& fixture, std::ostream* os) {
  *os << fixture.archive;
}

// The unpacked path of a container fixture's file to open; empty when missing.
std::string ContainerFixturePath(const ContainerFixture& fixture);

}  // namespace testing_support
