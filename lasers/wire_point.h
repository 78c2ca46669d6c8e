#pragma once
// A frame's point as the network and USB DACs carry it. X and Y go out as the
// ILDA records carry them, (code - 2048) x 16 in a signed 16-bit field, so
// code 0 is -32768 and code 4095 is 32752; colours and intensity widen from a
// byte to 16 bits as byte x 257, so 255 is full scale 65535.

#include <cstdint>

#include "engine/dac_units.h"

namespace whorlgen::lasers {

constexpr std::int16_t WireCoordinate(std::int16_t code) {
  return static_cast<std::int16_t>((code - engine::kDacCentreCode) * 16);
}

constexpr std::uint16_t WireLevel(std::uint8_t level) {
  return static_cast<std::uint16_t>(level * 257);
}

static_assert(WireCoordinate(0) == -32768 && WireCoordinate(4095) == 32752);
static_assert(WireLevel(255) == 65535);

}  // namespace whorlgen::lasers
