#pragma once
// What a run needs around it in the output tests: the state record a window
// holds (with no device libraries to find), and a host that keeps what the
// operator is told and runs posted work on the test's own thread.

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "output/run_loop.h"
#include "tests/posted_work.h"

namespace whorlgen::testing {

// A base of test fixtures: the members keep the fixture's own naming.
struct RunState {
  engine::PatternParameters params_ = engine::StartupParameters();
  engine::GeneratorState generator_;
  engine::FrameData frame_;
  output::IldaWriter ilda_;
  output::DacState dac_{};
  output::DeviceLibraries libraries_{
      (std::filesystem::temp_directory_path() / "whorlgen-no-such-dir").string()};

  output::RunContext Context() { return {params_, generator_, frame_, ilda_, dac_, libraries_}; }
};

// Draws nothing: each test says what a drawn frame means to it.
class TellingHost : public output::RunHost {
 public:
  std::vector<std::string> told;
  std::vector<std::string> notes;
  PostedWork queue;

  void SetEnabled(Control, bool) override {}
  void SetTotalFramesCaption(const std::string&) override {}
  void Post(std::function<void()> work) override { queue.Post(std::move(work)); }
  void TellOperator(const std::string& message) override { told.push_back(message); }
  bool IldaOutputChecked() const override { return false; }
  output::FrameSettings CurrentFrameSettings() const override { return {.OpMode = 2}; }
  void StatusNoteChanged(const std::string& note) override { notes.push_back(note); }
};

}  // namespace whorlgen::testing
