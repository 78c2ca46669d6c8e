#pragma once
// The Ether Dream back-end. OpenDac connects (TCP 7765) and prepares the
// unit; from then on an I/O thread keeps the unit's buffer topped up from a
// PointStream, sending blanked points at the beam's last position whenever
// no frame is ready, and SendFrame only hands frames to that stream. The
// buffer's fullness is estimated from the last status, the points not yet
// acknowledged and the time since, never learnt from a "buffer full" NAK.
// Every failure ends the I/O thread and reaches the operator in words that
// name the unit; CloseDac plays out the frames, a blanked lead-out, then
// stops the unit and joins the thread.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "output/dac_catalog.h"
#include "output/dac_driver.h"
#include "output/etherdream_protocol.h"
#include "output/point_stream.h"

namespace whorlgen::output {

struct EtherDreamTarget {
  std::string Name;  // "Ether Dream 3a:4f:12", as listed
  sockaddr_in Address{};
  std::size_t Capacity = etherdream::kDefaultCapacity;
  // Told true when a run holds the unit and false when it lets go of it.
  std::function<void(bool inUse)> OnUse;
};

struct EtherDreamTiming {
  std::chrono::milliseconds ConnectLimit{2000};
  std::chrono::milliseconds AnswerLimit{2000};  // for each reply of the unit
  std::chrono::milliseconds StallLimit{2000};   // the unit plays no point for this long
};

// "127.0.0.1:7765".
std::string AddressText(const sockaddr_in& address);

// A short look at a unit: idle when it greets a new connection in its idle
// state, busy with another computer when it turns the connection away or is
// playing, unreachable otherwise. The connection is closed at once; the
// unit's output is not touched.
DeviceState ProbeEtherDream(const sockaddr_in& address, std::chrono::milliseconds limit);

class EtherDreamConnection;  // the TCP connection, in the .cpp

class EtherDreamDriver : public DacDriver {
 public:
  explicit EtherDreamDriver(EtherDreamTarget target, EtherDreamTiming timing = {});
  ~EtherDreamDriver() override;

  DacFailure OpenDac(engine::GeneratorState& generator) override;
  DacFailure SendFrame(const engine::FrameData& frame, std::int32_t pointsPerSec) override;
  DacFailure CloseDac() override;
  std::string StatusNote() const override;
  // Frames whose first point has gone out to the unit, for measuring how long
  // a change takes to leave the program.
  std::uint64_t FramesOnWire() const { return framesOnWire_; }

 protected:
  // The stream paces the run: Push returns once the unit can take the frame.
  DacFailure WaitReady(std::size_t, std::int32_t) override { return std::nullopt; }

 private:
  DacFailure Prepare();
  void IoMain();
  void StopIo();

  const EtherDreamTarget target_;
  const EtherDreamTiming timing_;
  const std::string who_;  // the unit's name and address, for messages
  std::unique_ptr<EtherDreamConnection> connection_;
  PointStream stream_;
  std::thread io_;
  std::atomic<bool> stopIo_{false};
  std::atomic<bool> ioDone_{false};
  std::atomic<int> underruns_{0};
  std::atomic<std::size_t> leadOutPoints_{0};
  std::atomic<std::uint64_t> framesOnWire_{0};
  bool failureTold_ = false;
  bool inUse_ = false;
};

}  // namespace whorlgen::output
