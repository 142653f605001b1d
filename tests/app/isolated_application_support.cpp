#include "app/isolated_application_support.h"

#include <gtest/gtest.h>

#include <QApplication>

#include "harness/test_files.h"

// Resources are registered by a function of the global namespace.
static void initResources() { Q_INIT_RESOURCE(ui); }

namespace moxi::test {

int runTestsInIsolatedApplication(int argc, char** argv) {
  PrivateHome home;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_QUICK_BACKEND", "software");
  QApplication app(argc, argv);
  initResources();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace moxi::test
