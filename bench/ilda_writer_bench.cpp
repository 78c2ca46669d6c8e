// Recording a frame should cost little more than writing its bytes: compare
// WriteIldaFrame with one plain write() of the same size to the same kind of
// file. Both start a new file every kFramesPerFile frames (untimed) so the
// files stay small.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "engine/frame_generator.h"
#include "output/ilda_writer.h"

namespace whorlgen::output {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kFramesPerFile = 256;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ilda_bench_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    path_ = pattern;
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<engine::LaserPoint> EngineFrame(std::int32_t points) {
  engine::PatternParameters params = engine::StartupParameters();
  params.PointsPerFrame = points;
  engine::GeneratorState state;
  engine::FrameData frame;
  engine::BuildFrame(params, state, 2, true, frame);
  return frame.FrameBuffer;
}

std::int64_t SectionBytes(std::int64_t points) {
  return 32 + 8 * points;
}

void StartRecording(IldaWriter& writer, const TempDir& dir) {
  writer.BeginRun();
  if (writer.OpenIldaFile(dir.Path())) {
    std::abort();
  }
}

void StopRecording(IldaWriter& writer) {
  writer.EndRun();
  if (writer.FinishIldaFile()) {
    std::abort();
  }
  fs::remove(writer.FilePath());
}

void BM_WriteIldaFrame(benchmark::State& st) {
  const auto frame = EngineFrame(static_cast<std::int32_t>(st.range(0)));
  TempDir dir;
  IldaWriter writer;
  StartRecording(writer, dir);
  std::int32_t totalFrames = 0;
  for (auto _ : st) {
    writer.WriteIldaFrame(frame);
    if (++totalFrames == kFramesPerFile) {
      st.PauseTiming();
      StopRecording(writer);
      StartRecording(writer, dir);
      totalFrames = 0;
      st.ResumeTiming();
    }
  }
  StopRecording(writer);
  st.SetBytesProcessed(st.iterations() * SectionBytes(st.range(0)));
}
BENCHMARK(BM_WriteIldaFrame)->Arg(500)->Arg(16000);

int CreatePlainFile(const TempDir& dir) {
  const int fd = open((dir.Path() / "plain.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    std::abort();
  }
  return fd;
}

void ClosePlainFile(int fd, const TempDir& dir) {
  fsync(fd);  // as FinishIldaFile does, so both start each file on a clean cache
  close(fd);
  fs::remove(dir.Path() / "plain.bin");
}

void BM_PlainWriteSameBytes(benchmark::State& st) {
  const std::vector<char> bytes(static_cast<std::size_t>(SectionBytes(st.range(0))), 'x');
  TempDir dir;
  int fd = CreatePlainFile(dir);
  std::int32_t frames = 0;
  for (auto _ : st) {
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
    if (++frames == kFramesPerFile) {
      st.PauseTiming();
      ClosePlainFile(fd, dir);
      fd = CreatePlainFile(dir);
      frames = 0;
      st.ResumeTiming();
    }
  }
  ClosePlainFile(fd, dir);
  st.SetBytesProcessed(st.iterations() * SectionBytes(st.range(0)));
}
BENCHMARK(BM_PlainWriteSameBytes)->Arg(500)->Arg(16000);

}  // namespace
}  // namespace whorlgen::output
