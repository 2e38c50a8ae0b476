#pragma once
// Drives one agent through its life cycle against one switch's state
// database: hands it the scheduler and an entity manager, runs pre-init and
// init, follows the database's connection (connect and disconnect events
// reach the agent on the activity thread) and forwards the completion of
// asynchronous mount groups. The daemon has one host; the simulator one per
// switch.
//
// It also ties the system log to the local backup: a member interface's
// negotiation state and fabric mode are written through to the backup
// before the log hands over any entry (see Syslog::BeforeDelivery), so a
// reported confirmation or fall-back survives a crash that follows it.

#include "platform/host/CAgent.h"
#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/log/Syslog.h"
#include "platform/scheduler/SwitchContext.h"

namespace AgentHost {

class Host {
 public:
  Host(Velto::Ptr<Oru::TaskScheduler> scheduler, Velto::Ptr<Lodestore::StateDatabase> db);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Starts `agent`: pre-init, init, and a connect if the database is
  // connected already.
  void start(Velto::Ptr<AgentBase::CAgent> agent);
  // Destroys the agent (the agent process ends) and writes the local backup
  // out, as on a clean stop.
  void stop();

  const Velto::Ptr<AgentBase::CAgent>& agent() const { return agent_; }
  const Velto::Ptr<Lodestore::EntityManager>& entityManager() const { return em_; }
  const Velto::Ptr<Lodestore::StateDatabase>& stateDatabase() const { return db_; }

 private:
  void handleConnected();

  Velto::Ptr<Oru::TaskScheduler> scheduler_;
  Velto::Ptr<Lodestore::StateDatabase> db_;
  Velto::Ptr<Lodestore::EntityManager> em_;
  Velto::Ptr<AgentBase::CAgent> agent_;
  bool agentConnected_ = false;
  // The context this host gave its scheduler to, to take it back on stop.
  Oru::SwitchContext* schedulerContext_ = nullptr;
  Zem::Reactor dbReactor_;
  Syslog::BeforeDelivery backupBeforeLog_;
};

}  // namespace AgentHost
