#pragma once
// The Ether Dream's wire format: packed little-endian structs over TCP 7765
// (commands, and a 22-byte reply to each) and its 36-byte UDP announcement
// on port 7654. Pure encoding and decoding; the sockets live elsewhere.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lasers/point_stream.h"

namespace whorlgen::lasers::etherdream {

inline constexpr std::uint16_t kTcpPort = 7765;
inline constexpr std::uint16_t kBroadcastPort = 7654;
inline constexpr std::size_t kStatusBytes = 20;
inline constexpr std::size_t kReplyBytes = 22;
inline constexpr std::size_t kBroadcastBytes = 36;
inline constexpr std::size_t kPointBytes = 18;
// The first units hold this many points; an announcement tells the real size.
inline constexpr std::size_t kDefaultCapacity = 1800;
inline constexpr std::uint16_t kRateChangeBit = 0x8000;      // take the next queued rate here
inline constexpr std::uint16_t kUnderflowFlag = 0x0002;      // playback flags: the buffer ran dry
inline constexpr std::uint16_t kEmergencyStopFlag = 0x0004;  // playback flags: ended by an E-stop
inline constexpr std::uint8_t kLightEngineEmergencyStop = 3;

enum class Playback : std::uint8_t { Idle = 0, Prepared = 1, Playing = 2 };

struct Status {
  std::uint8_t LightEngineState = 0;  // 0 ready, 3 emergency stop
  Playback PlaybackState = Playback::Idle;
  std::uint16_t PlaybackFlags = 0;
  std::uint16_t BufferFullness = 0;  // points waiting in the unit
  std::uint32_t PointsPerSec = 0;
  std::uint32_t PointCount = 0;  // points played since the last begin
};

struct Reply {
  char Response = 0;  // 'a' ACK, 'F' full, 'I' invalid, '!' stop condition
  char Command = 0;
  Status State;
};

struct Announcement {
  std::array<std::uint8_t, 6> Mac{};
  std::uint16_t Capacity = 0;
  std::uint32_t MaxPointsPerSec = 0;
  Status State;
};

Status DecodeStatus(std::span<const std::uint8_t, kStatusBytes> bytes);
Reply DecodeReply(std::span<const std::uint8_t, kReplyBytes> bytes);
// Nullopt for a packet of the wrong size.
std::optional<Announcement> DecodeAnnouncement(std::span<const std::uint8_t> packet);

// "3a:4f:12": the last three bytes of the MAC address, as units are labelled.
std::string ShortMac(const std::array<std::uint8_t, 6>& mac);

std::vector<std::uint8_t> BeginCommand(std::uint32_t pointsPerSec);
std::vector<std::uint8_t> QueueRateCommand(std::uint32_t pointsPerSec);
// 'd', the count, then each point: X and Y as the ILDA records carry them,
// colours and intensity widened to 16 bits, the rate-change bit where the
// stream flags one.
void AppendDataCommand(std::span<const StreamPoint> points, std::vector<std::uint8_t>& out);

// A NAK's reason in words; a code the protocol does not know is shown in
// hexadecimal ("0x07"), never as the raw byte.
std::string NakReason(char response);

}  // namespace whorlgen::lasers::etherdream
