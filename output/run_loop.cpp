#include "output/run_loop.h"

#include <utility>

namespace whorlgen::output {

using Control = RunHost::Control;

RunLoop::RunLoop(RunHost& host, RunContext context) : host_(host), ctx_(context) {}

RunLoop::~RunLoop() {
  if (phase_ == Phase::Idle)
    return;
  // Nothing is left to tell or show: the device is closed dark without
  // waiting for it, and the recording is finished as a valid file.
  device_.reset();
  if (ctx_.ilda.IsOpen()) {
    ctx_.ilda.EndRun();
    ctx_.ilda.FinishIldaFile();
  }
}

void RunLoop::cmdStart_Click() {
  if (InRun()) {
    // Start was enabled by Stop while the run is still ending; begin the new
    // run only after the end steps have finished the file and closed the DAC.
    startRequested_ = true;
    return;
  }
  startRequested_ = false;
  BeginRun();
}

void RunLoop::cmdStop_Click() {
  running_ = false;
  host_.SetEnabled(Control::Start, true);
  host_.SetEnabled(Control::Stop, false);
  InterruptDevice();
}

void RunLoop::Form_Unload() {
  closing_ = true;
  startRequested_ = false;
  running_ = false;
  // However the device is doing, the program ends within moments.
  if (device_) {
    interrupted_ = true;
    device_->InterruptUnlessDoneWithin(kClosingPatience);
  }
}

void RunLoop::ProcessFrame() {
  if (!running_)
    return;
  WaitingFrame frame{ctx_.params, host_.CurrentFrameSettings()};
  if (scrollFrames_.size() < kMaxWaitingScrollFrames)
    scrollFrames_.push_back(std::move(frame));
  else
    scrollFrames_.back() = std::move(frame);
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
  ctx_.ilda.BeginRun();
  totalFrames_ = 0;
  showSeconds_ = 0;
  host_.SetTotalFramesCaption("");
  host_.SetEnabled(Control::IldaOutput, false);
  host_.SetEnabled(Control::DacSelect, false);
  host_.SetEnabled(Control::Stop, true);
  host_.SetEnabled(Control::Start, false);
  ctx_.generator.ResetPhases();
  running_ = true;
  interrupted_ = false;
  scrollFrames_.clear();
  std::unique_ptr<DacDriver> driver = MakeDriver ? MakeDriver(DacName) : nullptr;
  if (!driver)
    driver = SelectDacDriver(DacName, ctx_.dac, ctx_.libraries);
  device_ = std::make_unique<DeviceRunner>(std::move(driver),
                                           [this] { host_.Post([this] { OnDeviceDone(); }); });
  phase_ = Phase::Opening;
  device_->Open(ctx_.generator);
  return true;
}

void RunLoop::OnDeviceDone() {
  if (!device_)
    return;
  const std::optional<DeviceRunner::Finished> finished = device_->TakeFinished();
  if (!finished)
    return;
  SetStatusNote(finished->StatusNote);
  switch (finished->Done) {
    case DeviceRunner::Job::Open:
      OpenDone(*finished);
      break;
    case DeviceRunner::Job::Send:
      SendDone(*finished);
      break;
    case DeviceRunner::Job::Close:
      CloseDone(*finished);
      break;
  }
}

void RunLoop::OpenDone(const DeviceRunner::Finished& finished) {
  phase_ = Phase::Between;
  if (finished.Failure) {
    if (interrupted_)
      running_ = false;
    else
      StopWithMessage(*finished.Failure);
    EndRun();
    return;
  }
  // A run whose DAC opened makes at least one frame, even when Stop came
  // while it was opening.
  SendFrame();
}

void RunLoop::SendDone(const DeviceRunner::Finished& finished) {
  phase_ = Phase::Between;
  if (!finished.Failure) {
    host_.DrawPreview(ctx_.frame, host_.CurrentFrameSettings().ShowDots);
    RecordFrame();
    ++totalFrames_;
    showSeconds_ += static_cast<double>(ctx_.frame.FrameBuffer.size()) / sentPointsPerSec_;
  } else if (interrupted_) {
    // The run ended before the device took the frame: as if never built.
    ctx_.generator = beforeFrame_;
  } else {
    // The DAC did not take the frame: it is not shown, recorded or counted.
    StopWithMessage(*finished.Failure);
  }
  AskForNextFrame();
}

void RunLoop::CloseDone(const DeviceRunner::Finished& finished) {
  if (finished.Failure)
    messages_.push_back(*finished.Failure);
  device_.reset();
  phase_ = Phase::Idle;
  SetStatusNote({});
  // Told only now, with the file finished, the DAC closed and the panel usable.
  for (const std::string& message : std::exchange(messages_, {}))
    host_.TellOperator(message);
  host_.RunEnded();
  if (startRequested_ && !closing_)
    cmdStart_Click();
}

void RunLoop::AskForNextFrame() {
  phase_ = Phase::Between;
  host_.Post([this] { NextFrame(); });
}

void RunLoop::NextFrame() {
  if (phase_ != Phase::Between)
    return;
  if (running_)
    SendFrame();
  else
    EndRun();
}

void RunLoop::SendFrame() {
  host_.BeforeFrame(showSeconds_);
  WaitingFrame next;
  if (scrollFrames_.empty()) {
    next = {ctx_.params, host_.CurrentFrameSettings()};
  } else {
    next = std::move(scrollFrames_.front());
    scrollFrames_.pop_front();
  }
  beforeFrame_ = ctx_.generator;
  engine::BuildFrame(next.Params, ctx_.generator, next.Settings.OpMode, next.Settings.LimitVelocity,
                     ctx_.frame);
  phase_ = Phase::Sending;
  sentPointsPerSec_ = next.Params.PointsPerSec;
  device_->Send(ctx_.frame, next.Params.PointsPerSec);
}

void RunLoop::EndRun() {
  scrollFrames_.clear();
  ctx_.ilda.EndRun();
  if (auto problem = ctx_.ilda.FinishIldaFile())
    messages_.push_back(*problem);
  host_.SetEnabled(Control::IldaOutput, true);
  host_.SetTotalFramesCaption(std::to_string(totalFrames_));
  host_.SetEnabled(Control::DacSelect, true);
  phase_ = Phase::Closing;
  device_->Close();
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

void RunLoop::InterruptDevice() {
  // A healthy device finishes the frame it waits for and plays its dark
  // lead-out; one that does not within the patience is told to give up.
  if (device_) {
    interrupted_ = true;
    device_->InterruptUnlessDoneWithin(kStopPatience);
  }
}

void RunLoop::SetStatusNote(const std::string& note) {
  if (note == statusNote_)
    return;
  statusNote_ = note;
  host_.StatusNoteChanged(note);
}

void RunLoop::StopWithMessage(const std::string& message) {
  messages_.push_back(message);
  if (running_)
    cmdStop_Click();
}

}  // namespace whorlgen::output
