#pragma once
// Loads the laser DAC libraries the way a vendor's would be used: a library
// is opened when one of its functions is first needed, and each function is
// looked up by name at its first call. Only the library of the device in use
// has to exist. A library that cannot be loaded, or lacks a function, is an
// ordinary outcome reported to the operator in the loader's own words.

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace whorlgen::output {

enum class DeviceLibrary { SoundCard, EasyLase, Riya };

// The shared object's file name: "libEZAudDac.so", "libEasyLase.so" or
// "libRiyaNetServer_stdcall.so".
const char* LibraryFileName(DeviceLibrary library);

// What a device call reports to the run: nothing, or a message for the
// operator (and the run ends).
using DacFailure = std::optional<std::string>;

// Adds `message` to `failure` on a line of its own.
void AddFailure(DacFailure& failure, const std::string& message);

struct BindResult {
  void* Address = nullptr;      // the function, when found
  std::string Failure;          // otherwise, the message for the operator
  bool LibraryMissing = false;  // the library itself could not be loaded
};

// Lives as long as the program. Once loaded, a library stays loaded: vendor
// libraries may run threads of their own that an unload would pull from
// under them. Failures are not remembered, so a library put in place while
// the program runs is found at the next run.
class DeviceLibraries {
 public:
  // Looks first in the program's own directory, then on the system's
  // library path; only there when the program's directory cannot be read.
  DeviceLibraries();
  // Looks first in `searchDirectory` instead (tests).
  explicit DeviceLibraries(std::filesystem::path searchDirectory);
  DeviceLibraries(const DeviceLibraries&) = delete;
  DeviceLibraries& operator=(const DeviceLibraries&) = delete;

  // The function `name` of `library`, loading the library first if need be.
  BindResult Bind(DeviceLibrary library, const char* name);

  bool IsLoaded(DeviceLibrary library) const;
  // Why the program's own directory is not searched; empty when it is.
  const std::string& SearchProblem() const { return searchProblem_; }

 private:
  struct Loaded {
    void* handle = nullptr;
    std::vector<std::pair<std::string, void*>> functions;  // bound so far
  };

  std::optional<std::string> Load(DeviceLibrary library);

  std::filesystem::path searchDirectory_;
  std::string searchProblem_;
  std::array<Loaded, 3> loaded_{};
};

// The directory the running program's file lies in, read from the link
// /proc/self/exe; when it cannot be read, an empty directory and the reason.
struct ProgramLocation {
  std::filesystem::path Directory;
  std::string Problem;
};
ProgramLocation FindProgramDirectory(const std::filesystem::path& exeLink = "/proc/self/exe");

// Why the file at `path` is not a whole shared object that this machine can
// load, in words; nothing when it is one. A file cut short would otherwise be
// mapped past its end and kill the program inside the loader.
std::optional<std::string> SharedObjectProblem(const std::filesystem::path& path);

// One entry point of a device library as a driver holds it during a run:
// bound at its first call, and reported only once if it cannot be bound.
template <typename Fn>
struct DeviceFunction {
  explicit DeviceFunction(const char* name) : Name(name) {}
  const char* Name;
  Fn Address = nullptr;
  bool Reported = false;  // could not be bound, and the operator has been told
};

// One run's use of one library. The first failure to load the library is
// reported; later calls into it are skipped quietly, since the run is
// ending and the operator already knows.
class LibraryBinding {
 public:
  LibraryBinding(DeviceLibraries& libraries, DeviceLibrary library)
      : libraries_(libraries), library_(library) {}

  // True when `function` can be called; otherwise adds to `failure` what is
  // missing, the first time only.
  template <typename Fn>
  bool Resolve(DeviceFunction<Fn>& function, DacFailure& failure) {
    if (function.Address != nullptr)
      return true;
    if (libraryMissing_ || function.Reported)
      return false;
    const BindResult result = libraries_.Bind(library_, function.Name);
    if (result.Address == nullptr) {
      libraryMissing_ = result.LibraryMissing;
      function.Reported = true;
      AddFailure(failure, result.Failure);
      return false;
    }
    // POSIX guarantees that a function's address from dlsym can be used so.
    function.Address = reinterpret_cast<Fn>(result.Address);
    return true;
  }

 private:
  DeviceLibraries& libraries_;
  DeviceLibrary library_;
  bool libraryMissing_ = false;
};

}  // namespace whorlgen::output
