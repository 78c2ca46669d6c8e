#pragma once
// One QApplication for a whole test program, made before the first test and
// destroyed after the last, with the style the program itself uses. Include
// it in one file of each window test program.

#include <gtest/gtest.h>
#include <QApplication>
#include <QTemporaryDir>
#include <memory>

namespace whorlgen::ui {

class QtTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
    // The operator's own settings stay out of the tests, run by hand or not.
    qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
    app_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setStyle("Fusion");
  }
  void TearDown() override { app_.reset(); }

 private:
  QTemporaryDir config_;
  int argc_ = 1;
  char name_[16] = "whorlgen_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

inline const auto* const kQtTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtTestEnvironment);

}  // namespace whorlgen::ui
