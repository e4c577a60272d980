// Test programs run with a QApplication on the offscreen platform, and keep
// their settings in a folder of their own.
#include <QApplication>
#include <gtest/gtest.h>

#include "tests/support/testdb.h"

int main(int argc, char** argv) {
  UseFreshSettings();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  if (!qEnvironmentVariableIsEmpty("NORVALE_PREPARED_CHECK")) ::testing::AddGlobalTestEnvironment(new PreparedCheck);
  return RUN_ALL_TESTS();
}
