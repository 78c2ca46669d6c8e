// libEasyLase.so for a machine without an EasyLase driver: one emulated card
// that takes frames and plays each at its point rate in real time, holding
// one frame while it plays another. Nothing is emitted. A vendor library with
// the same name placed beside the program takes the place of this one.

#include <cstddef>
#include <cstdint>

#include "devices/dac_api.h"
#include "devices/playout_queue.h"

namespace {

using whorlgen::devices::kStatusPollWait;
using whorlgen::devices::PlayingTime;
using whorlgen::devices::PlayoutQueue;

PlayoutQueue& Card() {
  static PlayoutQueue card;
  return card;
}

// The emulation has exactly one card, number 0.
bool IsOurCard(const std::int16_t* cardIndex) {
  return cardIndex != nullptr && *cardIndex == 0;
}

}  // namespace

extern "C" {

DAC_ENTRY std::int32_t EasyLaseGetCardNum(void) {
  return 1;
}

DAC_ENTRY std::int16_t EasyLaseGetStatus(const std::int16_t* cardIndex) {
  if (!IsOurCard(cardIndex))
    return EASYLASE_STATUS_NO_CARD;
  return Card().CanTake(kStatusPollWait) ? EASYLASE_STATUS_READY : EASYLASE_STATUS_BUSY;
}

DAC_ENTRY std::int16_t EasyLaseWriteFrame(const std::int16_t* cardIndex, const DacPoint* points,
                                          std::int32_t frameBytes, std::int32_t pointsPerSec) {
  if (!IsOurCard(cardIndex) || points == nullptr || frameBytes <= 0 || pointsPerSec <= 0) {
    return 0;
  }
  const auto count = static_cast<std::size_t>(frameBytes) / sizeof(DacPoint);
  Card().Take(points, count, PlayingTime(static_cast<std::int64_t>(count), pointsPerSec));
  return 1;
}

DAC_ENTRY void EasyLaseClose(void) {
  Card().Clear();
}

}  // extern "C"
