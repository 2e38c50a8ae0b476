#pragma once
// Shared pieces of the state database tests: a scratch backup directory and
// a database on the virtual clock.

#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/scheduler/Scheduler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace LodestoreTest {

// A directory removed with its content when the test ends.
class ScratchDir {
 public:
  ScratchDir() : path_((std::filesystem::temp_directory_path() / "lodestoreXXXXXX").string()) {
    if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
  }
  ~ScratchDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }
  std::string read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary | std::ios::trunc) << content;
  }

 private:
  std::string path_;
};

// One switch's state database with an entity manager, on a virtual clock.
struct Switch {
  Velto::Ptr<Oru::VirtualScheduler> scheduler = Velto::make<Oru::VirtualScheduler>();
  Velto::Ptr<Lodestore::StateDatabase> db = Velto::make<Lodestore::StateDatabase>(scheduler);
  Velto::Ptr<Lodestore::EntityManager> em = Velto::make<Lodestore::EntityManager>(db, scheduler);

  Switch() = default;
  explicit Switch(const std::string& backupDir) { db->backupDirIs(backupDir); }

  // One mount in a group closed with waiting.
  Lodestore::MountStatus mount(const std::string& path, const std::string& type, const std::string& flags) {
    auto group = em->mountGroup();
    group->doMount(path, type, flags);
    return group->doClose(true, "test", 10.0);
  }
};

}  // namespace LodestoreTest
