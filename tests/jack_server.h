#pragma once
// A JACK server on its dummy driver (no sound hardware), started under a
// name of its own for the length of a test or a benchmark and stopped by its
// PID. Clients of this process reach it through JACK_DEFAULT_SERVER.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio/jack_dac.h"

extern char** environ;

namespace whorlgen::testing {

class DummyJackServer {
 public:
  DummyJackServer() = default;
  DummyJackServer(const DummyJackServer&) = delete;
  DummyJackServer& operator=(const DummyJackServer&) = delete;
  ~DummyJackServer() { Stop(); }

  // Empty when the server answers; otherwise why it does not.
  std::string Start(unsigned sampleRate = 48000, unsigned periodFrames = 1024) {
    if (!OnPath("jackd"))
      return "jackd is not installed (Debian package jackd2)";
    const std::string name = "whorlgen-test-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    std::vector<std::string> args = {"jackd", "-n",
                                     name,    "--no-realtime",
                                     "-d",    "dummy",
                                     "-r",    std::to_string(sampleRate),
                                     "-p",    std::to_string(periodFrames)};
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawnp(&pid_, "jackd", &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) {
      pid_ = 0;
      return "jackd could not be started";
    }
    using namespace std::chrono_literals;
    for (int n = 0; n < 100 && !audio::JackServerRunning(0ms); ++n)
      std::this_thread::sleep_for(100ms);
    return audio::JackServerRunning(0ms) ? "" : "jackd did not come up within 10 s";
  }

  // Holds the server still (SIGSTOP), as a server that stops taking audio,
  // and lets it go on again (SIGCONT).
  void Freeze() {
    if (pid_ > 0)
      kill(pid_, SIGSTOP);
  }
  void Thaw() {
    if (pid_ > 0)
      kill(pid_, SIGCONT);
  }

  void Stop() {
    Thaw();
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = 0;
    }
  }

 private:
  static bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "";
    for (std::size_t start = 0; start <= dirs.size();) {
      const std::size_t end = std::min(dirs.find(':', start), dirs.size());
      if (std::filesystem::exists(std::filesystem::path(dirs.substr(start, end - start)) / program))
        return true;
      start = end + 1;
    }
    return false;
  }

  pid_t pid_ = 0;
};

}  // namespace whorlgen::testing
