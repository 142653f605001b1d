#include "app/isolated_application_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

// Resources are registered by a function of the global namespace.
static void initResources() { Q_INIT_RESOURCE(ui); }

namespace moxi::test {

int runTestsInIsolatedApplication(int argc, char** argv) {
  QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
  qputenv("XDG_CACHE_HOME", (home.path() + "/cache").toUtf8());
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_QUICK_BACKEND", "software");
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Moxiscope");
  QApplication::setApplicationName("Moxiscope");
  initResources();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace moxi::test
