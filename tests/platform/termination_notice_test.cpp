// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/termination_notice.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

namespace platform {
namespace {

// A termination signal becomes one notice on the descriptor instead of
// ending the process; it is taken once.
TEST(TerminationNotice, ASignalBecomesANoticeToTakeOnce) {
  const int fd = InstallTerminationNotice();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(InstallTerminationNotice(), -1);  // once per process
  EXPECT_EQ(TakeTerminationNotice(fd), 0);
  ASSERT_EQ(::raise(SIGHUP), 0);
  EXPECT_EQ(TakeTerminationNotice(fd), SIGHUP);
  EXPECT_EQ(TakeTerminationNotice(fd), 0);
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_EQ(TakeTerminationNotice(fd), SIGTERM);
}

}  // namespace
}  // namespace platform
