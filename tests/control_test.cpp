// Live control without the window: MIDI learn and mapping, the OSC address
// space over 127.0.0.1 with liblo's own sender, presets and the morph.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

#include "control/alsa_midi_input.h"
#include "control/command_mailbox.h"
#include "control/midi_mapping.h"
#include "control/osc_server.h"
#include "control/panel_values.h"
#include "control/preset.h"
#include "control/preset_loader.h"
#include "control/printable.h"
#include "tests/temp_dir.h"

namespace whorlgen::control {

void PrintTo(const Command& c, std::ostream* out) {
  *out << "Command{" << static_cast<int>(c.Kind) << ", \"" << c.Text << "\", " << c.Value << "}";
}

namespace {

namespace fs = std::filesystem;
using Kind = MidiEvent::Kind;

std::vector<BarRange> Bars() {
  return {{"scrXGain", 0, 100},
          {"scrXFreq", 0, 1000},
          {"scrXPhase", -90, 90},
          {"scrPointsPerSec", 2500, 24000}};
}

Command Bar(const std::string& name, int position) {
  return {CommandKind::SetBar, name, position};
}

// ---- MIDI ----

TEST(MidiMapping, LearnsInThreeStepsAndDrivesTheWholeRange) {
  MidiMapping midi(Bars());
  EXPECT_FALSE(midi.Handle({Kind::ControlChange, 0, 7, 127}));  // nothing bound yet
  midi.BeginLearn();
  midi.ChooseTarget("scrXPhase");
  EXPECT_FALSE(midi.Handle({Kind::NoteOn, 0, 60, 100}));  // a note cannot drive a bar
  EXPECT_TRUE(midi.Learning());
  EXPECT_FALSE(midi.Handle({Kind::ControlChange, 2, 7, 10}));  // learned, not applied
  EXPECT_FALSE(midi.Learning());

  EXPECT_EQ(midi.Handle({Kind::ControlChange, 2, 7, 0}), Bar("scrXPhase", -90));
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 2, 7, 127}), Bar("scrXPhase", 90));
  // 64 of 127 is 0.7 of a step above the middle: nearest, not truncated.
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 2, 7, 64}), Bar("scrXPhase", 1));
  EXPECT_FALSE(midi.Handle({Kind::ControlChange, 3, 7, 64}));  // another channel
}

TEST(MidiMapping, AFinePartOnControllerPlus32GivesFourteenBits) {
  MidiMapping midi(Bars());
  midi.Bind({"scrPointsPerSec", Kind::ControlChange, 0, 1, false});
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 0, 1, 64}), Bar("scrPointsPerSec", 13335));
  // 64 * 128 + 1 = 8193 of 16383 over 21500 steps.
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 0, 33, 1}), Bar("scrPointsPerSec", 13252));
  EXPECT_TRUE(midi.Bindings().front().FourteenBit);
  // A new coarse part clears the fine one.
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 0, 1, 127}), Bar("scrPointsPerSec", 23833));
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 0, 33, 127}), Bar("scrPointsPerSec", 24000));
  EXPECT_EQ(MidiMapping::FormatMessage(midi.Bindings().front()), "cc14 1 1");
}

TEST(MidiMapping, NotesProgramsAndButtonsDriveStartStopAndModes) {
  MidiMapping midi(Bars());
  midi.BeginLearn();
  midi.ChooseTarget("start");
  midi.Handle({Kind::NoteOn, 9, 36, 90});
  midi.BeginLearn();
  midi.ChooseTarget("mode4");
  midi.Handle({Kind::ProgramChange, 0, 3, 0});
  midi.BeginLearn();
  midi.ChooseTarget("stop");
  EXPECT_FALSE(midi.Handle({Kind::ControlChange, 0, 20, 0}));  // a button's release teaches nothing
  midi.Handle({Kind::ControlChange, 0, 20, 127});

  EXPECT_EQ(midi.Handle({Kind::NoteOn, 9, 36, 1}), (Command{CommandKind::Start, {}, 0}));
  EXPECT_EQ(midi.Handle({Kind::ProgramChange, 0, 3, 0}), (Command{CommandKind::SetMode, {}, 4}));
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 0, 20, 64}), (Command{CommandKind::Stop, {}, 0}));
  EXPECT_FALSE(midi.Handle({Kind::ControlChange, 0, 20, 63}));
}

TEST(MidiMapping, ABindingReplacesOthersOfItsTargetOrMessage) {
  MidiMapping midi(Bars());
  midi.Bind({"scrXGain", Kind::ControlChange, 0, 7, false});
  midi.Bind({"scrXFreq", Kind::ControlChange, 0, 7, false});  // the same knob moves on
  midi.Bind({"scrXFreq", Kind::ControlChange, 0, 8, false});  // the same bar moves on
  ASSERT_EQ(midi.Bindings().size(), 1u);
  EXPECT_EQ(midi.Handle({Kind::ControlChange, 0, 8, 127}), Bar("scrXFreq", 1000));
  EXPECT_FALSE(midi.Handle({Kind::ControlChange, 0, 7, 127}));
}

TEST(MidiMapping, SettingsTextRoundTripsAndNonsenseIsRefused) {
  MidiMapping midi(Bars());
  for (const MidiBinding& b : {MidiBinding{"scrXGain", Kind::ControlChange, 15, 7, false},
                               MidiBinding{"scrXFreq", Kind::ControlChange, 0, 3, true},
                               MidiBinding{"start", Kind::NoteOn, 9, 36, false},
                               MidiBinding{"mode6", Kind::ProgramChange, 0, 127, false}})
    EXPECT_EQ(midi.ParseBinding(b.Target, MidiMapping::FormatMessage(b)), b);
  for (const char* text : {"cc 0 7", "cc 17 7", "cc 1 128", "cc 1", "cc 1 7 9", "knob 1 7",
                           "note 1 60" /* a note for a bar */})
    EXPECT_FALSE(midi.ParseBinding("scrXGain", text)) << text;
  EXPECT_FALSE(midi.ParseBinding("scrNothing", "cc 1 7"));
}

TEST(MidiMapping, BindingsAreNamedByThePanelsCaptions) {
  EXPECT_EQ(TargetCaption("scrXGain"), "X Gain");
  EXPECT_EQ(TargetCaption("scrRepPoints"), "Repeat Pts");
  EXPECT_EQ(TargetCaption("mode4"), "Mode 4");
  EXPECT_EQ(TargetCaption("stop"), "Stop");
  EXPECT_EQ(MidiMapping::DescribeMessage({"scrXGain", Kind::ControlChange, 0, 7, false}),
            "CC 7, channel 1");
  EXPECT_EQ(MidiMapping::DescribeMessage({"scrXFreq", Kind::ControlChange, 15, 3, true}),
            "CC 3 + 35 (14-bit), channel 16");
  EXPECT_EQ(MidiMapping::DescribeMessage({"start", Kind::NoteOn, 9, 36, false}),
            "note 36, channel 10");
}

TEST(MidiSequencer, AControllerConnectedToTheInputPortIsRead) {
  if (!AlsaMidiInput::SequencerPresent())
    GTEST_SKIP() << "no /dev/snd/seq on this machine: MIDI is tested at the mapping above";
  AlsaMidiInput input;
  ASSERT_EQ(input.Open(), "");
  snd_seq_t* controller = nullptr;
  ASSERT_EQ(snd_seq_open(&controller, "default", SND_SEQ_OPEN_OUTPUT, 0), 0);
  const int port = snd_seq_create_simple_port(controller, "knobs", SND_SEQ_PORT_CAP_READ,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  snd_seq_client_info_t* info = nullptr;
  snd_seq_client_info_alloca(&info);
  // Our client is the newest one; find it by name.
  int whorlgen = -1;
  snd_seq_client_info_set_client(info, -1);
  while (snd_seq_query_next_client(controller, info) >= 0)
    if (std::string(snd_seq_client_info_get_name(info)) == "Whorlgen")
      whorlgen = snd_seq_client_info_get_client(info);
  ASSERT_GE(whorlgen, 0);
  ASSERT_EQ(snd_seq_connect_to(controller, port, whorlgen, 0), 0);
  snd_seq_event_t ev;
  snd_seq_ev_clear(&ev);
  snd_seq_ev_set_source(&ev, port);
  snd_seq_ev_set_subs(&ev);
  snd_seq_ev_set_direct(&ev);
  snd_seq_ev_set_controller(&ev, 2, 7, 99);
  snd_seq_event_output_direct(controller, &ev);
  std::vector<MidiEvent> got;
  for (int i = 0; i < 500 && got.empty(); ++i) {
    got = input.Read();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  snd_seq_close(controller);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Type, MidiEvent::Kind::ControlChange);
  EXPECT_EQ(got[0].Channel, 2);
  EXPECT_EQ(got[0].Number, 7);
  EXPECT_EQ(got[0].Value, 99);
}

// ---- OSC over 127.0.0.1 ----

class Osc : public ::testing::Test {
 protected:
  void SetUp() override {
    // A port nobody uses: the kernel's choice, given back before we listen.
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &size);
    port_ = ntohs(addr.sin_port);
    close(probe);
    ASSERT_EQ(server_.Listen(port_, Senders()), "");
    target_ = lo_address_new("127.0.0.1", std::to_string(port_).c_str());
  }
  void TearDown() override { lo_address_free(target_); }

  // Everything sent so far, once it has arrived: a marker closes it, sent
  // again now and then since UDP may drop it behind a burst.
  std::vector<Command> Received() {
    std::vector<Command> got;
    for (int i = 0; i < 1000; ++i) {
      if (i % 50 == 0)
        lo_send(target_, "/whorlgen/preset", "s", "end-marker");
      for (Command& c : server_.Take())
        got.push_back(std::move(c));
      const auto marker = std::find_if(got.begin(), got.end(),
                                       [](const Command& c) { return c.Text == "end-marker"; });
      if (marker != got.end()) {
        got.erase(marker, got.end());
        return got;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the marker never arrived";
    return got;
  }

  virtual SenderFilter Senders() { return {}; }

  OscServer server_{nullptr};
  int port_ = 0;
  lo_address target_ = nullptr;
};

// Each bar takes the number its label shows, in the label's unit; the
// positions below follow from the labels: X Freq shows position / 5, PPSec
// shows 2 × position, the others the position itself.
TEST_F(Osc, EachAddressTakesThePanelsNumberClampedToTheNearestStep) {
  lo_send(target_, "/whorlgen/points_per_sec", "i", 30000);  // 15000
  lo_send(target_, "/whorlgen/scrXFreq", "i", 25);           // the old name, the same number: 125
  EXPECT_EQ(Received(),
            (std::vector<Command>{Bar("scrPointsPerSec", 15000), Bar("scrXFreq", 125)}));

  lo_send(target_, "/whorlgen/scrPointsPerSec", "i", 30001);  // halfway: even 15000, not 15001
  lo_send(target_, "/whorlgen/x_freq", "f", 24.1f);           // halfway 120..121: 120
  lo_send(target_, "/whorlgen/y_freq", "f", 24.3f);           // halfway 121..122: 122
  lo_send(target_, "/whorlgen/x_gain", "f", 1e9f);            // beyond the top: 100
  lo_send(target_, "/whorlgen/x_phase", "d", -90.5);          // beyond the bottom: -90
  lo_send(target_, "/whorlgen/repeat_points", "h", std::int64_t{30});
  lo_send(target_, "/whorlgen/mode", "i", 9);
  lo_send(target_, "/whorlgen/limit_velocity", "i", 0);
  lo_send(target_, "/whorlgen/showdots", "f", 1.0f);
  lo_send(target_, "/whorlgen/ilda_output", "i", -4);
  lo_send(target_, "/whorlgen/start", "");
  lo_send(target_, "/whorlgen/stop", "f", 0.0f);  // a button's release: nothing
  lo_send(target_, "/whorlgen/stop", "f", 1.0f);
  lo_send(target_, "/whorlgen/preset", "s", "/tmp/a.json");
  const std::vector<Command> expected = {
      Bar("scrPointsPerSec", 15000),
      Bar("scrXFreq", 120),
      Bar("scrYFreq", 122),
      Bar("scrXGain", 100),
      Bar("scrXPhase", -90),
      Bar("scrRepPoints", 30),
      {CommandKind::SetMode, {}, 6},
      {CommandKind::SetLimitVelocity, {}, 0},
      {CommandKind::SetShowDots, {}, 1},
      {CommandKind::SetIldaOutput, {}, 0},
      {CommandKind::Start, {}, 0},
      {CommandKind::Stop, {}, 0},
      {CommandKind::OpenPreset, "/tmp/a.json", 0},
  };
  EXPECT_EQ(Received(), expected);
  EXPECT_EQ(server_.Ignored(), 0u);
}

TEST_F(Osc, ABundleDatedAnHourAheadIsCarriedOutAtOnceNotQueued) {
  lo_timetag later{};
  lo_timetag_now(&later);
  later.sec += 3600;
  lo_bundle bundle = lo_bundle_new(later);
  lo_message message = lo_message_new();
  lo_message_add_int32(message, 30);
  lo_bundle_add_message(bundle, "/whorlgen/x_gain", message);
  lo_send_bundle(target_, bundle);
  lo_bundle_free_recursive(bundle);
  EXPECT_EQ(Received(), std::vector<Command>{Bar("scrXGain", 30)});
}

TEST_F(Osc, UnknownWrongAndMalformedMessagesAreCountedAndChangeNothing) {
  lo_send(target_, "/whorlgen/scrNothing", "i", 3);
  lo_send(target_, "/other/scrXGain", "i", 3);
  lo_send(target_, "/whorlgen/scrXGain", "s", "thirty");
  lo_send(target_, "/whorlgen/scrXGain", "ii", 1, 2);
  lo_send(target_, "/whorlgen/scrXGain", "f", std::nanf(""));
  lo_send(target_, "/whorlgen/mode", "");
  lo_send(target_, "/whorlgen/preset", "i", 1);
  // A datagram that is no OSC at all, then one cut short in its type tags.
  const int raw = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  for (const std::string& junk :
       {std::string("\xff\x00garbage", 9), std::string("/whorlgen/mode\0\0,i\0\0", 20)})
    sendto(raw, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  close(raw);
  EXPECT_TRUE(Received().empty());
  EXPECT_EQ(server_.Ignored(), 9u);
  EXPECT_EQ(server_.LastRefusal().Why.rfind("/whorlgen/preset ", 0), 0u)
      << server_.LastRefusal().Why;
}

class OscFromTenOnly : public Osc {
 protected:
  SenderFilter Senders() override {
    std::vector<std::string> problems;
    return SenderFilter::Parse("10.0.0.0/8", problems);
  }
};

TEST_F(OscFromTenOnly, ASenderOutsideTheAllowedNetworksIsRefusedAndCounted) {
  lo_send(target_, "/whorlgen/x_gain", "i", 30);
  for (int i = 0; i < 1000 && server_.Ignored() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server_.Ignored(), 1u);
  EXPECT_TRUE(server_.Take().empty());
  EXPECT_EQ(server_.LastRefusal().Why, "sender 127.0.0.1 is not allowed");
}

TEST(SenderFilter, NetworksMatchByPrefixAndAListOfNonsenseAllowsNobody) {
  std::vector<std::string> problems;
  const SenderFilter filter = SenderFilter::Parse(
      "192.168.1.0/24, 10.0.0.5 172.16.0.0/12,fd00::/8, bogus, 1.2.3.4/33", problems);
  EXPECT_EQ(problems.size(), 2u);
  EXPECT_TRUE(filter.Allows("192.168.1.77"));
  EXPECT_FALSE(filter.Allows("192.168.2.1"));
  EXPECT_TRUE(filter.Allows("10.0.0.5"));
  EXPECT_FALSE(filter.Allows("10.0.0.6"));
  EXPECT_TRUE(filter.Allows("172.31.255.1"));  // 172.16/12 ends at 172.31
  EXPECT_FALSE(filter.Allows("172.32.0.1"));
  EXPECT_TRUE(filter.Allows("::ffff:192.168.1.5"));  // IPv4 on an IPv6 socket
  EXPECT_TRUE(filter.Allows("fd12::1"));
  EXPECT_FALSE(filter.Allows("fe80::1"));
  EXPECT_FALSE(filter.Allows("localhost"));
  EXPECT_FALSE(SenderFilter::Parse("bogus", problems).Allows("127.0.0.1"));
  EXPECT_TRUE(SenderFilter::Parse(" , ", problems).AllowsAnyone());
}

TEST(OscAddresses, TheReadmeListsTheTableTheProgramPrints) {
  std::ifstream in(WHORLGEN_README);
  const std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(readme.find(OscAddressTable()), std::string::npos) << OscAddressTable();
}

TEST(CommandMailbox, AFloodLeavesOnlyTheLastValueOfEachControl) {
  CommandMailbox box;
  EXPECT_TRUE(box.Post(Bar("scrXGain", 0)));  // the first wakes the panel
  for (int i = 1; i < 1000; ++i)
    EXPECT_FALSE(box.Post(Bar(i % 2 ? "scrXFreq" : "scrXGain", i)));
  box.Post({CommandKind::Start, {}, 0});
  box.Post({CommandKind::SetMode, {}, 2});
  box.Post({CommandKind::SetMode, {}, 5});
  // A value sent after the Start stays after it.
  box.Post(Bar("scrXGain", 1000));
  EXPECT_EQ(box.Take(), (std::vector<Command>{Bar("scrXGain", 998),
                                              Bar("scrXFreq", 999),
                                              {CommandKind::Start, {}, 0},
                                              {CommandKind::SetMode, {}, 5},
                                              Bar("scrXGain", 1000)}));
  for (std::size_t i = 0; i < CommandMailbox::kMaxPending + 3; ++i)
    box.Post({CommandKind::Stop, {}, 0});
  EXPECT_EQ(box.Take().size(), CommandMailbox::kMaxPending);
  EXPECT_EQ(box.Dropped(), 3u);
}

TEST_F(Osc, ABurstOfAThousandLeavesTheReceiverWhole) {
  for (int i = 0; i < 1000; ++i)
    lo_send(target_, i % 2 ? "/whorlgen/scrXGain" : "/whorlgen/scrXFreq", "i", i);
  // UDP may drop some of a burst, and the mailbox keeps only the newest value
  // of each bar: what arrives was sent (X Freq shows a fifth of its position,
  // up to 1000; X Gain its position, up to 100), no bar goes back to an older
  // value, and the receiver goes on taking messages after it.
  std::vector<Command> sent;
  for (int i = 0; i < 1000; ++i)
    sent.push_back(i % 2 ? Bar("scrXGain", std::min(i, 100))
                         : Bar("scrXFreq", std::min(5 * i, 1000)));
  std::map<std::string, int> newest;
  for (const Command& c : Received()) {
    EXPECT_NE(std::find(sent.begin(), sent.end(), c), sent.end()) << c.Text << " " << c.Value;
    EXPECT_GE(c.Value, newest[c.Text]) << c.Text;
    newest[c.Text] = c.Value;
  }
  lo_send(target_, "/whorlgen/scrXGain", "i", 7);
  EXPECT_EQ(Received(), std::vector<Command>{Bar("scrXGain", 7)});
  EXPECT_EQ(server_.Ignored(), 0u);
}

TEST_F(Osc, ATakenPortIsRefusedWithTheReason) {
  OscServer second(nullptr);
  EXPECT_NE(second.Listen(port_), "");
  EXPECT_FALSE(second.Listening());
  EXPECT_NE(second.Listen(0), "");
}

// ---- Presets ----

class Presets : public ::testing::Test {
 protected:
  std::string Problem(const std::string& text) {
    const PresetReading reading = ParsePreset(text);
    EXPECT_FALSE(reading.preset) << text;
    return reading.problem;
  }
  Preset Read(const std::string& text) {
    const PresetReading reading = ParsePreset(text);
    EXPECT_TRUE(reading.preset) << reading.problem;
    return reading.preset.value_or(Preset{});
  }

  testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
};

TEST_F(Presets, ASavedFigureIsWrittenAsTheLabelsShowItAndReadsBackTheSame) {
  const Preset figure{
      {{"scrXGain", 25}, {"scrXFreq", 123}, {"scrXPhase", -90}, {"scrPointsPerSec", 15000}},
      3,
      true,
      false};
  const fs::path file = dir_ / "figure.json";
  ASSERT_EQ(WritePresetFile(file, figure), "");
  EXPECT_FALSE(fs::exists(dir_ / "figure.json.part"));
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The labels read "25", "24.6", "-90" and "30000" at these positions.
  for (const char* shown : {R"("version": 2)", R"("x_gain": 25,)", R"("x_freq": 24.6,)",
                            R"("x_phase": -90)", R"("points_per_sec": 30000,)"})
    EXPECT_NE(text.find(shown), std::string::npos) << shown << " in\n" << text;
  const PresetReading reading = ReadPresetFile(file);
  ASSERT_TRUE(reading.preset) << reading.problem;
  EXPECT_EQ(*reading.preset, figure);
  // Keys left out keep the panel's values.
  EXPECT_EQ(Read(R"({"format":"whorlgen-preset","version":2})"), Preset{});
}

TEST_F(Presets, Version1PositionsAndVersion2ValuesGiveTheSameFigure) {
  const Preset v1 = Read(R"({"format":"whorlgen-preset","version":1,
      "controls":{"scrXFreq":123,"scrPointsPerSec":15000,"scrXPhase":-90}})");
  const Preset v2 = Read(R"({"format":"whorlgen-preset","version":2,
      "controls":{"x_freq":24.6,"points_per_sec":30000,"scrXPhase":-90}})");
  EXPECT_EQ(v1, v2);
  EXPECT_EQ(v1.Controls.at("scrXFreq"), 123);
  // Version 2 takes values as OSC does: to the nearest step, within range.
  const Preset loose = Read(R"({"format":"whorlgen-preset","version":2,
      "controls":{"x_freq":24.1,"x_gain":250,"points_per_sec":-1}})");
  EXPECT_EQ(loose.Controls, (std::map<std::string, int>{
                                {"scrXFreq", 120}, {"scrXGain", 100}, {"scrPointsPerSec", 2500}}));
}

TEST_F(Presets, EveryKindOfBadFileIsRefusedWithItsReason) {
  const std::string v1 = R"({"format":"whorlgen-preset","version":1,)";
  const std::string v2 = R"({"format":"whorlgen-preset","version":2,)";
  EXPECT_EQ(Problem("{\"format\":"), "the file is not valid JSON");
  EXPECT_EQ(Problem("[1,2]"), "the file holds no JSON object");
  EXPECT_NE(Problem(R"({"format":"other","version":1})").find("not a Whorlgen preset"),
            std::string::npos);
  EXPECT_NE(Problem(R"({"format":"whorlgen-preset","version":3})").find("version"),
            std::string::npos);
  EXPECT_NE(Problem(v1 + R"("controls":[]})").find("\"controls\""), std::string::npos);
  EXPECT_EQ(Problem(v1 + R"("controls":{"scrXGain":25.5}})"),
            "the position of \"scrXGain\" is not a whole number");
  EXPECT_EQ(Problem(v1 + R"("controls":{"scrXGain":101}})"),
            "the position of \"scrXGain\" (101) is outside 0..100");
  EXPECT_EQ(Problem(v1 + R"("controls":{"scrXRot":-91}})"),
            "the position of \"scrXRot\" (-91) is outside -90..90");
  EXPECT_EQ(Problem(v1 + R"("controls":{"x_gain":1}})"), "unknown control \"x_gain\"");
  EXPECT_EQ(Problem(v2 + R"("controls":{"x_gain":"25"}})"),
            "the value of \"x_gain\" is not a number");
  EXPECT_EQ(Problem(v2 + R"("controls":{"x_gian":1}})"), "unknown control \"x_gian\"");
  for (const char* mode : {"0", "7"})
    EXPECT_EQ(Problem(v2 + R"("opMode":)" + mode + "}"), "\"opMode\" is not a mode from 1 to 6");
  EXPECT_EQ(Problem(v2 + R"("showDots":1})"), "\"showDots\" is not true or false");
}

TEST_F(Presets, HostileFilesAreRefusedCheaplyAndTheirNamesShownShort) {
  // A megabyte of brackets stops at the ninth.
  EXPECT_NE(Problem(std::string(kMaxPresetFileBytes, '[')).find("nested"), std::string::npos);
  std::string lines;
  for (int i = 0; i < 20000; ++i)
    lines += "line\\n";
  const std::string problem =
      Problem(R"({"format":"whorlgen-preset","version":2,"controls":{")" + lines + R"(":1}})");
  EXPECT_EQ(problem.find('\n'), std::string::npos);
  EXPECT_LT(problem.size(), 100u) << problem;
}

TEST_F(Presets, OnlyARegularFileOfReasonableSizeIsRead) {
  const fs::path pipe = dir_ / "pipe.json";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_NE(ReadPresetFile(pipe).problem.find("is not a file"), std::string::npos);
  EXPECT_EQ(ReadPresetFile(dir_ / "missing.json").problem,
            (dir_ / "missing.json").string() + " not found");
  const fs::path big = dir_ / "big.json";
  std::ofstream(big) << std::string(2 << 20, ' ');
  EXPECT_NE(ReadPresetFile(big).problem.find("too large"), std::string::npos);
  EXPECT_NE(WritePresetFile(dir_ / "no-such-dir" / "x.json", Preset{}), "");
}

TEST_F(Presets, TheLoaderGivesResultsInTheOrderAskedAndBoundsWhatWaits) {
  ASSERT_EQ(WritePresetFile(dir_ / "a.json", Preset{{{"scrXGain", 1}}, {}, {}, {}}), "");
  std::mutex mutex;
  std::condition_variable woken;
  bool wake = false;
  PresetLoader loader([&] {
    const std::lock_guard lock(mutex);
    wake = true;
    woken.notify_one();
  });
  std::vector<std::uint64_t> ids;
  for (const char* name : {"missing.json", "a.json", "missing.json", "a.json"})
    ids.push_back(loader.Request(dir_ / name).value_or(0));
  std::vector<PresetLoader::Result> results;
  while (results.size() < ids.size()) {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(woken.wait_for(lock, std::chrono::seconds(20), [&] { return wake; }));
    wake = false;
    lock.unlock();
    for (PresetLoader::Result& r : loader.Take())
      results.push_back(std::move(r));
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(results[i].Id, ids[i]);
    EXPECT_EQ(results[i].Reading.preset.has_value(), i % 2 == 1);
  }
  // Not taken, results count against the bound.
  for (std::size_t i = 0; i < PresetLoader::kMaxOutstanding; ++i)
    EXPECT_TRUE(loader.Request(dir_ / "a.json"));
  EXPECT_FALSE(loader.Request(dir_ / "a.json"));
}

TEST(Morph, EndsExactlyOnTheDestinationAndRoundsTiesToEven) {
  EXPECT_EQ(MorphPosition(10, 20, 0.0), 10);
  EXPECT_EQ(MorphPosition(10, 20, 1.0), 20);
  EXPECT_EQ(MorphPosition(10, 20, 1.7), 20);  // a late timer tick never overshoots
  EXPECT_EQ(MorphPosition(0, 5, 0.5), 2);     // 2.5 goes to 2
  EXPECT_EQ(MorphPosition(0, 7, 0.5), 4);     // 3.5 goes to 4
  EXPECT_EQ(MorphPosition(90, -90, 0.25), 45);
}

}  // namespace
}  // namespace whorlgen::control
