// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/single_instance.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>

#include "tests/support/test_support.h"

namespace gui {
namespace {

TEST(SingleInstance, ASecondStartRaisesTheFirst) {
  testing_support::TempDir dir;
  const QString folder = QString::fromStdString(dir.path());
  const QString server = QStringLiteral("quellmoor-test-%1").arg(::getpid());
  CSingleInstance first(folder, server);
  ASSERT_EQ(first.Claim(), CSingleInstance::Outcome::kFirst);
  // Before the first listens (no window yet): "Quellmoor is running."
  {
    CSingleInstance early(folder, server);
    EXPECT_EQ(early.Claim(), CSingleInstance::Outcome::kOtherNoWindow);
  }
  ASSERT_TRUE(first.Listen());
  int raised = 0;
  QObject::connect(&first, &CSingleInstance::Raise, [&raised] { ++raised; });
  CSingleInstance second(folder, server);
  EXPECT_EQ(second.Claim(), CSingleInstance::Outcome::kRaisedOther);
  EXPECT_FALSE(second.Listen());
  QTRY_COMPARE_WITH_TIMEOUT(raised, 1, 5000);
  EXPECT_EQ(raised, 1);
}

}  // namespace
}  // namespace gui
