#pragma once
// Runs an emulator as a child process for tests and benchmarks: started with
// its own arguments, its output silenced, stopped with SIGTERM, and its
// report (the stats file) read back as key=value pairs.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace whorlgen::emulators {

// A loopback port of the given socket type (SOCK_STREAM, SOCK_DGRAM) that
// nobody uses right now at `address` (127.0.0.x), for an emulator or a
// receiver under test.
inline std::uint16_t FreeLoopbackPort(int type, const char* address = "127.0.0.1") {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  inet_pton(AF_INET, address, &at.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  socklen_t length = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  close(fd);
  return ntohs(at.sin_port);
}

class EmulatorProcess {
 public:
  // `program` is the emulator; `args` follow it, and "--stats <statsFile>"
  // is added. Returns once the emulator listens (its first report is there).
  EmulatorProcess(const std::string& program, std::vector<std::string> args,
                  std::filesystem::path statsFile)
      : stats_(std::move(statsFile)) {
    std::filesystem::remove(stats_);
    args.insert(args.begin(), program);
    args.push_back("--stats");
    args.push_back(stats_.string());
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &quiet, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&quiet);
    for (int i = 0; i < 500 && pid_ > 0 && !std::filesystem::exists(stats_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;
  ~EmulatorProcess() { Stop(); }

  bool Started() const { return pid_ > 0 && std::filesystem::exists(stats_); }

  // Stops the emulator (once) and returns its final report.
  std::map<std::string, std::string> Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    std::map<std::string, std::string> report;
    std::ifstream in(stats_);
    for (std::string line; std::getline(in, line);) {
      const auto equals = line.find('=');
      if (equals != std::string::npos)
        report[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return report;
  }

 private:
  std::filesystem::path stats_;
  pid_t pid_ = -1;
};

}  // namespace whorlgen::emulators
