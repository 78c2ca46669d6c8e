#include "output/run_loop.h"

#include <algorithm>
#include <utility>

namespace whorlgen::output {

using Control = RunHost::Control;

RunLoop::RunLoop(RunHost& host, RunContext context) : host_(host), ctx_(context) {}

void RunLoop::cmdStart_Click() {
  if (inRun_) {
    // Start was enabled by Stop while the run is still ending; begin the new
    // run only after the end steps have finished the file and closed the DAC.
    startRequested_ = true;
    return;
  }
  do {
    startRequested_ = false;
    if (!BeginRun())
      return;
    RunFrames();
    EndRun();
  } while (startRequested_ && !closing_);
}

void RunLoop::cmdStop_Click() {
  running_ = false;
  host_.SetEnabled(Control::Start, true);
  host_.SetEnabled(Control::Stop, false);
}

void RunLoop::Form_Unload() {
  closing_ = true;
  startRequested_ = false;
  running_ = false;
}

bool RunLoop::BeginRun() {
  // The file comes first: without a recording there is no run, and the panel
  // has not been touched yet.
  if (host_.IldaOutputChecked()) {
    if (auto failure = ctx_.ilda.OpenIldaFile(IldaDirectory)) {
      host_.TellOperator(*failure);
      return false;
    }
  }
  inRun_ = true;
  ctx_.ilda.BeginRun();
  totalFrames_ = 0;
  host_.SetTotalFramesCaption("");
  host_.SetEnabled(Control::IldaOutput, false);
  host_.SetEnabled(Control::DacSelect, false);
  host_.SetEnabled(Control::Stop, true);
  host_.SetEnabled(Control::Start, false);
  ctx_.generator.ResetPhases();
  running_ = true;
  driver_ = MakeDriver ? MakeDriver(DacName) : nullptr;
  if (!driver_)
    driver_ = SelectDacDriver(DacName, ctx_.dac, ctx_.libraries);
  if (auto failure = driver_->OpenDac(ctx_.generator))
    StopWithMessage(*failure);
  return true;
}

void RunLoop::RunFrames() {
  do {
    ProcessFrame();
  } while (running_);
}

void RunLoop::EndRun() {
  ctx_.ilda.EndRun();
  if (auto problem = ctx_.ilda.FinishIldaFile())
    messages_.push_back(*problem);
  host_.SetEnabled(Control::IldaOutput, true);
  host_.SetTotalFramesCaption(std::to_string(totalFrames_));
  host_.SetEnabled(Control::DacSelect, true);
  if (auto problem = driver_->CloseDac())
    messages_.push_back(*problem);
  driver_.reset();
  inRun_ = false;
  // Told only now, with the file finished, the DAC closed and the panel usable.
  for (const std::string& message : std::exchange(messages_, {}))
    host_.TellOperator(message);
}

void RunLoop::ProcessFrame() {
  if (nesting_ >= kMaxNesting) {
    if (running_)
      deferredFrames_.push_back(ctx_.params);
    return;
  }
  ++nesting_;
  deepestNesting_ = std::max(deepestNesting_, nesting_);
  if (running_)
    FrameWork(ctx_.params);
  host_.HandlePendingEvents();
  while (!deferredFrames_.empty()) {
    const engine::PatternParameters params = deferredFrames_.front();
    deferredFrames_.pop_front();
    if (running_)
      FrameWork(params);
    host_.HandlePendingEvents();
  }
  --nesting_;
}

void RunLoop::FrameWork(const engine::PatternParameters& params) {
  const FrameSettings settings = host_.CurrentFrameSettings();
  engine::BuildFrame(params, ctx_.generator, settings.OpMode, settings.LimitVelocity, ctx_.frame);
  if (auto failure = driver_->SendFrame(ctx_.frame, params.PointsPerSec)) {
    // The DAC did not take the frame: it is not shown, recorded or counted.
    StopWithMessage(*failure);
    return;
  }
  host_.DrawPreview(ctx_.frame, settings.ShowDots);
  RecordFrame();
  ++totalFrames_;
}

void RunLoop::RecordFrame() {
  if (!ctx_.ilda.IsOpen())
    return;
  ctx_.ilda.WriteIldaFrame(ctx_.frame.FrameBuffer);
  // A recording that fails before its first frame cannot record at all (a
  // full disk): the run stops at once and says so, rather than at Stop.
  if (ctx_.ilda.WriteFailed() && ctx_.ilda.RunFramesWritten() == 0 && running_)
    cmdStop_Click();
}

void RunLoop::StopWithMessage(const std::string& message) {
  messages_.push_back(message);
  if (running_)
    cmdStop_Click();
}

}  // namespace whorlgen::output
