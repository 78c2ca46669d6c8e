#include "output/device_library.h"

#include <dlfcn.h>
#include <link.h>

#include <system_error>

namespace whorlgen::output {

namespace {

std::size_t IndexOf(DeviceLibrary library) {
  return static_cast<std::size_t>(library);
}

// dlerror() is reset by every reading; a null answer still deserves words.
std::string LoaderMessage() {
  const char* message = dlerror();
  return message != nullptr ? message : "no reason given";
}

// The file the loader really opened, which may lie on the system path.
std::string OpenedPath(void* handle, const char* fallback) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
      map->l_name[0] != '\0') {
    return map->l_name;
  }
  return fallback;
}

}  // namespace

const char* LibraryFileName(DeviceLibrary library) {
  switch (library) {
    case DeviceLibrary::SoundCard:
      return "libEZAudDac.so";
    case DeviceLibrary::EasyLase:
      return "libEasyLase.so";
    case DeviceLibrary::Riya:
      return "libRiyaNetServer_stdcall.so";
  }
  return "";
}

void AddFailure(DacFailure& failure, const std::string& message) {
  if (!failure) {
    failure = message;
  } else {
    *failure += '\n';
    *failure += message;
  }
}

std::filesystem::path ProgramDirectory() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path{} : program.parent_path();
}

DeviceLibraries::DeviceLibraries() : DeviceLibraries(ProgramDirectory()) {}

DeviceLibraries::DeviceLibraries(std::filesystem::path searchDirectory)
    : searchDirectory_(std::move(searchDirectory)) {}

bool DeviceLibraries::IsLoaded(DeviceLibrary library) const {
  return loaded_[IndexOf(library)].handle != nullptr;
}

std::optional<std::string> DeviceLibraries::Load(DeviceLibrary library) {
  const char* fileName = LibraryFileName(library);
  Loaded& slot = loaded_[IndexOf(library)];
  dlerror();

  // A library beside the program is the one meant; if it cannot be loaded,
  // say why rather than quietly taking another from the system.
  if (!searchDirectory_.empty()) {
    const std::filesystem::path besideProgram = searchDirectory_ / fileName;
    std::error_code error;
    if (std::filesystem::exists(besideProgram, error)) {
      slot.handle = dlopen(besideProgram.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (slot.handle == nullptr) {
        return "The DAC library " + besideProgram.string() +
               " could not be loaded: " + LoaderMessage();
      }
      return std::nullopt;
    }
  }

  slot.handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  if (slot.handle == nullptr) {
    const std::string where =
        searchDirectory_.empty() ? std::string{} : " in " + searchDirectory_.string() + " or";
    return "The DAC library " + std::string(fileName) + " was not found" + where +
           " on the system's library path: " + LoaderMessage() +
           ". Put it beside the program, or choose another DAC.";
  }
  return std::nullopt;
}

BindResult DeviceLibraries::Bind(DeviceLibrary library, const char* name) {
  Loaded& slot = loaded_[IndexOf(library)];
  if (slot.handle == nullptr) {
    if (auto failure = Load(library)) {
      return BindResult{.Address = nullptr, .Failure = *failure, .LibraryMissing = true};
    }
  }
  for (const auto& [boundName, address] : slot.functions) {
    if (boundName == name)
      return BindResult{.Address = address, .Failure = {}, .LibraryMissing = false};
  }
  dlerror();
  void* address = dlsym(slot.handle, name);
  if (address == nullptr) {
    return BindResult{.Address = nullptr,
                      .Failure = "The DAC library " +
                                 OpenedPath(slot.handle, LibraryFileName(library)) +
                                 " has no function " + name + ": " + LoaderMessage(),
                      .LibraryMissing = false};
  }
  slot.functions.emplace_back(name, address);
  return BindResult{.Address = address, .Failure = {}, .LibraryMissing = false};
}

}  // namespace whorlgen::output
