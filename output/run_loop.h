#pragma once
// One run: Start opens the recording and the DAC, frames follow one another
// until Stop or the closing of the window, then the end steps finish the
// recording and close the DAC.
//
// The run is a pump driven by events on the panel's thread. Each frame is
// built there and handed to the device's thread (DeviceRunner); when the
// device has taken it, the frame is drawn, recorded and counted, and the next
// frame is asked for through the panel's event queue, behind the events that
// are already waiting. So the panel's events are handled between any two
// frames, and no dialog, window or nested event loop of the panel can hold
// the show: any event loop keeps the pump going. Frames never interleave:
// one is built only when the one before has been taken.
//
// A Scroll handler during a run asks for a frame of its own with the values
// of that moment; it goes out next, before the run's own next frame.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/dac_driver.h"
#include "output/device_runner.h"
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
  // Runs `work` later on the panel's thread, after the events already
  // waiting there. Called from any thread.
  virtual void Post(std::function<void()> work) = 0;
  // A message for the operator, shown after the run's end steps.
  virtual void TellOperator(const std::string& message) = 0;
  virtual bool IldaOutputChecked() const = 0;
  // The controls a frame is built with, read once as it is built.
  virtual FrameSettings CurrentFrameSettings() const = 0;
  virtual void DrawPreview(const engine::FrameData& frame, bool showDots) = 0;
  // Just before each frame is built, on the panel's thread: the show's
  // playing time so far (the frames made since Start, each for as long as it
  // plays), a clock that a recorded run repeats exactly. Whatever the host
  // changes here the frame carries.
  virtual void BeforeFrame(double /*showSeconds*/) {}
  // The DAC's word for the operator changed (empty: none, or the run ended).
  virtual void StatusNoteChanged(const std::string& /*note*/) {}
  // The run's last end step is done: the DAC is closed and every message told.
  virtual void RunEnded() {}
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
  // A run still going is ended without waiting for its device.
  ~RunLoop();

  // Begins a run and returns; the run goes on from the event queue. A Start
  // while a run is still ending begins the new run once the end steps are done.
  void cmdStart_Click();
  void cmdStop_Click();
  // A Scroll handler's frame: during a run, a frame with the parameters of
  // this moment goes out next; otherwise nothing.
  void ProcessFrame();
  // The window is closing: a run in progress ends through its end steps.
  void Form_Unload();

  bool Running() const { return running_; }
  // From the click on Start to the end of the run's last end step.
  bool InRun() const { return phase_ != Phase::Idle; }
  // The window has been closed; the run, if any, is ending for good.
  bool Closing() const { return closing_; }
  // The DAC's word for the operator during a run; empty otherwise.
  std::string DacStatusNote() const { return InRun() ? statusNote_ : std::string(); }
  std::int32_t TotalFrames() const { return totalFrames_; }
  std::string DacName;
  // Makes the driver for a run's DacName. Unset, the three library DACs (and
  // the silent driver for any other name) are all there is.
  std::function<std::unique_ptr<DacDriver>(const std::string& dacName)> MakeDriver;
  // The ILDA files go here; the process's working directory by default.
  std::string IldaDirectory = ".";

  // The playing time of the frames made since Start.
  double ShowSeconds() const { return showSeconds_; }

  // How long the device may go on with what it does (a frame waiting its
  // turn, the dark lead-out) once Stop, or the closing of the window, has
  // asked for the end: then its waits are interrupted, so a run ends within
  // about a second whatever the device does.
  static constexpr std::chrono::milliseconds kStopPatience{500};
  static constexpr std::chrono::milliseconds kClosingPatience{250};

  // Scroll frames waiting for the device beyond this many are merged: the
  // newest Scroll's values replace those of the last one waiting, so a fast
  // drag on a slow device cannot pile up frames without end.
  static constexpr std::size_t kMaxWaitingScrollFrames = 8;

 private:
  enum class Phase {
    Idle,
    Opening,  // the device is being opened
    Sending,  // a frame is with the device
    Between,  // the next frame has been asked for through the event queue
    Closing,  // the end steps are done but for the device's close
  };
  struct WaitingFrame {
    engine::PatternParameters Params;
    FrameSettings Settings;
  };

  bool BeginRun();
  void OnDeviceDone();
  void OpenDone(const DeviceRunner::Finished& finished);
  void SendDone(const DeviceRunner::Finished& finished);
  void CloseDone(const DeviceRunner::Finished& finished);
  void AskForNextFrame();
  void NextFrame();
  void SendFrame();
  void EndRun();
  void RecordFrame();
  void InterruptDevice();
  void SetStatusNote(const std::string& note);
  void StopWithMessage(const std::string& message);

  RunHost& host_;
  RunContext ctx_;
  std::unique_ptr<DeviceRunner> device_;
  Phase phase_ = Phase::Idle;
  bool running_ = false;
  bool interrupted_ = false;     // the run is ending: the device's failures are not told
  bool startRequested_ = false;  // Start clicked while a run was still ending
  bool closing_ = false;
  std::int32_t totalFrames_ = 0;
  double showSeconds_ = 0;             // playing time of the frames made this run
  std::int32_t sentPointsPerSec_ = 0;  // the rate of the frame with the device
  std::string statusNote_;
  // The generator as it was before the frame with the device was built: a
  // frame the device never took leaves no trace.
  engine::GeneratorState beforeFrame_;
  std::deque<WaitingFrame> scrollFrames_;
  std::vector<std::string> messages_;
};

}  // namespace whorlgen::output
