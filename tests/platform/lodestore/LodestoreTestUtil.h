#pragma once
// Shared pieces of the state database tests: a scratch backup directory and
// a database on the virtual clock.

#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/scheduler/Scheduler.h"
#include "tests/ScratchDir.h"

#include <gtest/gtest.h>

namespace LodestoreTest {

using ScratchDir = TestSupport::ScratchDir;

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
