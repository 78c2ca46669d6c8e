// libEZAudDac.so: the sound-card DAC on ALSA. Each laser point becomes one
// audio frame at the point rate, so a DC-coupled sound card drives the
// scanners and the colour channels directly. The "default" PCM is used
// through ALSA's plug layer, which converts rate and sample format for any
// card; the channel count is the card's own (up to six), because mixing a
// colour channel into a position channel would throw the beam about.
//
// The library keeps at most about one frame of audio queued ahead of the
// card, so what the laser shows is never more than a frame behind the panel.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "devices/audio_samples.h"
#include "devices/dac_api.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Room for two of the longest frames (16000 points) and some to spare.
constexpr snd_pcm_uframes_t kBufferFrames = 48000;
// Short periods: many cards report their play position only period by
// period, and the status needs to see the queue shrink well within a frame.
constexpr unsigned kPeriodUs = 5000;
constexpr auto kPollWait = 1ms;
// Beyond the playing time of what is queued, how long a write or a rate
// change may wait for a card that stops taking audio.
constexpr auto kStallAllowance = 1s;

// alsa-lib prints to stderr by default ("cannot find card '0'"); the
// program's operator gets a card count or a status instead.
void SilentAlsaErrors(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
                      const char* /*fmt*/, ...) {}

Clock::duration AudioTime(snd_pcm_sframes_t frames, unsigned rate) {
  if (frames <= 0 || rate == 0)
    return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frames) / rate));
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

  // Opens the default PCM unless it is open already; false when there is
  // no usable card.
  bool Open() {
    if (pcm_ != nullptr)
      return true;
    snd_lib_error_set_handler(SilentAlsaErrors);
    // Non-blocking, so that a card held by another program gives an answer
    // at once instead of a wait. No automatic channel conversion, so the
    // channel range is what the card really has.
    if (snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK,
                     SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_CHANNELS) < 0) {
      pcm_ = nullptr;
      return false;
    }
    channels_ = ChooseChannels();
    if (channels_ == 0) {
      Close();
      return false;
    }
    return true;
  }

  bool IsOpen() const { return pcm_ != nullptr; }

  std::int16_t Status() {
    if (failed_) {
      // Busy for good: the program's bounded wait then tells the operator.
      std::this_thread::sleep_for(kPollWait);
      return EASYLASE_STATUS_BUSY;
    }
    if (rate_ == 0)
      return EASYLASE_STATUS_READY;  // nothing written yet
    snd_pcm_sframes_t excess = QueuedFrames() - static_cast<snd_pcm_sframes_t>(lastFramePoints_);
    if (excess > 0) {
      std::this_thread::sleep_for(std::min<Clock::duration>(kPollWait, AudioTime(excess, rate_)));
      excess = QueuedFrames() - static_cast<snd_pcm_sframes_t>(lastFramePoints_);
    }
    return excess > 0 ? EASYLASE_STATUS_BUSY : EASYLASE_STATUS_READY;
  }

  bool Write(const DacPoint* points, std::size_t count, unsigned pointsPerSec) {
    if (pcm_ == nullptr)
      return false;
    failed_ = !WriteAudio(points, count, pointsPerSec);
    return !failed_;
  }

  // Output stops at once: queued audio is dropped, not played out.
  void Close() {
    if (pcm_ != nullptr) {
      snd_pcm_drop(pcm_);
      snd_pcm_close(pcm_);
    }
    pcm_ = nullptr;
    failed_ = false;
    channels_ = 0;
    requestedRate_ = 0;
    rate_ = 0;
    bufferFrames_ = 0;
    lastFramePoints_ = 0;
    samples_.clear();
    samples_.shrink_to_fit();
  }

 private:
  bool WriteAudio(const DacPoint* points, std::size_t count, unsigned pointsPerSec) {
    if (requestedRate_ != pointsPerSec && !SetUp(pointsPerSec))
      return false;
    samples_.resize(count * channels_);
    whorlgen::devices::PointsToSamples(points, count, channels_, samples_.data());
    lastFramePoints_ = count;
    const Clock::time_point deadline =
        Clock::now() + AudioTime(QueuedFrames(), rate_) + AudioTime(count, rate_) + kStallAllowance;
    std::size_t written = 0;
    while (written < count) {
      const snd_pcm_sframes_t n =
          snd_pcm_writei(pcm_, samples_.data() + written * channels_, count - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      } else if (Clock::now() >= deadline) {
        return false;  // the card stopped taking audio
      } else if (n == -EAGAIN || n == 0) {
        snd_pcm_wait(pcm_, 10);
      } else if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) {
        return false;
      }
      // An underrun or a suspend has been recovered: output goes on.
    }
    return true;
  }

  // X and Y at least; six when the card has them; more stay silent.
  unsigned ChooseChannels() {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned least = 0;
    unsigned most = 0;
    if (snd_pcm_hw_params_any(pcm_, hw) < 0 || snd_pcm_hw_params_get_channels_min(hw, &least) < 0 ||
        snd_pcm_hw_params_get_channels_max(hw, &most) < 0 || most < 2) {
      return 0;
    }
    return std::clamp(whorlgen::devices::kPointChannels, std::max(least, 2u), most);
  }

  // Sets the card up for a point rate. Audio queued at the old rate is
  // played out first, so a change of rate loses nothing.
  bool SetUp(unsigned pointsPerSec) {
    if (rate_ != 0) {
      const Clock::time_point deadline =
          Clock::now() + AudioTime(QueuedFrames(), rate_) + kStallAllowance;
      while (QueuedFrames() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(kPollWait);
      snd_pcm_drop(pcm_);
    }
    requestedRate_ = 0;
    rate_ = 0;

    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned rate = pointsPerSec;
    snd_pcm_uframes_t bufferFrames = kBufferFrames;
    unsigned periodUs = kPeriodUs;
    if (snd_pcm_hw_params_any(pcm_, hw) < 0 ||
        snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16) < 0 ||
        snd_pcm_hw_params_set_channels(pcm_, hw, channels_) < 0 ||
        snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate, nullptr) < 0) {
      return false;
    }
    // Sizes are wishes: a card that cannot have them gets its nearest.
    snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &bufferFrames);
    snd_pcm_hw_params_set_period_time_near(pcm_, hw, &periodUs, nullptr);
    if (snd_pcm_hw_params(pcm_, hw) < 0 ||
        snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames) < 0) {
      return false;
    }

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    // Playback starts with the first audio written; the status poll, not a
    // fill level, keeps the card a frame ahead.
    if (snd_pcm_sw_params_current(pcm_, sw) < 0 ||
        snd_pcm_sw_params_set_start_threshold(pcm_, sw, 1) < 0 || snd_pcm_sw_params(pcm_, sw) < 0) {
      return false;
    }
    requestedRate_ = pointsPerSec;
    rate_ = rate;
    bufferFrames_ = bufferFrames;
    return true;
  }

  // Audio frames written but not yet played. An underrun is recovered here
  // (nothing is queued after it); a card that is gone counts as full, so the
  // program's wait notices that it stopped answering.
  snd_pcm_sframes_t QueuedFrames() {
    snd_pcm_sframes_t avail = snd_pcm_avail(pcm_);
    if (avail < 0) {
      if (snd_pcm_recover(pcm_, static_cast<int>(avail), 1) < 0) {
        return static_cast<snd_pcm_sframes_t>(bufferFrames_);
      }
      avail = snd_pcm_avail(pcm_);
      if (avail < 0)
        return static_cast<snd_pcm_sframes_t>(bufferFrames_);
    }
    const auto buffer = static_cast<snd_pcm_sframes_t>(bufferFrames_);
    return std::max<snd_pcm_sframes_t>(0, buffer - avail);
  }

  snd_pcm_t* pcm_ = nullptr;
  bool failed_ = false;  // the card could not be set up or stopped taking audio
  unsigned channels_ = 0;
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

// The library drives one card, number 0.
bool IsOurCard(const std::int16_t* cardIndex) {
  return cardIndex != nullptr && *cardIndex == 0 && Card().IsOpen();
}

}  // namespace

extern "C" {

DAC_ENTRY std::int32_t EasyLaseGetCardNum(void) {
  return Card().Open() ? 1 : 0;
}

DAC_ENTRY std::int16_t EasyLaseGetStatus(const std::int16_t* cardIndex) {
  if (!IsOurCard(cardIndex))
    return EASYLASE_STATUS_NO_CARD;
  return Card().Status();
}

DAC_ENTRY std::int16_t EasyLaseWriteFrame(const std::int16_t* cardIndex, const DacPoint* points,
                                          std::int32_t frameBytes, std::int32_t pointsPerSec) {
  if (!IsOurCard(cardIndex) || points == nullptr || frameBytes <= 0 || pointsPerSec <= 0) {
    return 0;
  }
  const std::size_t count = static_cast<std::size_t>(frameBytes) / sizeof(DacPoint);
  return Card().Write(points, count, static_cast<unsigned>(pointsPerSec)) ? 1 : 0;
}

DAC_ENTRY void EasyLaseClose(void) {
  Card().Close();
}

}  // extern "C"
