#pragma once
// An Ether Dream on 127.0.0.1 (or --address): the TCP command protocol on one connection at
// a time, its broadcast once a second to the address it is given, playback
// at the point rate with the buffer and underflow of a real unit, and faults
// on request.

namespace whorlgen::emulators {

inline constexpr const char* kEtherDreamUsage =
    "  --address ADDR      IPv4 address to listen on (127.0.0.1); run several units\n"
    "                      at once on 127.0.0.2, 127.0.0.3, ...\n"
    "  --port N            TCP port to listen on (7765)\n"
    "  --announce-to ADDR  send the broadcast there once a second; without it,\n"
    "                      Whorlgen sees the unit only when it is added by address\n"
    "  --announce-port N   UDP port of the broadcast (7654)\n"
    "  --mac XX:..:XX      the unit's MAC address (02:57:47:3a:4f:12)\n"
    "  --capacity N        buffer capacity in points (1800)\n"
    "  --stats FILE        keep a report of what arrived there (points, rate, underruns, NAKs)\n"
    "  --record FILE       append every played point: 18 bytes as received, then its u32 rate\n"
    "  --play-times FILE   append when each played point began: monotonic clock, u64 ns\n"
    "  --clock-ppm N       the unit's crystal runs N ppm fast (below 0: slow), up to +/-100000\n"
    "  --fault KIND        slow: stops playing; withhold-ack: stops answering;\n"
    "                      drop: closes the connection; nak: answers data with NAK 'I';\n"
    "                      busy: refuses every host as if another one held it;\n"
    "                      trickle: claims a full buffer, takes one point per data\n"
    "                      command and answers prepare after 1.5 s;\n"
    "                      zero-buffer: claims an empty buffer and takes every point;\n"
    "                      underflow-every-reply: runs dry, dropping what it holds,\n"
    "                      after every command while playing;\n"
    "                      late-replies: holds a reply back --late-ms N (25), then\n"
    "                      again every --late-every-ms M (500), playing on meanwhile;\n"
    "                      dry-unflagged: holds one reply back 300 ms, so it runs dry,\n"
    "                      and never sets the underflow flag;\n"
    "                      estop: goes into an emergency stop;\n"
    "                      wrong-echo: echoes the wrong command byte in its replies\n"
    "  --fault-after N     points received before the fault starts (0)\n";

int RunEtherDreamEmulator(int argc, char** argv, int firstOption);

}  // namespace whorlgen::emulators
