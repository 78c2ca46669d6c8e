#include "output/dac_catalog.h"

#include <utility>

namespace whorlgen::output {

void DacCatalog::AddFamily(std::unique_ptr<DacFamily> family) {
  families_.push_back(std::move(family));
}

void DacCatalog::Scan() {
  for (auto& family : families_)
    family->Scan();
}

std::vector<DacInfo> DacCatalog::Devices() {
  std::vector<DacInfo> all;
  for (auto& family : families_) {
    for (DacInfo& dac : family->Devices())
      all.push_back(std::move(dac));
  }
  return all;
}

std::unique_ptr<DacDriver> DacCatalog::MakeDriver(const std::string& name) {
  for (auto& family : families_) {
    for (const DacInfo& dac : family->Devices()) {
      if (dac.Name == name)
        return family->MakeDriver(dac);
    }
  }
  return nullptr;
}

}  // namespace whorlgen::output
