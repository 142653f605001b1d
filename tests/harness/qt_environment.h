#pragma once
// One Qt application for a whole test program, on the test desktop: register
// it after the DesktopEnvironment, which sets DISPLAY first (or after a
// WaylandEnvironment, with platform "wayland").
//   ::testing::AddGlobalTestEnvironment(new QtEnvironment<QApplication>("my_itest"));
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>
#include <string>
#include <utility>

namespace moxi::test {

template <class App>
class QtEnvironment : public ::testing::Environment {
 public:
  // `program` is the application's argv[0]; a non-empty `names` names the
  // organisation and the application (where settings and caches go).
  explicit QtEnvironment(std::string program, std::string names = {}, std::string platform = "xcb")
      : program_(std::move(program)), names_(std::move(names)), platform_(std::move(platform)) {}

  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", platform_.c_str());
    app_ = std::make_unique<App>(argc_, argv_);
    if (names_.empty()) return;
    QCoreApplication::setOrganizationName(QString::fromStdString(names_));
    QCoreApplication::setApplicationName(QString::fromStdString(names_));
  }
  void TearDown() override { app_.reset(); }

 private:
  std::string program_, names_, platform_;
  int argc_ = 1;
  char* argv_[2] = {program_.data(), nullptr};
  std::unique_ptr<App> app_;
};

}  // namespace moxi::test
