#include "output/device_library.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

// The linker's name for this program's own ELF header.
extern "C" const ElfW(Ehdr) __ehdr_start __attribute__((visibility("hidden")));

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

ProgramLocation FindProgramDirectory(const std::filesystem::path& exeLink) {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink(exeLink, error);
  if (error) {
    return {.Directory = {},
            .Problem = "the program's own directory could not be read from " + exeLink.string() +
                       " (" + error.message() + ")"};
  }
  return {.Directory = program.parent_path(), .Problem = {}};
}

std::optional<std::string> SharedObjectProblem(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::string(std::strerror(errno));
  struct stat status {};
  const bool statted = fstat(fd, &status) == 0;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  ElfW(Ehdr) header{};
  const bool headerRead =
      statted && size >= sizeof header && pread(fd, &header, sizeof header, 0) == sizeof header;
  std::vector<ElfW(Phdr)> segments;
  if (headerRead && header.e_phentsize == sizeof(ElfW(Phdr)) &&
      header.e_phoff + std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr)) <= size) {
    segments.resize(header.e_phnum);
    const auto bytes = static_cast<ssize_t>(segments.size() * sizeof(ElfW(Phdr)));
    if (pread(fd, segments.data(), static_cast<std::size_t>(bytes),
              static_cast<off_t>(header.e_phoff)) != bytes)
      segments.clear();
  }
  close(fd);

  if (!headerRead || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return std::string("it is not a shared library (no ELF header)");
  // This program's own header says what this machine loads.
  if (header.e_ident[EI_CLASS] != __ehdr_start.e_ident[EI_CLASS] ||
      header.e_ident[EI_DATA] != __ehdr_start.e_ident[EI_DATA] ||
      header.e_machine != __ehdr_start.e_machine)
    return std::string("it is built for another kind of machine");
  if (header.e_type != ET_DYN)
    return std::string("it is not a shared library");
  const std::uint64_t sectionTableEnd =
      header.e_shoff + std::uint64_t{header.e_shnum} * header.e_shentsize;
  if (segments.size() != header.e_phnum || header.e_phnum == 0 || sectionTableEnd > size)
    return "it is cut short: " + std::to_string(size) + " bytes, less than its own tables need";
  for (const ElfW(Phdr) & segment : segments) {
    if (segment.p_type == PT_LOAD && segment.p_offset + segment.p_filesz > size) {
      return "it is cut short: " + std::to_string(size) +
             " bytes, but its contents reach to byte " +
             std::to_string(segment.p_offset + segment.p_filesz);
    }
  }
  return std::nullopt;
}

DeviceLibraries::DeviceLibraries() {
  ProgramLocation location = FindProgramDirectory();
  searchDirectory_ = std::move(location.Directory);
  searchProblem_ = std::move(location.Problem);
}

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
      if (auto problem = SharedObjectProblem(besideProgram)) {
        return "The DAC library " + besideProgram.string() + " could not be loaded: " + *problem +
               ". Put a whole copy for this machine in its place, or choose another DAC.";
      }
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
    const std::string unsearched =
        searchProblem_.empty()
            ? std::string{}
            : " It was not looked for beside the program: " + searchProblem_ + ".";
    return "The DAC library " + std::string(fileName) + " was not found" + where +
           " on the system's library path: " + LoaderMessage() +
           ". Put it beside the program, or choose another DAC." + unsearched;
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
