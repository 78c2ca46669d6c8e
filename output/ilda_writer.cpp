#include "output/ilda_writer.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace whorlgen::output {
namespace {

constexpr std::size_t kHeaderBytes = sizeof(IldaHeader);
constexpr off_t kFrameTotalOffset = offsetof(IldaHeader, FrameTotalHigh);

std::uint8_t HighByte(std::uint32_t value) {
  return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}
std::uint8_t LowByte(std::uint32_t value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

// Writes every byte of iov[0..count) from offset on, resuming after short
// writes. Returns 0, or the errno of the call that failed.
int WriteAllAt(int fd, iovec* iov, int count, off_t offset) {
  while (count > 0) {
    const ssize_t written = pwritev(fd, iov, count, offset);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    offset += written;
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return 0;
}

// The path as the operator should read it: absolute, without "./".
std::string Shown(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  std::string shown = "\"";  // appended, not "\"" + ..., which g++ 12 -O3 misreads (-Wrestrict)
  shown += (ec ? path : absolute.lexically_normal()).string();
  shown += '"';
  return shown;
}

std::string FramesText(std::int64_t frames) {
  return std::to_string(frames) + (frames == 1 ? " frame" : " frames");
}

}  // namespace

IldaPoint ToIldaPoint(const engine::LaserPoint& point) {
  // Whole-word arithmetic on the 8 bytes, so that the loop over a frame
  // vectorises. Read little-endian: X in bits 0-15, Y 16-31, R, G, B, I above.
  static_assert(std::endian::native == std::endian::little);
  std::uint64_t in;
  std::memcpy(&in, &point, sizeof in);
  // (code - 2048) x 16 in 16 bits is code x 16 with the top bit flipped, per lane.
  const std::uint64_t scaled = ((in << 4) & 0xFFF0FFF0u) ^ 0x80008000u;
  // Each coordinate high byte first, then status 0, blue, green, red.
  const std::uint64_t out = ((scaled & 0x00FF00FFu) << 8) | ((scaled >> 8) & 0x00FF00FFu) |
                            ((in >> 8) & 0x0000FF0000000000u) |  // B
                            ((in << 8) & 0x00FF000000000000u) |  // G
                            ((in << 24) & 0xFF00000000000000u);  // R
  IldaPoint record;
  std::memcpy(&record, &out, sizeof record);
  return record;
}

std::string IldaFileName(std::int32_t number) {
  char name[24];
  std::snprintf(name, sizeof name, "WG%02d.ild", static_cast<int>(number));
  return name;
}

IldaWriter::IldaWriter() {
  // Signature "ILDA", company "Whorlgen", total frames 0x00 0x01: a writer
  // never writes an unsigned header.
  std::memcpy(Header.Signature, "ILDA", sizeof Header.Signature);
  std::memcpy(Header.CompanyName, "Whorlgen", sizeof Header.CompanyName);
  Header.FrameTotalHigh = 0;
  Header.FrameTotalLow = 1;
}

IldaWriter::~IldaWriter() {
  if (!IsOpen() && problems_.empty())
    return;
  EndRun();
  if (auto problem = FinishIldaFile()) {
    if (LateMessage) {
      LateMessage(*problem);
    } else {
      std::fprintf(stderr, "whorlgen: %s\n", problem->c_str());
    }
  }
}

void IldaWriter::BeginRun() {
  Header.FormatCode = 5;
}

void IldaWriter::EndRun() {
  Header.FormatCode = 0;
  Header.RecordCountHigh = 0;
  Header.RecordCountLow = 0;
}

std::optional<std::string> IldaWriter::OpenIldaFile(const std::filesystem::path& directory) {
  if (IsOpen()) {
    return "Could not create the ILDA file " +
           Shown(directory / IldaFileName(std::max<std::int32_t>(IldaFileNumber, 1))) +
           ": the previous recording is still open.";
  }
  const int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) {
    const int error = errno;
    return "Could not create the ILDA file " +
           Shown(directory / IldaFileName(std::max<std::int32_t>(IldaFileNumber, 1))) + ": " +
           std::strerror(error) + ".";
  }
  directoryFd_ = directoryFd;
  directory_ = directory;
  problems_.clear();
  filesFilled_ = 0;
  runFramesWritten_ = 0;
  if (auto failure = CreateNextFile()) {
    close(directoryFd_);
    directoryFd_ = -1;
    return failure;
  }
  firstPath_ = path_;
  return std::nullopt;
}

std::optional<std::string> IldaWriter::CreateNextFile() {
  // Exclusive creation: a name already taken, by an earlier session or by
  // anyone else meanwhile, is skipped and its file left as it is. Read access
  // is only for finding section boundaries after a failed write.
  std::int32_t number = std::max<std::int32_t>(IldaFileNumber, 1);
  for (;;) {
    const std::string name = IldaFileName(number);
    const int fd = openat(directoryFd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      path_ = directory_ / name;
      fileNumber_ = number;
      IldaFileNumber = number < std::numeric_limits<std::int32_t>::max() ? number + 1 : number;
      fileBytes_ = 0;
      framesWritten_ = 0;
      framesOffered_ = 0;
      lastFrameNumber_ = 0;
      writeErrno_ = 0;
      return std::nullopt;
    }
    const int error = errno;
    if (error == EINTR) {
      continue;
    }
    if (error == EEXIST && number < std::numeric_limits<std::int32_t>::max()) {
      ++number;
      continue;
    }
    return "Could not create the ILDA file " + Shown(directory_ / name) + ": " +
           std::strerror(error) + ".";
  }
}

void IldaWriter::ContinueInNextFile() {
  const IldaHeader frameHeader = Header;
  EndRun();
  if (auto problem = FinishFile())
    problems_.push_back(*problem);
  Header = frameHeader;
  if (auto failure = CreateNextFile()) {
    problems_.push_back(*failure + " The recording stopped after " +
                        FramesText(RunFramesWritten()) + ".");
    writeErrno_ = EIO;  // nothing more is recorded in this run
  }
}

void IldaWriter::WriteIldaFrame(std::span<const engine::LaserPoint> frame) {
  const std::size_t count = frame.size();
  if (IsOpen() && writeErrno_ == 0 && framesWritten_ == kMaxFramesPerIldaFile) {
    ContinueInNextFile();
  }
  const auto frameNumber = static_cast<std::uint32_t>(framesWritten_);
  Header.RecordCountHigh = HighByte(static_cast<std::uint32_t>(count));
  Header.RecordCountLow = LowByte(static_cast<std::uint32_t>(count));
  Header.FrameNumberHigh = HighByte(frameNumber);
  Header.FrameNumberLow = LowByte(frameNumber);
  if (!IsOpen()) {
    return;
  }
  ++framesOffered_;
  // A section without records would read as the end of the file, and one
  // section holds at most 65535.
  if (writeErrno_ != 0 || count == 0 || count > 0xFFFF) {
    return;
  }

  records_.resize(count);
  std::transform(frame.begin(), frame.end(), records_.begin(), ToIldaPoint);
  records_.back().Status = kIldaLastPoint;

  iovec parts[2] = {{&Header, kHeaderBytes}, {records_.data(), count * sizeof(IldaPoint)}};
  const int error = WriteAllAt(fd_, parts, 2, fileBytes_);
  if (error != 0) {
    writeErrno_ = error;  // the partial section is cut off when the file is finished
    return;
  }
  fileBytes_ += static_cast<off_t>(kHeaderBytes + count * sizeof(IldaPoint));
  ++framesWritten_;
  lastFrameNumber_ = static_cast<std::uint16_t>(frameNumber);
}

std::optional<std::string> IldaWriter::FinishIldaFile() {
  std::vector<std::string> problems = std::exchange(problems_, {});
  if (IsOpen()) {
    assert(Header.FormatCode == 0 && Header.RecordCountHigh == 0 && Header.RecordCountLow == 0 &&
           "EndRun comes before FinishIldaFile");
    if (auto problem = FinishFile())
      problems.push_back(*problem);
  }
  if (directoryFd_ >= 0) {
    close(directoryFd_);
    directoryFd_ = -1;
    if (filesFilled_ > 1) {
      problems.push_back("The run filled " + std::to_string(filesFilled_) + " ILDA files, from " +
                         Shown(firstPath_) + " to " + Shown(path_) +
                         ", as one file holds at most " + std::to_string(kMaxFramesPerIldaFile) +
                         " frames.");
    }
  }
  if (problems.empty())
    return std::nullopt;
  std::string text = problems.front();
  for (std::size_t i = 1; i < problems.size(); ++i)
    text += "\n" + problems[i];
  return text;
}

std::optional<std::string> IldaWriter::FinishFile() {
  std::optional<std::string> problem;
  if (writeErrno_ == 0) {
    writeErrno_ = WriteEndSection(fileBytes_, Header, static_cast<std::uint16_t>(framesWritten_));
  }
  if (writeErrno_ != 0) {
    problem = SalvageAfterFailure();
  }
  if (framesWritten_ == 0) {
    // A recording without a frame is no recording: leave no file behind.
    if (auto removeProblem = RemoveEmptyFile())
      problem = removeProblem;
    return problem;
  }
  ++filesFilled_;
  runFramesWritten_ += framesWritten_;
  if (auto syncProblem = SyncAndClose()) {
    problem = problem ? *problem + "\n" + *syncProblem : *syncProblem;
  }
  return problem;
}

std::optional<std::string> IldaWriter::RemoveEmptyFile() {
  const int firstError = writeErrno_;
  close(fd_);
  fd_ = -1;
  const std::string name = path_.filename().string();
  if (unlinkat(directoryFd_, name.c_str(), 0) == 0) {
    IldaFileNumber = fileNumber_;  // the name is free again for the next recording
  }
  if (firstError == 0)
    return std::nullopt;  // nothing was offered: whatever ended the run says why
  return "Nothing could be recorded in the ILDA file " + Shown(path_) + ": " +
         std::strerror(firstError) + ". The empty file was removed.";
}

int IldaWriter::WriteEndSection(off_t offset, const IldaHeader& endSection,
                                std::uint16_t totalFrames) {
  iovec section{const_cast<IldaHeader*>(&endSection), kHeaderBytes};
  if (const int error = WriteAllAt(fd_, &section, 1, offset)) {
    return error;
  }
  std::uint8_t patch[2] = {HighByte(totalFrames), LowByte(totalFrames)};
  iovec patchPart{patch, sizeof patch};
  return WriteAllAt(fd_, &patchPart, 1, kFrameTotalOffset);
}

std::optional<std::string> IldaWriter::SalvageAfterFailure() {
  const int firstError = writeErrno_;
  // Cut the file back to its last whole section and end it there. On a full
  // disk even the 32-byte end section may not fit; then frames are given up
  // from the end until it does.
  std::vector<SectionStart> starts;
  bool haveStarts = false;
  off_t end = fileBytes_;
  std::int64_t frames = framesWritten_;
  std::uint16_t lastNumber = lastFrameNumber_;
  int error = 0;
  for (;;) {
    IldaHeader endSection = Header;
    endSection.FormatCode = 0;
    endSection.RecordCountHigh = endSection.RecordCountLow = 0;
    endSection.FrameNumberHigh = HighByte(lastNumber);
    endSection.FrameNumberLow = LowByte(lastNumber);
    error = ftruncate(fd_, end) == 0 ? 0 : errno;
    if (error == 0) {
      error = WriteEndSection(end, endSection, static_cast<std::uint16_t>(frames));
    }
    if (error == 0 || frames == 0) {
      break;
    }
    if (!haveStarts) {
      if (const int readError = ReadSectionStarts(starts)) {
        error = readError;
        break;
      }
      haveStarts = true;
    }
    --frames;
    end = starts[static_cast<std::size_t>(frames)].Offset;
    lastNumber = frames > 0 ? starts[static_cast<std::size_t>(frames) - 1].FrameNumber : 0;
  }
  if (error != 0) {
    return "The ILDA file " + Shown(path_) + " could not be finished (" + std::strerror(error) +
           ") and may not be readable.";
  }
  fileBytes_ = end + static_cast<off_t>(kHeaderBytes);
  framesWritten_ = frames;
  if (frames == framesOffered_) {
    writeErrno_ = 0;
    return std::nullopt;  // only the end section had failed, and it is written now
  }
  if (frames == 0)
    return std::nullopt;  // told when the empty file is removed
  return "The ILDA file " + Shown(path_) + " is incomplete: writing failed (" +
         std::strerror(firstError) + "). It holds the first " + FramesText(frames) + " of the " +
         std::to_string(framesOffered_) + " the run sent to it.";
}

int IldaWriter::ReadSectionStarts(std::vector<SectionStart>& starts) const {
  // Only on the way out of a failed recording: walk the record counts.
  starts.clear();
  starts.reserve(static_cast<std::size_t>(framesWritten_));
  off_t offset = 0;
  while (offset < fileBytes_) {
    std::uint8_t countAndNumber[4];
    const off_t at = offset + static_cast<off_t>(offsetof(IldaHeader, RecordCountHigh));
    const ssize_t got = pread(fd_, countAndNumber, sizeof countAndNumber, at);
    if (got != static_cast<ssize_t>(sizeof countAndNumber)) {
      return got < 0 ? errno : EIO;
    }
    const auto count = static_cast<off_t>(countAndNumber[0] << 8 | countAndNumber[1]);
    const auto number = static_cast<std::uint16_t>(countAndNumber[2] << 8 | countAndNumber[3]);
    starts.push_back({offset, number});
    offset += static_cast<off_t>(kHeaderBytes) + count * static_cast<off_t>(sizeof(IldaPoint));
  }
  return static_cast<std::int64_t>(starts.size()) == framesWritten_ ? 0 : EIO;
}

std::optional<std::string> IldaWriter::SyncAndClose() {
  // A show recorded before a power cut must survive it: the data, then the
  // directory that holds the new name.
  int error = fsync(fd_) == 0 ? 0 : errno;
  if (close(fd_) != 0 && error == 0) {
    error = errno;
  }
  fd_ = -1;
  // Some file systems cannot sync a directory (EINVAL); their names are safe anyway.
  if (fsync(directoryFd_) != 0 && errno != EINVAL && error == 0) {
    error = errno;
  }
  if (error != 0) {
    return "The ILDA file " + Shown(path_) + " could not be saved to disk (" +
           std::strerror(error) + "); the recording may be lost or damaged.";
  }
  return std::nullopt;
}

}  // namespace whorlgen::output
