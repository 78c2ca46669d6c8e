// libEZAudDac.so: the sound-card DAC on ALSA. Each laser point becomes one
// audio frame at the point rate, so a DC-coupled sound card drives the
// scanners and the colour channels directly.
//
// The device, the channel layout, the inversions and the output level are
// the operator's, read from the settings file whenever a run opens the card.
// The device is opened with exactly the layout's channels and no automatic
// channel conversion: a sound server that mixed six channels down to two
// would add the colours into X and Y and throw the beam about.
//
// The library keeps at most about one frame of audio queued ahead of the
// card, so what the laser shows is never more than a frame behind the panel.
// Without a card ("default" cannot be opened) it plays each frame silently in
// its own time, so a run still goes at the frame rate.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devices/audio_samples.h"
#include "devices/dac_api.h"
#include "devices/playout_queue.h"
#include "devices/sound_card_settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using whorlgen::devices::ChannelLayout;
using whorlgen::devices::SampleLayout;
using whorlgen::devices::SoundCardSettings;

// Room for two of the longest frames (16000 points) and some to spare.
constexpr snd_pcm_uframes_t kBufferFrames = 48000;
// Short periods: many cards report their play position only period by
// period, and the status needs to see the queue shrink well within a frame.
constexpr unsigned kPeriodUs = 5000;
constexpr auto kPollWait = 1ms;
// Beyond the playing time of what is queued, how long a write or a rate
// change may wait for a card that stops taking audio.
constexpr auto kStallAllowance = 1s;
constexpr const char* kDefaultDevice = "default";

// alsa-lib prints to stderr by default ("cannot find card '0'"); the
// operator gets the reason through the report instead.
void SilentAlsaErrors(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
                      const char* /*fmt*/, ...) {}

Clock::duration AudioTime(snd_pcm_sframes_t frames, unsigned rate) {
  if (frames <= 0 || rate == 0)
    return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frames) / rate));
}

const char* LayoutName(unsigned channels) {
  return channels == whorlgen::devices::kXYChannels ? "X/Y" : "X/Y/R/G/B/I";
}

template <std::size_t N>
void CopyText(char (&target)[N], const std::string& text) {
  std::snprintf(target, N, "%s", text.c_str());
}

class SoundCard {
 public:
  SoundCard() = default;
  SoundCard(const SoundCard&) = delete;
  SoundCard& operator=(const SoundCard&) = delete;
  ~SoundCard() {
    Close();
    snd_lib_error_set_handler(nullptr);
  }

  // Opens the chosen device unless it is open already; false when there is
  // no usable card. Without a card "default" falls back to silent pacing; a
  // device the operator named that cannot be opened fails the run.
  bool Open() {
    if (pcm_ != nullptr)
      return true;
    snd_lib_error_set_handler(SilentAlsaErrors);
    settings_ = whorlgen::devices::ReadSoundCardSettings(whorlgen::devices::SettingsFilePath());
    CopyText(report_.device, settings_.Device);
    report_.cardFound = 0;
    report_.channels = 0;
    report_.pacedWithoutCard = 0;
    CopyText(report_.noCardReason, "");
    openFailure_.clear();
    pacedWithoutCard_ = false;

    // Non-blocking, so that a card held by another program gives an answer
    // at once instead of a wait.
    const int opened = snd_pcm_open(&pcm_, settings_.Device.c_str(), SND_PCM_STREAM_PLAYBACK,
                                    SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_CHANNELS);
    if (opened < 0) {
      pcm_ = nullptr;
      NoCard(opened, "the ALSA device \"" + settings_.Device +
                         "\" could not be opened: " + snd_strerror(opened));
      return false;
    }
    layout_ = ChooseLayout();
    report_.cardFound = 1;
    report_.channels = static_cast<std::int32_t>(layout_.Channels);
    return true;
  }

  bool IsOpen() const { return pcm_ != nullptr; }

  std::int16_t Status() {
    if (!failure_.empty())
      return Failed(failure_);
    if (rate_ == 0)
      return EASYLASE_STATUS_READY;  // nothing written yet
    snd_pcm_sframes_t excess = QueuedFrames() - static_cast<snd_pcm_sframes_t>(lastFramePoints_);
    if (excess > 0 && failure_.empty()) {
      std::this_thread::sleep_for(std::min<Clock::duration>(kPollWait, AudioTime(excess, rate_)));
      excess = QueuedFrames() - static_cast<snd_pcm_sframes_t>(lastFramePoints_);
    }
    if (!failure_.empty())
      return Failed(failure_);
    return excess > 0 ? EASYLASE_STATUS_BUSY : EASYLASE_STATUS_READY;
  }

  // The status of card -1, the one a run without a card is given.
  std::int16_t StatusWithoutCard() {
    if (!openFailure_.empty())
      return Failed(openFailure_);
    if (!pacedWithoutCard_)
      return EASYLASE_STATUS_NO_CARD;
    return silence_.CanTake(whorlgen::devices::kStatusPollWait) ? EASYLASE_STATUS_READY
                                                                : EASYLASE_STATUS_BUSY;
  }

  bool Write(const DacPoint* points, std::size_t count, unsigned pointsPerSec) {
    StartRunOnce();
    if (pcm_ == nullptr || !failure_.empty())
      return false;
    if (!WriteAudio(points, count, pointsPerSec)) {
      snd_pcm_drop(pcm_);  // nothing more is played from a card that failed
      return false;
    }
    return true;
  }

  // Without a card the frame plays silently for its playing time.
  bool WriteWithoutCard(const DacPoint* points, std::size_t count, unsigned pointsPerSec) {
    if (!pacedWithoutCard_)
      return false;
    StartRunOnce();
    silence_.Take(points, count, whorlgen::devices::PlayingTime(count, pointsPerSec));
    return true;
  }

  // Output stops at once: queued audio is dropped, not played out. The
  // report stays, so the Devices window can show how the run went.
  void Close() {
    if (pcm_ != nullptr) {
      snd_pcm_drop(pcm_);
      snd_pcm_close(pcm_);
    }
    pcm_ = nullptr;
    runStarted_ = false;
    pacedWithoutCard_ = false;
    openFailure_.clear();
    failure_.clear();
    silence_.Clear();
    requestedRate_ = 0;
    rate_ = 0;
    bufferFrames_ = 0;
    lastFramePoints_ = 0;
    samples_.clear();
    samples_.shrink_to_fit();
  }

  const EzAudDacReport& Report() const { return report_; }

 private:
  void NoCard(int error, const std::string& reason) {
    CopyText(report_.noCardReason, reason);
    // "default" failing is what a machine without sound offers: the run goes
    // on silently. A device chosen by the operator must be there, and a card
    // held by another program is there but not free: both end the run.
    if (settings_.Device == kDefaultDevice && error != -EBUSY) {
      pacedWithoutCard_ = true;
      report_.pacedWithoutCard = 1;
    } else {
      openFailure_ = reason;
    }
  }

  std::int16_t Failed(const std::string& reason) {
    CopyText(report_.failure, reason);
    return EASYLASE_STATUS_FAILED;
  }

  // The first frame of a run starts its counts afresh; the close sequence
  // opens the card without a frame and keeps the last run's.
  void StartRunOnce() {
    if (runStarted_)
      return;
    runStarted_ = true;
    report_.underruns = 0;
    CopyText(report_.failure, "");
  }

  // The operator's layout; without one, all six signals on a card with six
  // outputs or more, X and Y alone on anything else (a sound server, a
  // stereo card).
  SampleLayout ChooseLayout() const {
    SampleLayout layout;
    layout.InvertX = settings_.InvertX;
    layout.InvertY = settings_.InvertY;
    layout.SwapXY = settings_.SwapXY;
    layout.LevelPercent = settings_.LevelPercent;
    ChannelLayout chosen = ChannelLayout::XY;
    if (settings_.Layout)
      chosen = *settings_.Layout;
    else if (IsCardWithOutputs(whorlgen::devices::kPointChannels))
      chosen = ChannelLayout::XYRGBI;
    layout.Channels = chosen == ChannelLayout::XY ? whorlgen::devices::kXYChannels
                                                  : whorlgen::devices::kPointChannels;
    return layout;
  }

  bool IsCardWithOutputs(unsigned outputs) const {
    snd_pcm_info_t* info = nullptr;
    snd_pcm_info_alloca(&info);
    if (snd_pcm_info(pcm_, info) < 0 || snd_pcm_info_get_card(info) < 0)
      return false;
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned most = 0;
    return snd_pcm_hw_params_any(pcm_, hw) >= 0 &&
           snd_pcm_hw_params_get_channels_max(hw, &most) >= 0 && most >= outputs;
  }

  bool WriteAudio(const DacPoint* points, std::size_t count, unsigned pointsPerSec) {
    if (requestedRate_ != pointsPerSec && !SetUp(pointsPerSec))
      return false;
    samples_.resize(count * layout_.Channels);
    whorlgen::devices::PointsToSamples(points, count, layout_, samples_.data());
    lastFramePoints_ = count;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        start + AudioTime(QueuedFrames(), rate_) + AudioTime(count, rate_) + kStallAllowance;
    std::size_t written = 0;
    while (written < count && failure_.empty()) {
      const snd_pcm_sframes_t n =
          snd_pcm_writei(pcm_, samples_.data() + written * layout_.Channels, count - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      } else if (Clock::now() >= deadline) {
        const auto waitedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        Fail("\"" + settings_.Device + "\" stopped taking audio for " + std::to_string(waitedMs) +
             " ms");
      } else if (n == -EAGAIN || n == 0) {
        snd_pcm_wait(pcm_, 10);
      } else {
        Recover(static_cast<int>(n), "writing to");
      }
    }
    return failure_.empty();
  }

  // An underrun or a suspend is recovered and output goes on; anything else
  // ends the run with ALSA's own reason.
  void Recover(int error, const char* doing) {
    if (error == -EPIPE)
      ++report_.underruns;
    if (snd_pcm_recover(pcm_, error, 1) < 0)
      Fail(std::string(doing) + " \"" + settings_.Device + "\" failed: " + snd_strerror(error));
  }

  // The reason goes into the report at once, so a refused frame can be
  // explained before the next status poll.
  void Fail(const std::string& reason) {
    if (failure_.empty()) {
      failure_ = reason;
      CopyText(report_.failure, reason);
    }
  }

  // Sets the card up for a point rate. Audio queued at the old rate is
  // played out first, so a change of rate loses nothing.
  bool SetUp(unsigned pointsPerSec) {
    if (rate_ != 0) {
      const Clock::time_point deadline =
          Clock::now() + AudioTime(QueuedFrames(), rate_) + kStallAllowance;
      while (QueuedFrames() > 0 && Clock::now() < deadline && failure_.empty())
        std::this_thread::sleep_for(kPollWait);
      snd_pcm_drop(pcm_);
    }
    requestedRate_ = 0;
    rate_ = 0;
    const std::string device = "\"" + settings_.Device + "\"";
    const auto check = [&](int result, const std::string& what) {
      if (result < 0)
        Fail(device + " " + what + ": " + snd_strerror(result));
      return result >= 0;
    };

    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned rate = pointsPerSec;
    snd_pcm_uframes_t bufferFrames = kBufferFrames;
    unsigned periodUs = kPeriodUs;
    const std::string channels = std::to_string(layout_.Channels);
    if (!check(snd_pcm_hw_params_any(pcm_, hw), "cannot be set up") ||
        !check(snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED),
               "takes no interleaved audio") ||
        !check(snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16),
               "takes no 16-bit samples") ||
        !check(snd_pcm_hw_params_set_channels(pcm_, hw, layout_.Channels),
               "has no " + channels + "-channel output for the " + LayoutName(layout_.Channels) +
                   " layout") ||
        !check(snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate, nullptr),
               "cannot play " + std::to_string(pointsPerSec) + " samples per second")) {
      return false;
    }
    // Sizes are wishes: a card that cannot have them gets its nearest.
    snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &bufferFrames);
    snd_pcm_hw_params_set_period_time_near(pcm_, hw, &periodUs, nullptr);
    if (!check(snd_pcm_hw_params(pcm_, hw), "refused its settings") ||
        !check(snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames), "has no buffer")) {
      return false;
    }

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    // Playback starts with the first audio written; the status poll, not a
    // fill level, keeps the card a frame ahead.
    if (!check(snd_pcm_sw_params_current(pcm_, sw), "cannot be set up") ||
        !check(snd_pcm_sw_params_set_start_threshold(pcm_, sw, 1), "cannot start") ||
        !check(snd_pcm_sw_params(pcm_, sw), "refused its settings")) {
      return false;
    }
    requestedRate_ = pointsPerSec;
    rate_ = rate;
    bufferFrames_ = bufferFrames;
    return true;
  }

  // Audio frames written but not yet played. An underrun is recovered here
  // (nothing is queued after it); a card that is gone ends the run.
  snd_pcm_sframes_t QueuedFrames() {
    snd_pcm_sframes_t avail = snd_pcm_avail(pcm_);
    if (avail < 0) {
      Recover(static_cast<int>(avail), "playing on");
      if (!failure_.empty())
        return 0;
      avail = snd_pcm_avail(pcm_);
      if (avail < 0) {
        Fail("playing on \"" + settings_.Device +
             "\" failed: " + snd_strerror(static_cast<int>(avail)));
        return 0;
      }
    }
    const auto buffer = static_cast<snd_pcm_sframes_t>(bufferFrames_);
    return std::max<snd_pcm_sframes_t>(0, buffer - avail);
  }

  snd_pcm_t* pcm_ = nullptr;
  SoundCardSettings settings_;
  SampleLayout layout_;
  EzAudDacReport report_{};
  std::string openFailure_;  // the named device could not be opened
  std::string failure_;      // the card failed during the run
  bool pacedWithoutCard_ = false;
  bool runStarted_ = false;                  // a frame has been written since the card was opened
  whorlgen::devices::PlayoutQueue silence_;  // the frames a run without a card "plays"
  unsigned requestedRate_ = 0;  // point rate the card is set up for; 0 before the first frame
  unsigned rate_ = 0;           // audio rate actually in use
  snd_pcm_uframes_t bufferFrames_ = 0;
  std::size_t lastFramePoints_ = 0;
  std::vector<std::int16_t> samples_;  // the frame as interleaved audio, reused
};

SoundCard& Card() {
  static SoundCard card;
  return card;
}

// The library drives one card, number 0; a run that found none has card -1.
constexpr std::int16_t kOurCard = 0;
constexpr std::int16_t kNoCard = -1;

}  // namespace

extern "C" {

DAC_ENTRY std::int32_t EasyLaseGetCardNum(void) {
  return Card().Open() ? 1 : 0;
}

DAC_ENTRY std::int16_t EasyLaseGetStatus(const std::int16_t* cardIndex) {
  if (cardIndex == nullptr)
    return EASYLASE_STATUS_NO_CARD;
  if (*cardIndex == kOurCard && Card().IsOpen())
    return Card().Status();
  if (*cardIndex == kNoCard && !Card().IsOpen())
    return Card().StatusWithoutCard();
  return EASYLASE_STATUS_NO_CARD;
}

DAC_ENTRY std::int16_t EasyLaseWriteFrame(const std::int16_t* cardIndex, const DacPoint* points,
                                          std::int32_t frameBytes, std::int32_t pointsPerSec) {
  if (cardIndex == nullptr || points == nullptr || frameBytes <= 0 || pointsPerSec <= 0)
    return 0;
  const std::size_t count = static_cast<std::size_t>(frameBytes) / sizeof(DacPoint);
  const auto rate = static_cast<unsigned>(pointsPerSec);
  if (*cardIndex == kOurCard && Card().IsOpen())
    return Card().Write(points, count, rate) ? 1 : 0;
  if (*cardIndex == kNoCard && !Card().IsOpen())
    return Card().WriteWithoutCard(points, count, rate) ? 1 : 0;
  return 0;
}

DAC_ENTRY void EasyLaseClose(void) {
  Card().Close();
}

DAC_ENTRY void EzAudDacGetReport(EzAudDacReport* report) {
  if (report != nullptr)
    *report = Card().Report();
}

}  // extern "C"
