#pragma once

namespace moxi::test {

// Runs the program's tests inside a QApplication on Qt's offscreen platform,
// with HOME, settings and caches in a fresh temporary directory.
int runTestsInIsolatedApplication(int argc, char** argv);

}  // namespace moxi::test
