#pragma once
// A private toggle directory for one test: VornCore.json holds `text` (or is
// absent when `text` is null), and the toggle cache is emptied on the way in
// and out so each case reads its own file.

#include "platform/toggles/Toggles.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace VornFabricLldpTest {

class ScopedToggleFile {
 public:
  explicit ScopedToggleFile(const char* text) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-toggles-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    previous_ = Toggles::directory();
    if (text) std::ofstream(dir_ / "VornCore.json") << text;
    Toggles::directoryIs(dir_.string());
    Toggles::resetCache();
  }
  ~ScopedToggleFile() {
    Toggles::directoryIs(previous_);
    Toggles::resetCache();
    std::filesystem::remove_all(dir_);
  }
  ScopedToggleFile(const ScopedToggleFile&) = delete;
  ScopedToggleFile& operator=(const ScopedToggleFile&) = delete;

 private:
  std::filesystem::path dir_;
  std::string previous_;
};

}  // namespace VornFabricLldpTest
