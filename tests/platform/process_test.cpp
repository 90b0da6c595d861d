// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <thread>

#include "platform/folders.h"
#include "platform/process.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

using std::chrono::milliseconds;

bool Alive(pid_t pid) {
  return ::kill(pid, 0) == 0;
}

// Waits (at most about 10 s) until test says yes.
template <typename Test>
bool Eventually(Test test) {
  for (int i = 0; i < 1000; ++i) {
    if (test()) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return test();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text;
}

TEST(RunProcess, EveryArgumentArrivesWholeAndNoShellSeesIt) {
  testing_support::TempDir dir;
  const std::string planted = dir.path() + "planted";
  const std::vector<std::string> hostile = {"$(touch " + planted + ")",
                                            "`touch " + planted + "`",
                                            "; touch " + planted,
                                            "it's \"quoted\"",
                                            "-rf --help",
                                            "--",
                                            "a b\tc",
                                            ""};
  std::vector<std::string> argv = {"printf", "[%s]\\n"};
  argv.insert(argv.end(), hostile.begin(), hostile.end());
  ProcessResult result;
  ASSERT_EQ(RunProcess(argv, {}, &result), kStatusOk);
  EXPECT_EQ(result.end, ProcessEnd::kExited);
  EXPECT_EQ(result.exitCode, 0);
  std::string expected;
  for (const auto& a : hostile) expected += "[" + a + "]\n";
  EXPECT_EQ(result.output, expected);
  EXPECT_FALSE(PathExists(planted));
}

TEST(RunProcess, ExitCodeErrorsAndLargeOutputAreCollected) {
  ProcessResult result;
  ASSERT_EQ(RunProcess({"sh", "-c", "echo oops >&2; exit 3"}, {}, &result), kStatusOk);
  EXPECT_EQ(result.end, ProcessEnd::kExited);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_EQ(result.errors, "oops\n");
  // Far more than a pipe holds, on both streams at once: neither side blocks.
  ASSERT_EQ(RunProcess({"sh", "-c", "head -c 3000000 /dev/zero; head -c 300000 /dev/zero >&2"}, {}, &result),
            kStatusOk);
  EXPECT_EQ(result.end, ProcessEnd::kExited);
  EXPECT_EQ(result.output.size(), 3000000u);
  EXPECT_EQ(result.errors.size(), 64u << 10);  // kept up to the limit, the rest read and dropped
}

TEST(RunProcess, AProgramThatIsMissingOrNotExecutableIsAStatus) {
  testing_support::TempDir dir;
  ProcessResult result;
  EXPECT_EQ(RunProcess({"quellmoor-no-such-program"}, {}, &result), kErrorFileNotFound);
  EXPECT_EQ(RunProcess({dir.path() + "missing"}, {}, &result), kErrorFileNotFound);
  testing_support::WriteFileBytes(dir.path() + "plain", {'x'});
  EXPECT_EQ(RunProcess({dir.path() + "plain"}, {}, &result), kErrorAccessDenied);
  EXPECT_EQ(RunProcess({}, {}, &result), kStatusInvalidParameter);
}

TEST(RunProcess, TheWatchdogKillsAHungProgramAndWhatItStarted) {
  testing_support::TempDir dir;
  const std::string pidFile = dir.path() + "grandchild";
  ProcessLimits limits;
  limits.watchdog = milliseconds(300);
  ProcessResult result;
  ASSERT_EQ(RunProcess({"sh", "-c", "sleep 60 & echo $! > \"$0\"; wait", pidFile}, limits, &result), kStatusOk);
  EXPECT_EQ(result.end, ProcessEnd::kWatchdog);
  const pid_t grandchild = static_cast<pid_t>(std::stol(ReadText(pidFile)));
  EXPECT_TRUE(Eventually([&] { return !Alive(grandchild); })) << "the hung program's own child outlived it";
}

TEST(RunProcess, StopAndTooMuchOutputEndTheProgram) {
  ProcessLimits limits;
  int asked = 0;
  limits.stop = [&] { return ++asked > 2; };
  ProcessResult result;
  ASSERT_EQ(RunProcess({"sleep", "60"}, limits, &result), kStatusOk);
  EXPECT_EQ(result.end, ProcessEnd::kStopped);

  ProcessLimits small;
  small.maxOutputBytes = 1000;
  ASSERT_EQ(RunProcess({"yes"}, small, &result), kStatusOk);
  EXPECT_EQ(result.end, ProcessEnd::kOutputCut);
  EXPECT_EQ(result.output.size(), 1000u);
}

TEST(ChildProcess, RunsOnItsOwnAndEndsOnlyWhatItStarted) {
  std::string out;
  // A program of the same name that this process did not start (the user's own).
  ASSERT_EQ(testing_support::RunCommand("sleep 60 >/dev/null 2>&1 & echo $!", &out), 0);
  const pid_t outsider = static_cast<pid_t>(std::stol(out));
  std::unique_ptr<ChildProcess> child;
  ASSERT_EQ(ChildProcess::Start({"sleep", "60"}, &child), kStatusOk);
  ASSERT_NE(child, nullptr);
  EXPECT_TRUE(child->IsRunning());
  const pid_t pid = child->Pid();
  child->End(milliseconds(1000));
  EXPECT_FALSE(child->IsRunning());
  EXPECT_FALSE(Alive(pid));
  child->End(milliseconds(1000));  // again: nothing is signalled
  EXPECT_TRUE(Alive(outsider));
  ::kill(outsider, SIGKILL);

  ASSERT_EQ(ChildProcess::Start({"true"}, &child), kStatusOk);
  EXPECT_TRUE(Eventually([&] { return !child->IsRunning(); }));
  EXPECT_EQ(ChildProcess::Start({"quellmoor-no-such-player"}, &child), kErrorFileNotFound);
  EXPECT_EQ(child, nullptr);
}

TEST(ChildProcess, DestroyingOneEndsIt) {
  std::unique_ptr<ChildProcess> child;
  ASSERT_EQ(ChildProcess::Start({"sleep", "60"}, &child), kStatusOk);
  const pid_t pid = child->Pid();
  child.reset();
  EXPECT_FALSE(Alive(pid));
}

TEST(SessionFolder, IsPrivateReusedAndRemovedAtExit) {
  testing_support::ScopedDataHome home;
  std::string folder;
  ASSERT_EQ(SessionFolder(&folder), kStatusOk);
  EXPECT_EQ(folder.rfind(DataFolder() + "preview-" + std::to_string(::getpid()) + "-", 0), 0u) << folder;
  EXPECT_EQ(folder.back(), '/');
  struct stat st {};
  ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::string again;
  ASSERT_EQ(SessionFolder(&again), kStatusOk);
  EXPECT_EQ(again, folder);

  RemoveSessionFolder();
  EXPECT_FALSE(PathExists(folder));
  ASSERT_EQ(SessionFolder(&again), kStatusOk);  // made anew after removal
  EXPECT_TRUE(IsDirectory(again));
  ASSERT_EQ(RemoveTree(again), kStatusOk);  // removed behind its back: made anew too
  ASSERT_EQ(SessionFolder(&folder), kStatusOk);
  EXPECT_TRUE(IsDirectory(folder));
  RemoveSessionFolder();
}

TEST(SessionFolder, FoldersLeftByEndedRunsAreRemovedOthersStay) {
  testing_support::ScopedDataHome home;
  ASSERT_EQ(CreateDirectories(DataFolder()), kStatusOk);
  // A pid that no process has: the highest the kernel hands out, plus one.
  const std::string gone = DataFolder() + "preview-" + std::to_string(4194304 + 1) + "-abcdef";
  const std::string running = DataFolder() + "preview-1-abcdef";  // init runs
  ASSERT_EQ(::mkdir(gone.c_str(), 0700), 0);
  testing_support::WriteFileBytes(gone + "/tmp.jpg", {1, 2, 3});
  ASSERT_EQ(::mkdir(running.c_str(), 0700), 0);
  std::string folder;
  ASSERT_EQ(SessionFolder(&folder), kStatusOk);
  EXPECT_FALSE(PathExists(gone));
  EXPECT_TRUE(PathExists(running));
  RemoveSessionFolder();
}

}  // namespace
}  // namespace platform
