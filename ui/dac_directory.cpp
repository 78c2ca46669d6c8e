#include "ui/dac_directory.h"

#include "audio/jack_dac.h"
#include "output/etherdream_family.h"
#include "output/helios_dac.h"
#include "output/idn_dac.h"

namespace whorlgen::ui {

DacDirectory::DacDirectory(std::unique_ptr<discovery::DeviceDirectory> directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory)) {
  directory_->Start([this] { emit Changed(); });
}

DacDirectory::~DacDirectory() {
  directory_->Stop();
}

std::unique_ptr<discovery::DeviceDirectory> MakeProgramDirectory() {
  auto directory = std::make_unique<discovery::DeviceDirectory>();
  directory->AddFamily(std::make_unique<output::EtherDreamFamily>());
  directory->AddFamily(std::make_unique<output::IdnFamily>());
  directory->AddFamily(std::make_unique<output::HeliosFamily>(output::MakeLibusbBus()));
  directory->AddFamily(std::make_unique<audio::JackDacFamily>());
  return directory;
}

}  // namespace whorlgen::ui
