// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/crash_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "platform/folders.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

TEST(CrashHandler, NamesDumpsByLocalTimeUnpadded) {
  EXPECT_EQ(CrashDumpName(2026, 3, 7, 9, 5, 12), "2026-3-7&9-5-12.dmp");
  EXPECT_EQ(CrashDumpName(2026, 12, 31, 23, 59, 0), "2026-12-31&23-59-0.dmp");
}

// A crashing process writes one dump into the folder (made on demand) and
// still dies of its signal.
TEST(CrashHandler, AFaultWritesADumpAndEndsTheProcess) {
  testing_support::TempDir dir;
  const std::string folder = dir.path() + "data/Quellmoor/D-Error/";  // made at the crash, parents too
  for (int sig : {SIGSEGV, SIGABRT}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (InstallCrashHandler(folder) != kStatusOk) ::_exit(2);
      ::raise(sig);
      ::_exit(3);  // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the process must still die of its signal";
    EXPECT_EQ(WTERMSIG(status), sig);
    const std::vector<std::string> dumps = ListFolder(folder);
    ASSERT_FALSE(dumps.empty());
    const std::regex pattern(R"(\d{4}-\d{1,2}-\d{1,2}&\d{1,2}-\d{1,2}-\d{1,2}\.dmp)");
    bool found = false;
    for (const std::string& name : dumps) {
      ASSERT_TRUE(std::regex_match(name, pattern)) << name;
      std::ifstream in(folder + name);
      std::stringstream text;
      text << in.rdbuf();
      if (text.str().find("signal " + std::to_string(sig) + " ") != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << "no dump names signal " << sig;
  }
  EXPECT_EQ(InstallCrashHandler(std::string(5000, 'x')), kStatusInvalidParameter);
}

// The data folder moved off a drive being recovered: a crash after that
// writes its dump where the data folder is now, not onto that drive.
TEST(CrashHandler, DumpsMoveWithTheDataFolder) {
  testing_support::TempDir dir;
  const std::string first = dir.path() + "on-the-card/D-Error/";
  const std::string moved = dir.path() + "moved/D-Error/";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (InstallCrashHandler(first) != kStatusOk || MoveCrashDumpFolder(moved) != kStatusOk) ::_exit(2);
    ::raise(SIGSEGV);
    ::_exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ListFolder(moved).size(), 1u);
  EXPECT_FALSE(PathExists(first));
}

}  // namespace
}  // namespace platform
