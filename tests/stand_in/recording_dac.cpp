// A recording stand-in for the laser DAC libraries: it has the entry points
// of devices/dac_api.h, appends every call with its arguments to a log, and
// answers as the test tells it. Built once per library name (see
// CMakeLists.txt); STAND_IN_WITHOUT_GET_STATUS and STAND_IN_WITHOUT_STOP_SHOW
// leave one entry point out.
//
// Log lines: the function's name, then its arguments as decimal numbers.
// Addresses are written as numbers too, so the test can turn them into
// offsets from the frame it sent.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "devices/dac_api.h"

#define STAND_IN_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

struct Script {
  std::string log;
  std::int32_t cardCount = 1;
  std::vector<std::int16_t> statuses;  // answers of EasyLaseGetStatus, in turn
  std::int16_t statusAfterwards = EASYLASE_STATUS_READY;
  std::int16_t writeAnswer = 1;  // of EasyLaseWriteFrame
  std::uint8_t riyaOpened = 1;
  std::vector<std::uint8_t> readyAnswers;  // answers of Ri_SetIntCh, in turn
  std::uint8_t readyAfterwards = 1;
  std::size_t statusesGiven = 0;
  std::size_t readyGiven = 0;
};

Script& TheScript() {
  static Script script;
  return script;
}

long long Address(const void* p) {
  return static_cast<long long>(reinterpret_cast<std::uintptr_t>(p));
}

void Record(const char* name, const std::vector<long long>& args) {
  std::string& log = TheScript().log;
  log += name;
  for (long long arg : args)
    log += ' ' + std::to_string(arg);
  log += '\n';
}

template <typename T>
T Next(const std::vector<T>& answers, std::size_t& given, T afterwards) {
  return given < answers.size() ? answers[given++] : afterwards;
}

// Reads both ends of a block, so that a wrong address or length shows up
// under the address sanitizer, and records what the block starts with.
void RecordBlock(const char* name, std::initializer_list<long long> head, const DacPoint* points,
                 std::int32_t count) {
  std::vector<long long> args(head);
  if (points != nullptr && count > 0) {
    const DacPoint& first = points[0];
    args.insert(args.end(),
                {first.x, first.y, first.r + first.g + first.b + first.i, points[count - 1].x});
  }
  Record(name, args);
}

}  // namespace

#if defined(STAND_IN_EASYLASE)

STAND_IN_ENTRY std::int32_t EasyLaseGetCardNum(void) {
  Record("EasyLaseGetCardNum", {});
  return TheScript().cardCount;
}

#if !defined(STAND_IN_WITHOUT_GET_STATUS)
STAND_IN_ENTRY std::int16_t EasyLaseGetStatus(const std::int16_t* cardIndex) {
  Record("EasyLaseGetStatus", {Address(cardIndex), cardIndex != nullptr ? *cardIndex : -9999});
  Script& s = TheScript();
  return Next(s.statuses, s.statusesGiven, s.statusAfterwards);
}
#endif

STAND_IN_ENTRY std::int16_t EasyLaseWriteFrame(const std::int16_t* cardIndex,
                                               const DacPoint* points, std::int32_t frameBytes,
                                               std::int32_t pointsPerSec) {
  RecordBlock("EasyLaseWriteFrame",
              {Address(cardIndex), cardIndex != nullptr ? *cardIndex : -9999, Address(points),
               frameBytes, pointsPerSec},
              points, frameBytes / 8);
  return TheScript().writeAnswer;
}

STAND_IN_ENTRY void EasyLaseClose(void) {
  Record("EasyLaseClose", {});
}

#endif  // STAND_IN_EASYLASE

#if defined(STAND_IN_RIYA)

STAND_IN_ENTRY std::uint8_t RiOpenDevices(void) {
  Record("RiOpenDevices", {});
  return TheScript().riyaOpened;
}

STAND_IN_ENTRY void Ri_InitChanal(std::int32_t index, std::int32_t value) {
  Record("Ri_InitChanal", {index, value});
}

STAND_IN_ENTRY void RiSetShowCadr(std::int32_t index, const DacPoint* points, std::int32_t count,
                                  std::int32_t period, std::int32_t mode) {
  RecordBlock("RiSetShowCadr", {index, Address(points), count, period, mode}, points, count);
}

STAND_IN_ENTRY std::uint8_t Ri_SetIntCh(std::int32_t index) {
  Record("Ri_SetIntCh", {index});
  Script& s = TheScript();
  return Next(s.readyAnswers, s.readyGiven, s.readyAfterwards);
}

#if !defined(STAND_IN_WITHOUT_STOP_SHOW)
STAND_IN_ENTRY void RiStopShow(std::int32_t index) {
  Record("RiStopShow", {index});
}
#endif

STAND_IN_ENTRY void RiCloseDevices(void) {
  Record("RiCloseDevices", {});
}

STAND_IN_ENTRY void FreeRecource(void) {
  Record("FreeRecource", {});
}

#endif  // STAND_IN_RIYA

// ---- What the tests call to script the answers and read the log ----

STAND_IN_ENTRY void StandIn_Reset(void) {
  TheScript() = Script{};
}

STAND_IN_ENTRY const char* StandIn_Log(void) {
  return TheScript().log.c_str();
}

STAND_IN_ENTRY void StandIn_SetCardCount(std::int32_t count) {
  TheScript().cardCount = count;
}

STAND_IN_ENTRY void StandIn_SetStatuses(const std::int16_t* statuses, std::int32_t count,
                                        std::int16_t afterwards) {
  Script& s = TheScript();
  s.statuses.assign(statuses, statuses + count);
  s.statusesGiven = 0;
  s.statusAfterwards = afterwards;
}

STAND_IN_ENTRY void StandIn_SetWriteAnswer(std::int16_t answer) {
  TheScript().writeAnswer = answer;
}

STAND_IN_ENTRY void StandIn_SetRiyaOpened(std::uint8_t opened) {
  TheScript().riyaOpened = opened;
}

STAND_IN_ENTRY void StandIn_SetReadyAnswers(const std::uint8_t* answers, std::int32_t count,
                                            std::uint8_t afterwards) {
  Script& s = TheScript();
  s.readyAnswers.assign(answers, answers + count);
  s.readyGiven = 0;
  s.readyAfterwards = afterwards;
}
