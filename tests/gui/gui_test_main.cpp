// SPDX-License-Identifier: GPL-3.0-or-later
// GoogleTest with a QApplication on the offscreen platform (unless the run
// names another, as the screenshot script does with Xvfb).
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
