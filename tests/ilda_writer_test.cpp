#include "output/ilda_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/frame_generator.h"
#include "tests/file_size_limit.h"
#include "tests/ilda_test_reader.h"
#include "tests/temp_dir.h"

namespace whorlgen::output {
namespace {

namespace fs = std::filesystem;
using engine::LaserPoint;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSection500 = 32 + 500 * 8;

Bytes ReadBytes(const fs::path& path) {
  return ReadWholeFile(path);
}

std::vector<std::vector<LaserPoint>> EngineFrames(const std::vector<std::int32_t>& pointCounts) {
  engine::PatternParameters params = engine::StartupParameters();
  engine::GeneratorState state;
  engine::FrameData frame;
  std::vector<std::vector<LaserPoint>> frames;
  for (const std::int32_t points : pointCounts) {
    params.PointsPerFrame = points;
    engine::BuildFrame(params, state, 2, true, frame);
    frames.push_back(frame.FrameBuffer);
  }
  return frames;
}

// Drives the writer as the run loop does; returns FinishIldaFile's message.
std::optional<std::string> RecordRun(IldaWriter& writer, const fs::path& dir,
                                     const std::vector<std::vector<LaserPoint>>& frames) {
  writer.BeginRun();
  if (auto failure = writer.OpenIldaFile(dir)) {
    ADD_FAILURE() << *failure;
    return failure;
  }
  for (const auto& frame : frames) {
    writer.WriteIldaFrame(frame);
  }
  writer.EndRun();
  return writer.FinishIldaFile();
}

class IldaWriterTest : public ::testing::Test {
 protected:
  testing::TempDir temp_;
  const fs::path dir_ = temp_.Path();
  IldaWriter writer_;
};

TEST_F(IldaWriterTest, ThreeFramesOf500PointsFromTheEngine) {
  EXPECT_EQ(RecordRun(writer_, dir_, EngineFrames({500, 500, 500})), std::nullopt);
  EXPECT_FALSE(writer_.IsOpen());
  EXPECT_EQ(writer_.FilePath(), dir_ / "WG01.ild");
  const Bytes file = ReadBytes(dir_ / "WG01.ild");
  ASSERT_EQ(file.size(), 12128u);
  const std::vector<IldaSection> sections = IldaSections(file);
  ASSERT_EQ(sections.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sections[i].records, 500);
    EXPECT_EQ(sections[i].frameNumber, i);
    EXPECT_EQ(sections[i].total, i == 0 ? 3 : 1);
    const Bytes fixed(file.begin() + sections[i].offset, file.begin() + sections[i].offset + 24);
    const Bytes expected = {'I', 'L', 'D', 'A', 0,   0,   0,   5,   0,   0,   0,   0,
                            0,   0,   0,   0,   'W', 'h', 'o', 'r', 'l', 'g', 'e', 'n'};
    EXPECT_EQ(fixed, expected);
    EXPECT_EQ(file[sections[i].offset + 30], 0);
    EXPECT_EQ(file[sections[i].offset + 31], 0);
  }
  const Bytes endSection(file.end() - 32, file.end());
  const Bytes expectedEnd = {'I', 'L', 'D', 'A', 0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0,
                             'W', 'h', 'o', 'r', 'l', 'g', 'e', 'n', 0, 0, 0, 2, 0, 1, 0, 0};
  EXPECT_EQ(endSection, expectedEnd);
}

TEST(IldaPointMapping, CoordinatesAndColoursAtTheExtremes) {
  struct Case {
    LaserPoint Point;
    std::array<std::uint8_t, 8> Bytes;
  };
  const Case cases[] = {
      {{2048, 2048, 0, 0, 0, 0}, {0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0}},
      {{0, 4095, 0, 0, 0, 0}, {0x80, 0x00, 0x7F, 0xF0, 0, 0, 0, 0}},
      {{4095, 0, 255, 255, 255, 255}, {0x7F, 0xF0, 0x80, 0x00, 0, 255, 255, 255}},
      {{1, 2047, 10, 20, 30, 99}, {0x80, 0x10, 0xFF, 0xF0, 0, 30, 20, 10}},
  };
  for (const Case& c : cases) {
    const IldaPoint record = ToIldaPoint(c.Point);
    std::array<std::uint8_t, 8> bytes;
    std::memcpy(bytes.data(), &record, 8);
    EXPECT_EQ(bytes, c.Bytes) << "point (" << c.Point.X << ", " << c.Point.Y << ")";
  }
}

// The writer packs whole words; check it against the mapping written out plainly.
TEST(IldaPointMapping, EveryCodeAgreesWithTheDirectFormula) {
  for (std::int16_t code = 0; code <= 4095; ++code) {
    const auto y = static_cast<std::int16_t>(4095 - code);
    const LaserPoint point{code,
                           y,
                           static_cast<std::uint8_t>(code),
                           static_cast<std::uint8_t>(y),
                           static_cast<std::uint8_t>(code >> 4),
                           0xAA};
    const IldaPoint record = ToIldaPoint(point);
    const auto x16 = static_cast<std::uint16_t>((code - 2048) * 16);
    const auto y16 = static_cast<std::uint16_t>((y - 2048) * 16);
    ASSERT_EQ(record.XHigh << 8 | record.XLow, x16) << code;
    ASSERT_EQ(record.YHigh << 8 | record.YLow, y16) << code;
    ASSERT_EQ(record.Status, 0);
    ASSERT_EQ(record.Red, point.R);
    ASSERT_EQ(record.Green, point.G);
    ASSERT_EQ(record.Blue, point.B);
  }
}

// Two hand-made frames of 3 and 1 points against a reference file composed
// byte by byte from the format's description, not by this writer.
TEST_F(IldaWriterTest, SmallRunMatchesTheGoldenFile) {
  const std::vector<std::vector<LaserPoint>> frames = {
      {{0, 4095, 10, 20, 30, 40}, {2048, 2048, 255, 0, 128, 255}, {4095, 0, 1, 2, 3, 4}},
      {{1000, 3000, 0, 0, 0, 0}}};
  EXPECT_EQ(RecordRun(writer_, dir_, frames), std::nullopt);
  const fs::path golden = fs::path(WHORLGEN_ILDA_GOLDEN_DIR) / "two_small_frames.ild";
  const Bytes actual = ReadBytes(dir_ / "WG01.ild");
  if (actual != ReadBytes(golden)) {
    const fs::path written = fs::path(WHORLGEN_TEST_OUTPUT_DIR) / "two_small_frames.ild.actual";
    fs::copy_file(dir_ / "WG01.ild", written, fs::copy_options::overwrite_existing);
    ADD_FAILURE() << "differs from " << golden << "; the file written is " << written;
  }
}

TEST(IldaFileName, TwoDigitsAtLeast) {
  EXPECT_EQ(IldaFileName(1), "WG01.ild");
  EXPECT_EQ(IldaFileName(9), "WG09.ild");
  EXPECT_EQ(IldaFileName(10), "WG10.ild");
  EXPECT_EQ(IldaFileName(99), "WG99.ild");
  EXPECT_EQ(IldaFileName(100), "WG100.ild");
}

TEST_F(IldaWriterTest, NumberingAcrossRuns) {
  const auto frames = EngineFrames({500});
  RecordRun(writer_, dir_, frames);
  EXPECT_EQ(writer_.FilePath().filename(), "WG01.ild");
  EXPECT_EQ(writer_.IldaFileNumber, 2);

  // A run without recording takes no number.
  writer_.BeginRun();
  writer_.EndRun();
  RecordRun(writer_, dir_, frames);
  EXPECT_EQ(writer_.FilePath().filename(), "WG02.ild");

  writer_.IldaFileNumber = 9;
  RecordRun(writer_, dir_, frames);
  RecordRun(writer_, dir_, EngineFrames({500, 500}));
  EXPECT_EQ(writer_.FilePath().filename(), "WG10.ild");
  EXPECT_EQ(writer_.IldaFileNumber, 11);
  // Each file starts its frame numbers at 0 and carries its own total.
  const std::vector<IldaSection> sections = IldaSections(ReadBytes(dir_ / "WG10.ild"));
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[0].total, 2);
  EXPECT_EQ(sections[1].frameNumber, 1);
  EXPECT_EQ(ReadBytes(dir_ / "WG09.ild").size(), kSection500 + 32);
}

TEST_F(IldaWriterTest, TakenNamesAreSkippedAndLeftUntouched) {
  { std::ofstream(dir_ / "WG01.ild") << "last night's show"; }
  fs::create_directory(dir_ / "WG02.ild");
  fs::create_symlink(dir_ / "elsewhere.ild", dir_ / "WG03.ild");  // dangling: never followed

  RecordRun(writer_, dir_, EngineFrames({500}));
  EXPECT_EQ(writer_.FilePath().filename(), "WG04.ild");
  EXPECT_EQ(writer_.IldaFileNumber, 5);
  std::ifstream previous(dir_ / "WG01.ild");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(previous), {}), "last night's show");
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere.ild"));
  EXPECT_EQ(ReadBytes(dir_ / "WG04.ild").size(), kSection500 + 32);
}

// 65,535 frames fill a file; the run goes on in the next free name, and each
// file is numbered from 0 and valid alone.
TEST_F(IldaWriterTest, ALongRunContinuesInTheNextFreeFile) {
  { std::ofstream(dir_ / "WG02.ild") << "an earlier show"; }
  const std::vector<LaserPoint> frame = {{2048, 2048, 1, 2, 3, 4}};
  writer_.BeginRun();
  ASSERT_EQ(writer_.OpenIldaFile(dir_), std::nullopt);
  for (std::int32_t i = 0; i < 65537; ++i) {
    writer_.WriteIldaFrame(frame);
  }
  writer_.EndRun();
  const std::optional<std::string> message = writer_.FinishIldaFile();
  ASSERT_TRUE(message.has_value());
  EXPECT_NE(message->find("filled 2 ILDA files"), std::string::npos) << *message;
  EXPECT_NE(message->find("WG03.ild"), std::string::npos) << *message;

  const std::vector<IldaSection> first = IldaSections(ReadBytes(dir_ / "WG01.ild"));
  ASSERT_EQ(first.size(), 65536u);
  EXPECT_EQ(first[0].total, 65535);
  EXPECT_EQ(first[65534].frameNumber, 65534);
  EXPECT_EQ(first.back().frameNumber, 65534);  // the end section repeats the last frame's
  const std::vector<IldaSection> next = IldaSections(ReadBytes(dir_ / "WG03.ild"));
  ASSERT_EQ(next.size(), 3u);
  EXPECT_EQ(next[0].total, 2);
  EXPECT_EQ(next[0].frameNumber, 0);
  EXPECT_EQ(next[1].frameNumber, 1);
  EXPECT_EQ(writer_.RunFramesWritten(), 65537);
}

TEST_F(IldaWriterTest, PointsPerFrameChangesInsideARun) {
  RecordRun(writer_, dir_, EngineFrames({500, 16000, 501}));
  const Bytes file = ReadBytes(dir_ / "WG01.ild");
  EXPECT_EQ(file.size(), 32u * 4 + 8u * (500 + 16000 + 501));
  const std::vector<IldaSection> sections = IldaSections(file);
  ASSERT_EQ(sections.size(), 4u);
  EXPECT_EQ(sections[0].records, 500);
  EXPECT_EQ(file[sections[1].offset + 24], 0x3E);  // 16000
  EXPECT_EQ(file[sections[1].offset + 25], 0x80);
  EXPECT_EQ(sections[2].records, 501);
  EXPECT_EQ(sections[2].frameNumber, 2);
}

TEST_F(IldaWriterTest, FileThatCannotBeCreatedStopsTheStartAndChangesNothing) {
  { std::ofstream(dir_ / "plain") << "a regular file"; }
  struct Case {
    fs::path Directory;
    int Errno;
  };
  std::vector<Case> cases = {{dir_ / "plain" / "shows", ENOTDIR}, {dir_ / "missing", ENOENT}};
  if (geteuid() != 0) {  // permission bits do not stop root
    fs::create_directory(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    cases.push_back({dir_ / "locked", EACCES});
  }
  writer_.IldaFileNumber = 7;
  for (const Case& c : cases) {
    const std::optional<std::string> message = writer_.OpenIldaFile(c.Directory);
    ASSERT_TRUE(message.has_value()) << c.Directory;
    EXPECT_NE(message->find("WG07.ild"), std::string::npos) << *message;
    EXPECT_NE(message->find(std::strerror(c.Errno)), std::string::npos) << *message;
    EXPECT_FALSE(writer_.IsOpen());
    EXPECT_EQ(writer_.IldaFileNumber, 7);
  }
  // The run loop does not start, but stray calls must not write anywhere.
  writer_.WriteIldaFrame(EngineFrames({500})[0]);
  EXPECT_EQ(writer_.FinishIldaFile(), std::nullopt);
  for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
    EXPECT_NE(entry.path().extension(), ".ild") << entry.path();
  }
}

TEST_F(IldaWriterTest, WriteFailurePartWayLeavesAValidFileOfTheWholeFrames) {
  const auto frames = EngineFrames({500, 500, 500, 500, 500});
  struct Case {
    rlim_t LimitBytes;
    std::size_t FramesKept;
  };
  const Case cases[] = {
      {2 * kSection500 + 100, 2},  // the third section breaks off part-way
      {2 * kSection500 + 16, 1},   // ... and then the end section does not fit after frame 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.LimitBytes);
    IldaWriter writer;
    std::optional<std::string> message;
    {
      FileSizeLimit limit(c.LimitBytes);
      message = RecordRun(writer, dir_, frames);
    }
    ASSERT_TRUE(message.has_value());
    const std::string holds = "holds the first " + std::to_string(c.FramesKept) + " frame";
    EXPECT_NE(message->find(holds), std::string::npos) << *message;
    EXPECT_NE(message->find("of the 5 the run sent to it"), std::string::npos) << *message;
    EXPECT_NE(message->find(std::strerror(EFBIG)), std::string::npos) << *message;
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(writer.FramesWritten(), static_cast<std::int64_t>(c.FramesKept));

    const Bytes file = ReadBytes(writer.FilePath());
    EXPECT_EQ(file.size(), c.FramesKept * kSection500 + 32);
    const std::vector<IldaSection> sections = IldaSections(file);
    ASSERT_EQ(sections.size(), c.FramesKept + 1);
    EXPECT_EQ(sections[0].total, c.FramesKept);
    EXPECT_EQ(sections.back().format, 0);
    EXPECT_EQ(sections.back().frameNumber, c.FramesKept - 1);
  }
}

// A recording without a single frame is no recording: no file is left, and a
// write that failed says why.
TEST_F(IldaWriterTest, NoFrameRecordedLeavesNoFile) {
  EXPECT_EQ(RecordRun(writer_, dir_, {}), std::nullopt);
  std::optional<std::string> message;
  {
    FileSizeLimit limit(100);
    message = RecordRun(writer_, dir_, EngineFrames({500}));
  }
  ASSERT_TRUE(message.has_value());
  EXPECT_NE(message->find("Nothing could be recorded"), std::string::npos) << *message;
  EXPECT_NE(message->find(std::strerror(EFBIG)), std::string::npos) << *message;
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_EQ(writer_.IldaFileNumber, 1);  // the name is free again
}

TEST_F(IldaWriterTest, WriterDestroyedMidRunStillEndsItsFileAndSaysWhatWentWrong) {
  std::vector<std::string> told;
  {
    IldaWriter writer;
    writer.LateMessage = [&told](const std::string& message) { told.push_back(message); };
    writer.BeginRun();
    ASSERT_EQ(writer.OpenIldaFile(dir_), std::nullopt);
    for (const auto& frame : EngineFrames({500, 500})) {
      writer.WriteIldaFrame(frame);
    }
  }
  const std::vector<IldaSection> sections = IldaSections(ReadBytes(dir_ / "WG01.ild"));
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[0].total, 2);
  EXPECT_TRUE(told.empty());
  {
    IldaWriter writer;
    writer.LateMessage = [&told](const std::string& message) { told.push_back(message); };
    writer.BeginRun();
    ASSERT_EQ(writer.OpenIldaFile(dir_), std::nullopt);
    FileSizeLimit limit(kSection500 + 100);
    for (const auto& frame : EngineFrames({500, 500}))
      writer.WriteIldaFrame(frame);
  }
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find("WG02.ild"), std::string::npos) << told[0];
}

}  // namespace
}  // namespace whorlgen::output
