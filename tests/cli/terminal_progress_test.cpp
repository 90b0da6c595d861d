// SPDX-License-Identifier: GPL-3.0-or-later
// Long work on a terminal shows where it is: the commands run under a
// pseudo-terminal, as a person at a terminal runs them.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/test_support.h"

namespace {

// Runs the built quellmoor with args on a new pseudo-terminal (its stdin,
// stdout and stderr); returns everything it wrote there and its exit status.
std::string RunOnTerminal(const std::vector<std::string>& args, const std::string& home, int* status) {
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    ::setenv("XDG_DATA_HOME", (home + "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "config").c_str(), 1);
    ::setenv("QUELLMOOR_DISKS", "", 1);
    std::vector<char*> argv;
    const std::string program = testing_support::CliPath();
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  std::string out;
  if (child < 0) return out;
  char buffer[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 60000) <= 0) break;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has closed its side
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(master);
  ::waitpid(child, status, 0);
  return out;
}

TEST(TerminalProgress, ImageAndVerifyShowTheirProgressLine) {
  testing_support::TempDir dir;
  const std::string card = testing_support::UnpackedFixture("fat32_4k.img.gz");
  ASSERT_FALSE(card.empty());
  std::string e01;
  for (const auto& fixture : testing_support::ReadContainerFixtures()) {
    if (fixture.archive == "fat16_e01") e01 = testing_support::ContainerFixturePath(fixture);
  }
  ASSERT_FALSE(e01.empty());
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* shows;
  };
  const Case cases[] = {
      {"image", {"image", card, "--out", dir.path() + "copy.img"}, "Progress:"},
      {"image --keep-going", {"image", "--keep-going", card, "--out", dir.path() + "copy2.img"}, "Progress:"},
      {"verify", {"verify", e01}, "verifying:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int status = -1;
    const std::string shown = RunOnTerminal(c.args, dir.path(), &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    // The line is drawn in place (carriage returns), with its percentage, and cleared before the result.
    EXPECT_NE(shown.find(c.shows), std::string::npos) << shown;
    EXPECT_NE(shown.find("%"), std::string::npos) << shown;
    EXPECT_NE(shown.find('\r'), std::string::npos) << shown;
  }
}

}  // namespace
