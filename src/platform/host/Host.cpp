#include "platform/host/Host.h"

#include "platform/framework/Assert.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"

namespace AgentHost {

Host::Host(Velto::Ptr<Oru::TaskScheduler> scheduler, Velto::Ptr<Lodestore::StateDatabase> db)
    : scheduler_(std::move(scheduler)),
      db_(std::move(db)),
      backupBeforeLog_([db = db_.get()] { db->writeThrough(); }) {
  ZEM_ASSERT(scheduler_);
  ZEM_ASSERT(db_);
  // What the system log reports about a member interface: READY and ERROR
  // announce a new negotiation state and fabric mode.
  using IntfStatus = Vorn::BackplaneChannelMemberStatus::IntfStatus;
  db_->writeThroughAttrIs(IntfStatus::stateAttr);
  db_->writeThroughAttrIs(IntfStatus::fabricModeAttr);
  // Every received frame rewrites the refresh time of what a member
  // interface receives; after a restart only its presence is read (the
  // context waits for fresh frames), so it need not cost a write of its own.
  db_->rideAlongAttrIs(VornFabricLldp::RxInfo::lastRefreshTimeAttr);
}

Host::~Host() { stop(); }

void Host::start(Velto::Ptr<AgentBase::CAgent> agent) {
  ZEM_ASSERT(!agent_);
  agent_ = std::move(agent);
  em_ = Velto::make<Lodestore::EntityManager>(db_, scheduler_);
  // Completions are delivered by the scheduler, so they run on the activity
  // thread after the handler that closed the group has returned.
  em_->mountsCompleteHandlerIs([this](Lodestore::MountStatus status, Velto::Ptr<Lodestore::EntityManager> em) {
    if (agent_) agent_->doMountsComplete(status, em);
  });
  // Whatever stamps records with the current time reads this scheduler,
  // unless the switch's context names one already.
  schedulerContext_ = Oru::SwitchContext::active();
  if (schedulerContext_ != nullptr && schedulerContext_->scheduler() == nullptr) {
    schedulerContext_->schedulerIs(scheduler_.get());
  } else {
    schedulerContext_ = nullptr;
  }
  agent_->taskSchedulerIs(scheduler_);
  agent_->entityManagerIs(em_);
  agent_->doPreInit();
  agent_->doInit();
  dbReactor_ = db_->subscribe([this](const Zem::Change& c) {
    if (c.is(Lodestore::StateDatabase::connectedAttr)) handleConnected();
  });
  handleConnected();
}

void Host::handleConnected() {
  if (!agent_ || db_->connected() == agentConnected_) return;
  agentConnected_ = db_->connected();
  if (agentConnected_) {
    agent_->handleLodestoreConnect(em_);
  } else {
    agent_->handleLodestoreDisconnect();
  }
}

void Host::stop() {
  if (!agent_) return;
  dbReactor_.reset();
  agent_ = nullptr;
  agentConnected_ = false;
  if (em_) em_->mountsCompleteHandlerIs(nullptr);
  em_ = nullptr;
  if (schedulerContext_ != nullptr && schedulerContext_->scheduler() == scheduler_.get()) {
    schedulerContext_->schedulerIs(nullptr);
  }
  schedulerContext_ = nullptr;
  db_->flush();
}

}  // namespace AgentHost
