#pragma once
// A private toggle directory for one test or fixture, in the active switch context (one of its own, active while
// it lives, when none is): the toggle cache is emptied on the way in and out, so each case reads its own files and
// leaves the context's toggles as it found them.

#include "platform/scheduler/SwitchContext.h"
#include "platform/toggles/Toggles.h"
#include "tests/ScratchDir.h"

#include <filesystem>
#include <fstream>
#include <optional>

namespace TogglesTesting {

class ScopedToggleDir {
 public:
  // `coreText` is the text of VornCore.json, or null for no such file.
  explicit ScopedToggleDir(const char* coreText = nullptr) {
    if (Oru::SwitchContext::active() == nullptr) ownActive_.emplace(own_.emplace());
    store_ = &Oru::SwitchContext::active()->toggles();
    previous_ = store_->directory();
    if (coreText) write("VornCore.json", coreText);
    store_->directoryIs(dir_.string()), store_->resetCache();
  }
  ~ScopedToggleDir() { store_->directoryIs(previous_), store_->resetCache(); }
  ScopedToggleDir(const ScopedToggleDir&) = delete;
  ScopedToggleDir& operator=(const ScopedToggleDir&) = delete;

  // Leaves the cache alone: values already read stay as they were.
  void write(const std::string& name, const std::string& text) const { std::ofstream(dir_ / name) << text; }
  // Rewrites VornCore.json and empties the cache so the next read sees it.
  void coreIs(const std::string& text) const { write("VornCore.json", text), store_->resetCache(); }
  const std::filesystem::path& path() const { return dir_; }

 private:
  TestSupport::ScratchDir scratch_{"vorn-toggles"};
  const std::filesystem::path dir_ = scratch_.path();
  std::string previous_;
  std::optional<Oru::SwitchContext> own_;
  std::optional<Oru::SwitchContext::Scope> ownActive_;
  Toggles::Store* store_ = nullptr;
};

}  // namespace TogglesTesting
