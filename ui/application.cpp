#include "ui/application.h"

#include <QMessageBox>
#include <QTimer>

#include "output/device_library.h"
#include "lasers/etherdream_protocol.h"
#include "lasers/idn_dac.h"
#include "ui/audio_input_page.h"
#include "ui/control_page.h"
#include "ui/dac_directory.h"
#include "ui/devices_window.h"
#include "ui/frm_whorlgen.h"
#include "ui/live_control.h"
#include "ui/modulation_page.h"
#include "ui/music_modulation.h"
#include "ui/network_dacs_page.h"
#include "ui/projectors_page.h"
#include "ui/show_page.h"
#include "ui/sound_card_page.h"

namespace whorlgen::ui {

Application::Application(const std::optional<std::filesystem::path>& deviceLibraryDirectory)
    : libraries_(deviceLibraryDirectory
                     ? std::make_unique<output::DeviceLibraries>(*deviceLibraryDirectory)
                     : std::make_unique<output::DeviceLibraries>()),
      dacs_(std::make_unique<DacDirectory>(MakeProgramDirectory())),
      window_(std::make_unique<FrmWhorlgen>(*libraries_, *dacs_)) {
  // MIDI, OSC and presets after the panel's load, so the panel starts as always.
  live_ = new LiveControl(*window_);
  music_ = new MusicModulation(*window_);
  live_->SetMusic(music_);
  QObject::connect(window_.get(), &FrmWhorlgen::FrameComing, music_, &MusicModulation::BeforeFrame);
  AddDevicePages();
  TellWhereLibrariesAreLookedFor();
}

// The window goes first (a run still going ends with it), then the directory
// whose devices the run may have used.
Application::~Application() {
  window_.reset();
  dacs_.reset();
}

void Application::AddDevicePages() {
  DevicesWindow& devices = *window_->Devices();
  auto* network = new NetworkDacsPage(*dacs_);
  network->AddKind({"Ether Dream", "network/etherdream_addresses", lasers::etherdream::kTcpPort});
  network->AddKind({"IDN", "network/idn_addresses", lasers::kIdnPort});
  FrmWhorlgen& window = *window_;
  network->SetChooser([&window](const std::string& name) { return window.ChooseDac(name); });
  devices.AddPage(network, "Network DACs");
  QObject::connect(&devices, &DevicesWindow::Opened, network, &NetworkDacsPage::Scan);
  devices.AddPage(new ShowPage(window, *dacs_), "Show");

  devices.AddPage(new SoundCardPage(*libraries_), "Sound card");
  devices.AddPage(new ControlPage(*live_), "Control");
  auto* projectors = new ProjectorsPage([&window] { return window.ListedDacNames(); },
                                        [&window] { return window.Params.PointsPerSec; });
  devices.AddPage(projectors, "Projectors");
  QObject::connect(&devices, &DevicesWindow::Opened, projectors, &ProjectorsPage::Refresh);
  devices.AddPage(new AudioInputPage(*music_), "Audio input");
  devices.AddPage(new ModulationPage(*music_), "Modulation");
}

void Application::TellWhereLibrariesAreLookedFor() {
  const std::string& problem = libraries_->SearchProblem();
  if (problem.empty())
    return;
  // Told once the window is up, without holding anything up.
  FrmWhorlgen* window = window_.get();
  QTimer::singleShot(0, window, [window, problem] {
    auto* box = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Whorlgen"),
        QString::fromStdString("The DAC libraries are looked for on the system's library "
                               "path only: " +
                               problem + "."),
        QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  });
}

}  // namespace whorlgen::ui
