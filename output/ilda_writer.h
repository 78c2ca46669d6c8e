#pragma once
// Records a run as an ILDA file: one format-5 section (2D coordinates, true
// colour) per frame, then an end section. Plain POSIX file calls, no Qt.
//
// The run loop drives it:
//   Start:  BeginRun(); when recording, OpenIldaFile() (a message means: do not start)
//   frame:  when recording, WriteIldaFrame(FrameBuffer) for each frame the DAC took
//   end:    EndRun(); FinishIldaFile() and show any message
//
// A file holds at most 65,535 frames, the most its 16-bit frame numbers and
// total can count. A longer run goes on in the next free file name, each file
// numbered from frame 0 and complete on its own.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <sys/types.h>

#include "engine/frame_generator.h"

namespace whorlgen::output {

// The section header exactly as it lies on disk. 16-bit numbers are held as
// separate high and low bytes, so the record is big-endian on any host.
struct IldaHeader {
  char Signature[4];
  std::uint8_t Reserved1[3];
  std::uint8_t FormatCode;  // 5: 2D true-colour frame, 0: end section
  char FrameName[8];
  char CompanyName[8];
  std::uint8_t RecordCountHigh;
  std::uint8_t RecordCountLow;
  std::uint8_t FrameNumberHigh;
  std::uint8_t FrameNumberLow;
  std::uint8_t FrameTotalHigh;
  std::uint8_t FrameTotalLow;
  std::uint8_t Projector;
  std::uint8_t Reserved2;
};
static_assert(sizeof(IldaHeader) == 32, "an ILDA section header is 32 bytes without padding");
static_assert(std::is_standard_layout_v<IldaHeader> && std::is_trivially_copyable_v<IldaHeader>);
static_assert(offsetof(IldaHeader, FormatCode) == 7 && offsetof(IldaHeader, CompanyName) == 16);
static_assert(offsetof(IldaHeader, RecordCountHigh) == 24);
static_assert(offsetof(IldaHeader, FrameTotalHigh) == 28 && offsetof(IldaHeader, Reserved2) == 31);

// One format-5 point record as it lies on disk.
struct IldaPoint {
  std::uint8_t XHigh;  // X and Y: (code - 2048) x 16, 16-bit two's complement
  std::uint8_t XLow;
  std::uint8_t YHigh;
  std::uint8_t YLow;
  std::uint8_t Status;  // 0x80 on the last record of a section
  std::uint8_t Blue;
  std::uint8_t Green;
  std::uint8_t Red;
};
static_assert(sizeof(IldaPoint) == 8 && std::is_trivially_copyable_v<IldaPoint>);

inline constexpr std::uint8_t kIldaLastPoint = 0x80;
// Frame numbers run 0 to 65534 and the total must fit 16 bits without reading as 0.
inline constexpr std::int64_t kMaxFramesPerIldaFile = 65535;

// The point record for one laser point (its intensity byte is not recorded).
IldaPoint ToIldaPoint(const engine::LaserPoint& point);

// "WG01.ild" ... "WG09.ild", "WG10.ild", ..., "WG100.ild"; number >= 1.
std::string IldaFileName(std::int32_t number);

class IldaWriter {
 public:
  IldaWriter();
  // A file still open (a run that never reached its end steps) is finished
  // with the frames it holds rather than left without its end section; any
  // message about it goes to LateMessage.
  ~IldaWriter();
  IldaWriter(const IldaWriter&) = delete;
  IldaWriter& operator=(const IldaWriter&) = delete;

  // Number of the next file to try; 0 until the first recording.
  std::int32_t IldaFileNumber = 0;
  // Where a message goes that no run is left to show: standard error.
  std::function<void(const std::string&)> LateMessage;

  // Every Start, recording or not: frame sections from now on.
  void BeginRun();
  // Every end of run, recording or not: the next header written is an end section.
  void EndRun();

  // Creates the next free WGnn.ild in directory, never replacing an existing
  // file. On failure returns the operator's message (file and reason) and
  // changes nothing; the run must not start then.
  std::optional<std::string> OpenIldaFile(const std::filesystem::path& directory = ".");

  // Appends one frame section; frame holds the frame's PointsPerFrame points.
  // Its frame number is its place in the file. After a failed write nothing
  // more is recorded until FinishIldaFile, and the run goes on.
  void WriteIldaFrame(std::span<const engine::LaserPoint> frame);

  // Writes the end section, patches the first section's total frames, syncs
  // the file to disk and closes it; a file left without a single frame is
  // removed. Returns the operator's message when the recording is incomplete,
  // could not be saved or filled more than one file; nothing when all is well
  // or nothing was being recorded.
  std::optional<std::string> FinishIldaFile();

  bool IsOpen() const { return fd_ >= 0; }
  // A write of this run's recording has failed; nothing more is recorded.
  bool WriteFailed() const { return writeErrno_ != 0; }
  // The current file, or the last one opened; empty before the first.
  const std::filesystem::path& FilePath() const { return path_; }
  // Frame sections written whole to the current (or last) file.
  std::int64_t FramesWritten() const { return framesWritten_; }
  // Frame sections written whole in all the files of the current (or last) run.
  std::int64_t RunFramesWritten() const {
    return runFramesWritten_ + (IsOpen() ? framesWritten_ : 0);
  }

 private:
  // The one header from which every section of every file is written. Fields
  // that no operation assigns keep their values across frames and runs.
  IldaHeader Header{};
  struct SectionStart {
    off_t Offset;
    std::uint16_t FrameNumber;
  };

  std::optional<std::string> CreateNextFile();
  void ContinueInNextFile();
  std::optional<std::string> FinishFile();
  int WriteEndSection(off_t offset, const IldaHeader& endSection, std::uint16_t totalFrames);
  std::optional<std::string> SalvageAfterFailure();
  int ReadSectionStarts(std::vector<SectionStart>& starts) const;
  std::optional<std::string> RemoveEmptyFile();
  std::optional<std::string> SyncAndClose();

  int fd_ = -1;
  int directoryFd_ = -1;  // kept to make the new name durable together with the data
  std::filesystem::path directory_;
  std::filesystem::path path_;
  std::int32_t fileNumber_ = 0;        // of the current file
  std::filesystem::path firstPath_;    // the run's first file
  int filesFilled_ = 0;                // files of this run finished with frames in them
  std::int64_t runFramesWritten_ = 0;  // in the run's files finished before this one
  std::int64_t framesOffered_ = 0;     // WriteIldaFrame calls for the current file
  std::vector<std::string> problems_;  // of files finished while the run went on
  std::vector<IldaPoint> records_;     // reused frame to frame: no allocation per frame
  off_t fileBytes_ = 0;                // end of the last section written whole
  std::int64_t framesWritten_ = 0;
  std::uint16_t lastFrameNumber_ = 0;  // of the last section written whole
  int writeErrno_ = 0;                 // the first failed write; nothing more is written after it
};

}  // namespace whorlgen::output
