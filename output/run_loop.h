#pragma once
// One run: Start opens the recording and the DAC, frames follow one another
// on the UI thread until Stop or the closing of the window, then the end
// steps finish the recording and close the DAC. Frames yield to the window
// once each; a Scroll handler running in that yield asks for a frame of its
// own, nested inside the one that yielded.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/dac_driver.h"
#include "output/ilda_writer.h"

namespace whorlgen::output {

// The controls a frame reads as it is built and drawn.
struct FrameSettings {
  int OpMode = 0;  // 1..6
  bool LimitVelocity = false;
  bool ShowDots = false;
};

// What the run loop needs of the window. The window implements it; tests
// implement it without Qt.
class RunHost {
 public:
  enum class Control { Start, Stop, IldaOutput, DacSelect };

  virtual ~RunHost() = default;
  virtual void SetEnabled(Control control, bool enabled) = 0;
  virtual void SetTotalFramesCaption(const std::string& text) = 0;
  // Runs every handler whose event is pending, then returns.
  virtual void HandlePendingEvents() = 0;
  // A message for the operator, shown after the run's end steps.
  virtual void TellOperator(const std::string& message) = 0;
  virtual bool IldaOutputChecked() const = 0;
  // Read once at the start of every frame.
  virtual FrameSettings CurrentFrameSettings() const = 0;
  virtual void DrawPreview(const engine::FrameData& frame, bool showDots) = 0;
};

// The state of the program that a run touches; owned by the window.
struct RunContext {
  engine::PatternParameters& params;
  engine::GeneratorState& generator;
  engine::FrameData& frame;
  IldaWriter& ilda;
  DacState& dac;
  DeviceLibraries& libraries;
};

class RunLoop {
 public:
  RunLoop(RunHost& host, RunContext context);

  // Performs a whole run (and any run asked for while it was ending);
  // returns when it has ended.
  void cmdStart_Click();
  void cmdStop_Click();
  // Builds, sends, draws, records and counts one frame while running, then
  // handles pending events. Scroll handlers call it too.
  void ProcessFrame();
  // The window is closing: a run in progress ends through its end steps.
  void Form_Unload();

  bool Running() const { return running_; }
  // From the click on Start to the end of the run's last end step.
  bool InRun() const { return inRun_; }
  // The window has been closed; the run, if any, is ending for good.
  bool Closing() const { return closing_; }
  // The DAC's word for the operator during a run; empty otherwise.
  std::string DacStatusNote() const { return driver_ ? driver_->StatusNote() : std::string(); }
  std::int32_t TotalFrames() const { return totalFrames_; }
  std::string DacName;
  // Makes the driver for a run's DacName. Unset, the three library DACs (and
  // the silent driver for any other name) are all there is.
  std::function<std::unique_ptr<DacDriver>(const std::string& dacName)> MakeDriver;
  // The ILDA files go here; the process's working directory by default.
  std::string IldaDirectory = ".";

  // Frames nested deeper than this are deferred until the level above has
  // handled its events, so a fast drag cannot grow the stack without bound.
  static constexpr int kMaxNesting = 16;
  int DeepestNesting() const { return deepestNesting_; }

 private:
  bool BeginRun();
  void RunFrames();
  void EndRun();
  void FrameWork(const engine::PatternParameters& params);
  void RecordFrame();
  void StopWithMessage(const std::string& message);

  RunHost& host_;
  RunContext ctx_;
  std::unique_ptr<DacDriver> driver_;
  bool running_ = false;
  bool inRun_ = false;           // between the first and the last step of a run
  bool startRequested_ = false;  // Start clicked while a run was still ending
  bool closing_ = false;
  std::int32_t totalFrames_ = 0;
  int nesting_ = 0;
  int deepestNesting_ = 0;
  // Frames deferred below the nesting bound, each with the parameters of
  // the moment its Scroll asked for it.
  std::deque<engine::PatternParameters> deferredFrames_;
  std::vector<std::string> messages_;
};

}  // namespace whorlgen::output
