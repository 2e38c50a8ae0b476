#pragma once
// The agent host's view of one agent: the life cycle it drives on its
// activity thread (pre-init, init, state database connect and disconnect,
// completion of asynchronous mounts) and what it provides to the agent (its
// scheduler and its entity manager).

#include "platform/framework/Entity.h"
#include "platform/lodestore/EntityManager.h"
#include "platform/scheduler/Scheduler.h"

#include <string>

namespace AgentBase {

class CAgent : public Zem::Entity {
 public:
  explicit CAgent(std::string name) : agentName_(std::move(name)) {}
  ~CAgent() override = default;

  // The instance name (the suffix of the agent's state database name).
  const std::string& agentName() const { return agentName_; }
  const std::string& agentLodestoreName() const { return agentLodestoreName_; }
  void agentLodestoreNameIs(std::string name) { agentLodestoreName_ = std::move(name); }

  // The host's scheduler: every timer of the agent runs on it.
  const Velto::Ptr<Oru::TaskScheduler>& taskScheduler() const { return scheduler_; }
  // The host's entity manager of the switch's state database.
  const Velto::Ptr<Lodestore::EntityManager>& entityManager() const { return entityManager_; }

  // Life cycle, called by the host on its activity thread.
  virtual void doPreInit() {}
  virtual void doInit() {}
  virtual void doMountsComplete(Lodestore::MountStatus, const Velto::Ptr<Lodestore::EntityManager>&) {}
  virtual void handleLodestoreConnect(const Velto::Ptr<Lodestore::EntityManager>&) {}
  virtual void handleLodestoreDisconnect() {}

  // The host hands these over before doPreInit.
  void taskSchedulerIs(Velto::Ptr<Oru::TaskScheduler> s) { scheduler_ = std::move(s); }
  void entityManagerIs(Velto::Ptr<Lodestore::EntityManager> em) { entityManager_ = std::move(em); }

 private:
  std::string agentName_;
  std::string agentLodestoreName_;
  Velto::Ptr<Oru::TaskScheduler> scheduler_;
  Velto::Ptr<Lodestore::EntityManager> entityManager_;
};

}  // namespace AgentBase
