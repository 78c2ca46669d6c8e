#include "lasers/etherdream_protocol.h"

#include <cstdio>

#include "lasers/wire_point.h"

namespace whorlgen::lasers::etherdream {
namespace {

std::uint16_t U16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t U32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(U16(bytes)) |
         (static_cast<std::uint32_t>(U16(bytes + 2)) << 16);
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  PutU16(out, static_cast<std::uint16_t>(value));
  PutU16(out, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

Status DecodeStatus(std::span<const std::uint8_t, kStatusBytes> bytes) {
  Status status;
  status.LightEngineState = bytes[1];
  status.PlaybackState = static_cast<Playback>(bytes[2]);
  status.PlaybackFlags = U16(&bytes[6]);
  status.BufferFullness = U16(&bytes[10]);
  status.PointsPerSec = U32(&bytes[12]);
  status.PointCount = U32(&bytes[16]);
  return status;
}

Reply DecodeReply(std::span<const std::uint8_t, kReplyBytes> bytes) {
  Reply reply;
  reply.Response = static_cast<char>(bytes[0]);
  reply.Command = static_cast<char>(bytes[1]);
  reply.State = DecodeStatus(bytes.subspan<2, kStatusBytes>());
  return reply;
}

std::optional<Announcement> DecodeAnnouncement(std::span<const std::uint8_t> packet) {
  if (packet.size() != kBroadcastBytes)
    return std::nullopt;
  Announcement announcement;
  std::copy(packet.begin(), packet.begin() + 6, announcement.Mac.begin());
  announcement.Capacity = U16(&packet[10]);
  announcement.MaxPointsPerSec = U32(&packet[12]);
  announcement.State = DecodeStatus(packet.subspan<16, kStatusBytes>());
  return announcement;
}

std::string ShortMac(const std::array<std::uint8_t, 6>& mac) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x", mac[3], mac[4], mac[5]);
  return text;
}

std::vector<std::uint8_t> BeginCommand(std::uint32_t pointsPerSec) {
  std::vector<std::uint8_t> command{'b'};
  PutU16(command, 0);  // low-water mark, unused by the units
  PutU32(command, pointsPerSec);
  return command;
}

std::vector<std::uint8_t> QueueRateCommand(std::uint32_t pointsPerSec) {
  std::vector<std::uint8_t> command{'q'};
  PutU32(command, pointsPerSec);
  return command;
}

void AppendDataCommand(std::span<const StreamPoint> points, std::vector<std::uint8_t>& out) {
  out.push_back('d');
  PutU16(out, static_cast<std::uint16_t>(points.size()));
  for (const StreamPoint& point : points) {
    const engine::LaserPoint& p = point.Point;
    PutU16(out, point.RateChange ? kRateChangeBit : 0);
    PutU16(out, static_cast<std::uint16_t>(WireCoordinate(p.X)));
    PutU16(out, static_cast<std::uint16_t>(WireCoordinate(p.Y)));
    PutU16(out, WireLevel(p.R));
    PutU16(out, WireLevel(p.G));
    PutU16(out, WireLevel(p.B));
    PutU16(out, WireLevel(p.I));
    PutU16(out, 0);  // two user channels, unused
    PutU16(out, 0);
  }
}

std::string NakReason(char response) {
  switch (response) {
    case 'F':
      return "its buffer was full (NAK 'F')";
    case 'I':
      return "it rejected a command as invalid (NAK 'I')";
    case '!':
      return "it is in an emergency stop (NAK '!')";
    default: {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02x", static_cast<unsigned char>(response));
      return std::string("it answered with an unknown code (") + code + ")";
    }
  }
}

}  // namespace whorlgen::lasers::etherdream
