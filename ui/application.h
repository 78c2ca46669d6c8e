#pragma once
// The program put together: the device libraries, the directory of DACs,
// the panel, live control (MIDI, OSC, presets), the music's modulation and
// the pages of the Devices window, each built once here and wired to the
// others. The panel stays the panel and the run's host; it builds none of
// the subsystems around it.

#include <filesystem>
#include <memory>
#include <optional>

namespace whorlgen::output {
class DeviceLibraries;
}

namespace whorlgen::ui {

class DacDirectory;
class FrmWhorlgen;
class LiveControl;
class MusicModulation;

class Application {
 public:
  // Looks for the device libraries in `deviceLibraryDirectory` first when
  // given, otherwise in the program's own directory.
  explicit Application(
      const std::optional<std::filesystem::path>& deviceLibraryDirectory = std::nullopt);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  FrmWhorlgen& Window() { return *window_; }
  LiveControl& Live() { return *live_; }
  MusicModulation& Music() { return *music_; }

 private:
  void AddDevicePages();
  void TellWhereLibrariesAreLookedFor();

  std::unique_ptr<output::DeviceLibraries> libraries_;
  std::unique_ptr<DacDirectory> dacs_;
  std::unique_ptr<FrmWhorlgen> window_;
  LiveControl* live_ = nullptr;       // the window's child
  MusicModulation* music_ = nullptr;  // the window's child
};

}  // namespace whorlgen::ui
