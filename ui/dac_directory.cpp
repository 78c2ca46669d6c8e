#include "ui/dac_directory.h"

#include "audio/jack_dac.h"
#include "lasers/etherdream_family.h"
#include "lasers/helios_dac.h"
#include "lasers/idn_dac.h"

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
  directory->AddFamily(std::make_unique<lasers::EtherDreamFamily>());
  directory->AddFamily(std::make_unique<lasers::IdnFamily>());
  directory->AddFamily(std::make_unique<lasers::HeliosFamily>(lasers::MakeLibusbBus()));
  directory->AddFamily(std::make_unique<audio::JackDacFamily>());
  return directory;
}

}  // namespace whorlgen::ui
