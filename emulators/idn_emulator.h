#pragma once
// An IDN laser projector on 127.0.0.1 (or --address): answers scan and service map
// requests, takes a real-time stream of wave samples on its one laser
// projector service, plays it by the chunks' durations (counting the times it
// runs dry), acknowledges when asked, and injects faults on request.

namespace whorlgen::emulators {

inline constexpr const char* kIdnUsage =
    "  --address ADDR      IPv4 address to listen on (127.0.0.1); run several units\n"
    "                      at once on 127.0.0.2, 127.0.0.3, ...\n"
    "  --port N            UDP port to listen on (7255; 0 picks a free one,\n"
    "                      reported as port= in the stats)\n"
    "  --name NAME         the unit's host name (whorlgen-idn)\n"
    "  --stats FILE        keep a report of what arrived there (points, rate, underruns)\n"
    "  --record FILE       append every sample chunk: u16 count, u32 duration in us\n"
    "                      (big-endian), then the samples as received, 7 bytes each\n"
    "  --play-times FILE   append when each sample plays: monotonic clock, u64 ns\n"
    "  --clock-ppm N       the unit's crystal runs N ppm fast (below 0: slow), up to\n"
    "                      +/-100000; it plays the chunks' durations by it\n"
    "  --fault KIND        busy: another computer holds the unit (scan says occupied,\n"
    "                      streams are refused); silent: stops answering and playing;\n"
    "                      no-ack: plays the stream but never acknowledges it\n"
    "  --fault-after N     samples received before the fault starts (0)\n";

int RunIdnEmulator(int argc, char** argv, int firstOption);

}  // namespace whorlgen::emulators
