#include "audio/jack_dac.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <samplerate.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "engine/shown_text.h"

namespace whorlgen::audio {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kChannels = 6;
constexpr std::array<const char*, kChannels> kPortNames = {"x", "y", "r", "g", "b", "i"};
constexpr std::size_t kFrameBytes = kChannels * sizeof(float);
// About 2.7 s at 48 kHz: room for the longest frame and the one before it.
constexpr std::size_t kRingFrames = std::size_t{1} << 17;
// How long the server may go without taking audio before the run ends.
constexpr auto kStallLimit = 2s;
constexpr auto kPollWait = 1ms;
// How long a close waits for the server to let the client go; less once the
// run is cut short.
constexpr auto kCloseLimit = 1000ms;
constexpr auto kCutShortCloseLimit = 50ms;

// Clients of ours now open. libjack keeps process-wide state that a probe
// opened beside a client whose server has gone would pull from under it, so
// no probe runs while one is open.
std::atomic<int> openClients{0};

// The counts of the current or last run; one JACK run at a time.
std::atomic<unsigned long long> runUnderruns{0};
std::atomic<unsigned long long> runXruns{0};
std::atomic<unsigned> runSampleRate{0};

// libjack prints to stderr when no server answers; the list simply shows no
// "JACK" then, and a run reports in its own words.
void SilentJack(const char* /*message*/) {}

void SilenceJackOnce() {
  static const bool silenced = [] {
    jack_set_error_function(SilentJack);
    jack_set_info_function(SilentJack);
    return true;
  }();
  (void)silenced;
}

std::string JackStatusText(jack_status_t status) {
  if ((status & JackServerFailed) != 0 || (status & JackServerError) != 0)
    return "no JACK server is running";
  if ((status & JackNameNotUnique) != 0)
    return "the client name is taken";
  if ((status & JackShmFailure) != 0)
    return "JACK's shared memory could not be reached";
  char text[64];
  std::snprintf(text, sizeof text, "JACK refused the client (status 0x%x)",
                static_cast<unsigned>(status));
  return text;
}

// What the server's threads touch: the client, its ports, the queue and
// the counts. Shared by the driver and, while libjack lets go of the client,
// by the thread that closes it, so a server that hangs in the close never
// calls into freed memory.
struct JackSession {
  ~JackSession() {
    if (ring != nullptr)
      jack_ringbuffer_free(ring);
  }

  jack_client_t* client = nullptr;
  std::array<jack_port_t*, kChannels> ports{};
  jack_ringbuffer_t* ring = nullptr;  // interleaved float frames, run thread to server thread
  std::atomic<bool> started{false};
  std::atomic<bool> shutDown{false};
  char shutdownReason[256] = {};
  std::atomic<unsigned long long> consumed{0};
};

// Deactivates and closes the client on a thread of its own; returns once
// that is done, or after kCloseLimit (kCutShortCloseLimit once `cutShort`
// is set). libjack waits for the server without a limit of its own, and a
// server that hangs must not hold the run.
void CloseClient(std::shared_ptr<JackSession> session, const std::atomic<bool>& cutShort) {
  auto closed = std::make_shared<std::atomic<bool>>(false);
  std::thread closer([session, closed] {
    // A client whose server has gone can only be closed.
    if (!session->shutDown.load(std::memory_order_acquire))
      jack_deactivate(session->client);
    jack_client_close(session->client);
    --openClients;
    closed->store(true, std::memory_order_release);
  });
  const auto start = Clock::now();
  const auto limit = [&] {
    return cutShort.load(std::memory_order_acquire) ? kCutShortCloseLimit : kCloseLimit;
  };
  while (!closed->load(std::memory_order_acquire) && Clock::now() - start < limit())
    std::this_thread::sleep_for(kPollWait);
  if (closed->load(std::memory_order_acquire))
    closer.join();
  else
    closer.detach();  // it keeps the session until libjack lets go
}

// A frame device: a frame is resampled to the server's rate and queued in a
// lock-free ring once the ring has room for it, and the server's process
// callback, JACK's own real-time thread, takes the audio from there.
class JackDriver final : public output::FrameDevice {
 public:
  ~JackDriver() override { CloseDac(); }

  output::DacFailure OpenDac(engine::GeneratorState& /*generator*/) override {
    SilenceJackOnce();
    jack_status_t status{};
    session_ = std::make_shared<JackSession>();
    session_->client = jack_client_open(kJackClientName, JackNoStartServer, &status);
    if (session_->client == nullptr) {
      session_.reset();
      return "JACK could not be used: " + JackStatusText(status) + ".";
    }
    ++openClients;
    for (unsigned c = 0; c < kChannels; ++c) {
      session_->ports[c] = jack_port_register(session_->client, kPortNames[c],
                                              JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
      if (session_->ports[c] == nullptr)
        return Abandon(std::string("JACK refused the port \"") + kPortNames[c] + "\".");
    }
    session_->ring = jack_ringbuffer_create(kRingFrames * kFrameBytes);
    int error = 0;
    // A band-limited sinc: the point stream is resampled, never held.
    resampler_ = src_new(SRC_SINC_FASTEST, kChannels, &error);
    if (session_->ring == nullptr || resampler_ == nullptr)
      return Abandon(std::string("JACK output could not be set up: ") + src_strerror(error) + ".");
    jack_ringbuffer_mlock(session_->ring);
    sampleRate_ = jack_get_sample_rate(session_->client);
    runUnderruns = 0;
    runXruns = 0;
    runSampleRate = sampleRate_;
    jack_set_process_callback(session_->client, &Process, session_.get());
    jack_set_xrun_callback(session_->client, &Xrun, nullptr);
    jack_on_info_shutdown(session_->client, &Shutdown, session_.get());
    if (jack_activate(session_->client) != 0)
      return Abandon("The JACK client could not be activated.");
    lastProgress_ = Clock::now();
    return std::nullopt;
  }

  // The waits for room give up at once, and the close waits for the server
  // at most 50 ms.
  void Interrupt() override { interrupted_.store(true, std::memory_order_release); }

  // Output stops at once; what was queued is dropped. The ports go with the
  // client, so nothing stays lit.
  output::DacFailure CloseDac() override {
    if (session_ != nullptr)
      CloseClient(std::move(session_), interrupted_);
    session_.reset();
    if (resampler_ != nullptr) {
      src_delete(resampler_);
      resampler_ = nullptr;
    }
    return std::nullopt;
  }

 protected:
  // The frame goes whole, while the client is open and the run goes on.
  std::size_t BlockAt(std::size_t first, std::size_t total) const override {
    return first == 0 && session_ != nullptr && !Interrupted() ? total : 0;
  }

  output::DacFailure WriteBlock(const engine::FrameData& frame, std::size_t /*first*/,
                                std::size_t /*count*/, std::int32_t pointsPerSec) override {
    if (pointsPerSec <= 0)
      return std::nullopt;
    Resample(frame, pointsPerSec);
    return Queue(resampled_.data(), resampled_.size() / kChannels);
  }

  // Keeps about one frame queued: the next frame is taken once what is left
  // is no longer than the frame about to be sent. Frames shorter than the
  // server's cycle keep two cycles queued, or every cycle would run dry.
  output::DacFailure WaitReady(std::size_t points, std::int32_t pointsPerSec) override {
    if (pointsPerSec <= 0)
      return std::nullopt;
    const double frameSamples = static_cast<double>(points) * sampleRate_ / pointsPerSec;
    const double twoCycles = 2.0 * jack_get_buffer_size(session_->client);
    const auto allowed = static_cast<std::size_t>(
        std::min(std::max(frameSamples, twoCycles), static_cast<double>(kRingFrames / 2)));
    while (QueuedFrames() > allowed && !Interrupted()) {
      if (output::DacFailure failure = CheckAlive())
        return failure;
      std::this_thread::sleep_for(kPollWait);
    }
    return CheckAlive();
  }

 private:
  output::DacFailure Abandon(const std::string& message) {
    CloseDac();
    return message;
  }

  void Resample(const engine::FrameData& frame, std::int32_t pointsPerSec) {
    input_.resize(frame.FrameBuffer.size() * kChannels);
    float* in = input_.data();
    for (const engine::LaserPoint& p : frame.FrameBuffer) {
      *in++ = JackPosition(p.X);
      *in++ = JackPosition(p.Y);
      *in++ = JackLevel(p.R);
      *in++ = JackLevel(p.G);
      *in++ = JackLevel(p.B);
      *in++ = JackLevel(p.I);
    }
    const double ratio = static_cast<double>(sampleRate_) / pointsPerSec;
    if (ratio != ratio_) {
      src_set_ratio(resampler_, ratio);  // a new point rate takes effect at once
      ratio_ = ratio;
    }
    const auto inputFrames = static_cast<long>(frame.FrameBuffer.size());
    resampled_.resize(static_cast<std::size_t>(std::ceil(inputFrames * ratio) + 64) * kChannels);
    SRC_DATA data{};
    data.data_in = input_.data();
    data.input_frames = inputFrames;
    data.src_ratio = ratio;
    long produced = 0;
    while (data.input_frames > 0) {
      data.data_out = resampled_.data() + produced * kChannels;
      data.output_frames = static_cast<long>(resampled_.size() / kChannels) - produced;
      if (data.output_frames <= 0) {
        resampled_.resize(resampled_.size() + 1024 * kChannels);
        continue;
      }
      if (src_process(resampler_, &data) != 0)
        break;
      produced += data.output_frames_gen;
      data.data_in += data.input_frames_used * kChannels;
      data.input_frames -= data.input_frames_used;
      if (data.input_frames_used == 0 && data.output_frames_gen == 0)
        break;
    }
    resampled_.resize(static_cast<std::size_t>(produced) * kChannels);
    // The sinc rings a little at edges: keep positions and colours in range.
    for (std::size_t n = 0; n < resampled_.size(); ++n) {
      const bool position = n % kChannels < 2;
      resampled_[n] = std::clamp(resampled_[n], position ? -1.0f : 0.0f, 1.0f);
    }
  }

  output::DacFailure Queue(const float* samples, std::size_t frames) {
    while (frames > 0 && !Interrupted()) {
      const std::size_t room = jack_ringbuffer_write_space(session_->ring) / kFrameBytes;
      const std::size_t now = std::min(room, frames);
      if (now == 0) {
        if (output::DacFailure failure = CheckAlive())
          return failure;
        std::this_thread::sleep_for(kPollWait);
        continue;
      }
      jack_ringbuffer_write(session_->ring, reinterpret_cast<const char*>(samples),
                            now * kFrameBytes);
      samples += now * kChannels;
      frames -= now;
      session_->started.store(true, std::memory_order_release);
    }
    return std::nullopt;
  }

  bool Interrupted() const { return interrupted_.load(std::memory_order_acquire); }

  std::size_t QueuedFrames() const {
    return jack_ringbuffer_read_space(session_->ring) / kFrameBytes;
  }

  output::DacFailure CheckAlive() {
    if (session_->shutDown.load(std::memory_order_acquire)) {
      return "The JACK server shut down (" + engine::ShownText(session_->shutdownReason, 200) +
             "), so the run was stopped.";
    }
    const unsigned long long consumed = session_->consumed.load(std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    if (consumed != lastConsumed_) {
      lastConsumed_ = consumed;
      lastProgress_ = now;
    } else if (now - lastProgress_ > kStallLimit && QueuedFrames() > 0) {
      return std::string(
          "The JACK server stopped taking audio for two seconds, so the run was "
          "stopped.");
    }
    return std::nullopt;
  }

  // The server's real-time thread: no allocation, no lock, no wait.
  static int Process(jack_nframes_t frames, void* arg) {
    auto* session = static_cast<JackSession*>(arg);
    std::array<float*, kChannels> out{};
    for (unsigned c = 0; c < kChannels; ++c)
      out[c] = static_cast<float*>(jack_port_get_buffer(session->ports[c], frames));
    constexpr std::size_t kChunk = 256;
    float chunk[kChunk * kChannels];
    jack_nframes_t done = 0;
    while (done < frames) {
      const std::size_t want = std::min<std::size_t>(kChunk, frames - done);
      const std::size_t got =
          jack_ringbuffer_read(session->ring, reinterpret_cast<char*>(chunk), want * kFrameBytes) /
          kFrameBytes;
      for (std::size_t n = 0; n < got; ++n) {
        for (unsigned c = 0; c < kChannels; ++c)
          out[c][done + n] = chunk[n * kChannels + c];
      }
      done += static_cast<jack_nframes_t>(got);
      if (got < want)
        break;
    }
    session->consumed.fetch_add(done, std::memory_order_relaxed);
    if (done < frames) {
      // Ran dry: the centre, dark, until the next frame arrives.
      for (unsigned c = 0; c < kChannels; ++c)
        std::fill(out[c] + done, out[c] + frames, 0.0f);
      if (session->started.load(std::memory_order_acquire))
        runUnderruns.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
  }

  static int Xrun(void* /*arg*/) {
    runXruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }

  static void Shutdown(jack_status_t /*code*/, const char* reason, void* arg) {
    auto* session = static_cast<JackSession*>(arg);
    std::snprintf(session->shutdownReason, sizeof session->shutdownReason, "%s",
                  reason != nullptr && *reason != '\0' ? reason : "no reason given");
    session->shutDown.store(true, std::memory_order_release);
  }

  std::shared_ptr<JackSession> session_;  // null when no client is open
  SRC_STATE* resampler_ = nullptr;
  jack_nframes_t sampleRate_ = 0;
  double ratio_ = 0.0;
  std::vector<float> input_;      // the frame as interleaved floats at the point rate
  std::vector<float> resampled_;  // the same at the server's rate
  std::atomic<bool> interrupted_{false};
  unsigned long long lastConsumed_ = 0;
  Clock::time_point lastProgress_{};
};

}  // namespace

bool JackServerRunning(std::chrono::milliseconds maxAge) {
  static Clock::time_point checkedAt{};
  static bool running = false;
  const Clock::time_point now = Clock::now();
  if (openClients.load() > 0)
    return running || checkedAt == Clock::time_point{};
  if (checkedAt != Clock::time_point{} && now - checkedAt < maxAge)
    return running;
  SilenceJackOnce();
  jack_status_t status{};
  jack_client_t* probe = jack_client_open("whorlgen-probe", JackNoStartServer, &status);
  running = probe != nullptr;
  if (probe != nullptr)
    jack_client_close(probe);
  checkedAt = Clock::now();
  return running;
}

namespace {

// jackd's server socket: "jack_<server>_<uid>_0" in its socket folder.
std::string ServerSocketName() {
  const char* server = std::getenv("JACK_DEFAULT_SERVER");
  const std::string name = server != nullptr && *server != '\0' ? server : "default";
  return "jack_" + name + "_" + std::to_string(getuid()) + "_0";
}

}  // namespace

JackDacFamily::JackDacFamily(std::string socketFolder)
    : folder_(std::move(socketFolder)), socketName_(ServerSocketName()) {
  socketThere_ = SocketThere();
}

JackDacFamily::~JackDacFamily() {
  if (watcher_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
    watcher_.join();
  }
  if (inotify_ >= 0)
    close(inotify_);
  if (wake_ >= 0)
    close(wake_);
}

bool JackDacFamily::SocketThere() const {
  struct stat info {};
  return stat((folder_ + "/" + socketName_).c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

void JackDacFamily::WatchChanges(std::function<void()> changed) {
  changed_ = std::move(changed);
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (inotify_ < 0 || wake_ < 0 ||
      inotify_add_watch(inotify_, folder_.c_str(),
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) < 0)
    return;                      // no passive news: a Scan still looks
  socketThere_ = SocketThere();  // anything that came before the watch
  watcher_ = std::thread([this] { Watch(); });
}

void JackDacFamily::Watch() {
  alignas(inotify_event) char events[4096];
  while (true) {
    pollfd watched[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0 && errno != EINTR)
      return;
    if ((watched[1].revents & POLLIN) != 0)
      return;
    bool ours = false;
    for (ssize_t got; (got = read(inotify_, events, sizeof events)) > 0;) {
      for (char* at = events; at < events + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && socketName_ == event->name)
          ours = true;
        at += sizeof(inotify_event) + event->len;
      }
    }
    if (!ours)
      continue;
    const bool there = SocketThere();
    if (!there)
      foundByScan_ = false;  // the server went: only a new look finds another
    if (socketThere_.exchange(there) != there)
      changed_();
  }
}

void JackDacFamily::Scan() {
  socketThere_ = SocketThere();
  foundByScan_ = !socketThere_ && JackServerRunning(std::chrono::milliseconds(0));
}

std::vector<output::DacInfo> JackDacFamily::Devices() {
  if (!socketThere_ && !foundByScan_)
    return {};
  return {{kJackDacName, "", kJackDacName, "JACK server", output::DeviceState::Running, {}}};
}

std::unique_ptr<output::DacDriver> JackDacFamily::MakeDriver(const output::DacInfo& /*dac*/) {
  return std::make_unique<JackDriver>();
}

JackRunCounts LastJackRunCounts() {
  return {runUnderruns.load(), runXruns.load(), runSampleRate.load()};
}

}  // namespace whorlgen::audio
