// SPDX-License-Identifier: GPL-3.0-or-later
// Only a few places may write files, and all of them go through platform/:
// the result store in the data folder, the copy-out of recovered files and
// previews into the output or session folder, the image writer, and the
// user's settings file. Sources are opened read-only, in platform/ alone.
// This reads the sources of every layer above platform/ and fails on a
// write primitive anywhere else, so a new writer is a decision someone
// makes on purpose (adding it here with its reason).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace hardening {
namespace {

namespace fs = std::filesystem;

const std::string kSourceDir = QUELLMOOR_SOURCE_DIR;

// Files above platform/ that may open files for writing, and why.
const std::map<std::string, std::string>& AllowedWriters() {
  static const std::map<std::string, std::string> allowed{
      {"engine/store/record_file.h", "the result store: the record file"},
      {"engine/store/record_file.cpp", "the result store: the record file"},
      {"engine/store/scan_store.cpp", "the result store: relation, folder-name and layout files"},
      {"engine/store/scan_index.cpp", "the result store: the scan index"},
      {"engine/deep/deep_scan_state.h", "the result store: the deep scan's state and replay log"},
      {"engine/deep/deep_scan_state.cpp", "the result store: the deep scan's state and replay log"},
      {"jobs/stored_scans.cpp", "the result store: the source a kept scan was made of"},
      {"engine/item_copy_out.cpp", "the output writer: a recovered or previewed file"},
      {"engine/recovered_file.h", "the output writer: a recovered file below the output folder"},
      {"engine/recovered_file.cpp", "the output writer: a recovered file below the output folder"},
      {"engine/commit_batch.h", "the output writer: recovered files waiting for their names"},
      {"engine/commit_batch.cpp", "the output writer: recovered files waiting for their names"},
      {"cli/preview_command.cpp", "the output writer: the preview's files below its folder"},
      {"jobs/image_job.cpp", "the image writer and its bad-sector map"},
      {"app/ini_file.cpp", "the user's settings (config.ini in the config folder)"},
  };
  return allowed;
}

// What opens a file for writing (or writes through a descriptor).
const std::regex& WritePrimitive() {
  static const std::regex pattern(
      R"(OutputFile|CreateNewFileBelow|std::ofstream|std::fstream|std::basic_ofstream|\bfopen\s*\(|\bfreopen\s*\()"
      R"(|\bO_WRONLY\b|\bO_RDWR\b|\bO_CREAT\b|\bO_TRUNC\b|\bcreat\s*\(|::open\s*\(|\bopenat\s*\(|\bpwrite\w*\s*\()"
      R"(|::write\s*\(|\bftruncate\s*\(|\bmmap\s*\(|_OPEN_WRITE|_ACCESS_FLAG_WRITE)");
  return pattern;
}

// The line without its // comment (a comment may name what it does not do).
std::string Code(const std::string& line) {
  const size_t comment = line.find("//");
  return comment == std::string::npos ? line : line.substr(0, comment);
}

TEST(WritePaths, NothingAbovePlatformOpensFilesForWritingOutsideTheKnownWriters) {
  if (!fs::is_directory(kSourceDir + "/engine")) GTEST_SKIP() << "the sources are not beside the build";
  std::vector<std::string> offenders;
  std::set<std::string> writersSeen;
  size_t filesRead = 0;
  for (const char* layer : {"storage", "engine", "jobs", "app", "cli", "gui"}) {
    const fs::path root = fs::path(kSourceDir) / layer;
    if (!fs::is_directory(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
      const std::string relative = fs::relative(entry.path(), kSourceDir).generic_string();
      std::ifstream in(entry.path());
      std::string line;
      size_t number = 0;
      ++filesRead;
      while (std::getline(in, line)) {
        ++number;
        if (!std::regex_search(Code(line), WritePrimitive())) continue;
        if (AllowedWriters().count(relative) != 0) {
          writersSeen.insert(relative);
          continue;
        }
        offenders.push_back(relative + ":" + std::to_string(number) + ": " + line);
      }
    }
  }
  EXPECT_GT(filesRead, 100u);
  std::ostringstream list;
  for (const std::string& o : offenders) list << "\n  " << o;
  EXPECT_TRUE(offenders.empty()) << "files opened for writing outside the store, output and image writers:"
                                 << list.str();
  // A writer that no longer writes is taken off the list, so the list stays the truth.
  for (const auto& [file, why] : AllowedWriters()) {
    EXPECT_EQ(writersSeen.count(file), 1u) << file << " (" << why << ") no longer writes: remove it from the list";
  }
}

// In platform/, the only descriptors opened for writing belong to the
// writer classes; the raw reader that every source goes through opens read-only.
TEST(WritePaths, SourcesAreOpenedReadOnly) {
  const fs::path reader = fs::path(kSourceDir) / "platform/raw_file_posix.cpp";
  if (!fs::exists(reader)) GTEST_SKIP() << "the sources are not beside the build";
  std::ifstream in(reader);
  std::stringstream text;
  text << in.rdbuf();
  const std::string code = text.str();
  // Every open of a source asks for O_RDONLY...
  std::smatch match;
  std::string rest = code;
  size_t readOnlyOpens = 0;
  const std::regex openCall(R"(::open\s*\(([^;]*)\);)");
  while (std::regex_search(rest, match, openCall)) {
    const std::string args = match[1].str();
    if (args.find("O_RDONLY") != std::string::npos) ++readOnlyOpens;
    rest = match.suffix().str();
  }
  EXPECT_GT(readOnlyOpens, 0u);
  // ...and the writer's modes live in the OutputFile class, nowhere in the reader class.
  const size_t writerStart = code.find("OutputFile::");
  const std::string readerPart = writerStart == std::string::npos ? code : code.substr(0, writerStart);
  for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC"}) {
    EXPECT_EQ(Code(readerPart).find(flag), std::string::npos) << flag << " appears before the writer class";
  }
}

}  // namespace
}  // namespace hardening
