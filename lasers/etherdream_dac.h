#pragma once
// The Ether Dream back-end. OpenDac connects (TCP 7765) and prepares the
// unit; from then on an I/O thread keeps the unit's buffer topped up from a
// PointStream, sending blanked points at the beam's last position whenever
// no frame is ready; SendFrame only hands frames to that stream.
//
// The buffer is kept nearly full in small, frequent top-ups, so that even at
// 48,000 points a second the unit holds about 30 ms or more and a stalled
// computer does not empty it. Its fullness is estimated from the last status,
// the time since and the computer's own clock: the unit can never have
// played more points than the time allows, so the program never sends more
// than the capacity plus the elapsed time at the point rate, whatever the
// unit reports. A unit whose reports contradict that clock is named in the
// status note. A buffer-full NAK teaches the unit's real capacity; a unit
// that runs dry is prepared and begun again; only an emergency stop ends the
// run. Every wait gives up within tens of milliseconds after Interrupt, and
// CloseDac leaves the unit dark: a short dark lead-out, then stop.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "lasers/etherdream_protocol.h"
#include "lasers/point_stream.h"
#include "lasers/wake_signal.h"
#include "output/dac_catalog.h"
#include "output/dac_driver.h"

namespace whorlgen::lasers {

// Announced capacities outside these bounds are not believed (a spoofed or
// garbled announcement); the first model's 1,800 points are assumed then.
inline constexpr std::size_t kLeastPlausibleCapacity = 256;
inline constexpr std::size_t kMostPlausibleCapacity = 16384;
// The capacity a run starts with for a unit that announced `announced`.
std::size_t PlausibleCapacity(std::size_t announced);

struct EtherDreamTarget {
  std::string Name;  // "Ether Dream 3a:4f:12", as listed
  sockaddr_in Address{};
  std::size_t Capacity = etherdream::kDefaultCapacity;  // as announced
  // Told true when a run holds the unit and false when it lets go of it.
  std::function<void(bool inUse)> OnUse;
  // For measuring: told on the I/O thread how many frames began to go out to
  // the unit with each batch of points it took. Unset in the program.
  std::function<void(std::uint64_t frames)> OnFramesOnWire;
};

struct EtherDreamTiming {
  std::chrono::milliseconds ConnectLimit{2000};
  std::chrono::milliseconds AnswerLimit{2000};  // for each reply of the unit
  // The window over which the unit must take at least half of what the
  // point rate asks for; one that takes nothing for this long has stopped.
  std::chrono::milliseconds StallLimit{2000};
};

// "127.0.0.1:7765".
std::string AddressText(const sockaddr_in& address);

// "Ether Dream 3a:4f:12 at 127.0.0.1:7765"; a unit added by address already
// carries it in its name and is not told where it is twice.
std::string NameWithAddress(const std::string& name, const sockaddr_in& address);

// A short look at a unit: idle when it greets a new connection in its idle
// state, busy with another computer when it turns the connection away or is
// playing, unreachable otherwise. The connection is closed at once; the
// unit's output is not touched.
output::DeviceState ProbeEtherDream(const sockaddr_in& address, std::chrono::milliseconds limit);

class EtherDreamConnection;  // the TCP connection, in the .cpp

// What the I/O thread tells the run's device thread, read by StatusNote.
struct EtherDreamCounts {
  std::atomic<int> Underruns{0};
  // Reports that the computer's clock shows to be false, by kind (a bit each).
  std::atomic<unsigned> FalseReports{0};
  std::atomic<std::size_t> LearntCapacity{0};  // 0 while the announced one holds
};

class EtherDreamDriver : public PointStreamDevice {
 public:
  explicit EtherDreamDriver(EtherDreamTarget target, EtherDreamTiming timing = {});
  ~EtherDreamDriver() override;

  output::DacFailure OpenDac(engine::GeneratorState& generator) override;
  output::DacFailure CloseDac() override;
  std::string StatusNote() const override;
  void Interrupt() override;

 private:
  output::DacFailure Prepare();
  void IoMain();
  void StopIo();

  const EtherDreamTarget target_;
  const EtherDreamTiming timing_;
  const std::string name_;  // the unit's name, safe to show
  const std::string who_;   // its name and address, for messages
  WakeSignal wake_;         // raised by Interrupt
  std::unique_ptr<EtherDreamConnection> connection_;
  std::thread io_;
  std::atomic<bool> ioDone_{false};
  std::atomic<std::size_t> leadOutPoints_{0};
  EtherDreamCounts counts_;
  bool inUse_ = false;
};

}  // namespace whorlgen::lasers
