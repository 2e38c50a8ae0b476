#include "platform/lodestore/EntityManager.h"

#include "platform/trace/Ringlog.h"

#include <cstdio>

namespace Lodestore {
namespace {
const Ringlog::Handle traceHandle{"Lodestore::EntityManager"};
}  // namespace

MountGroup::MountGroup(Velto::Ptr<EntityManager> em) : em_(std::move(em)) { ZEM_ASSERT(em_); }

void MountGroup::doMount(std::string path, std::string typeName, MountFlags flags) {
  ZEM_ASSERT_MSG(!closed_, "mount of '{}' added to the closed mount group '{}'", path, description_);
  requests_.push_back(Request{std::move(path), std::move(typeName), std::move(flags)});
}

void MountGroup::doMountPath(std::string path) {
  ZEM_ASSERT_MSG(!closed_, "mount of '{}' added to the closed mount group '{}'", path, description_);
  requests_.push_back(Request{std::move(path), std::string(), MountFlags()});
}

MountStatus MountGroup::doClose(bool wait, std::string description, Velto::Duration timeoutSeconds) {
  ZEM_ASSERT_MSG(!closed_, "mount group '{}' closed twice", description_);
  closed_ = true;
  description_ = std::move(description);
  const Velto::Duration latency = em_->stateDatabase()->mountLatency();
  const bool timesOut = timeoutSeconds > 0 && latency > timeoutSeconds;
  TRACE1("closing mount group '{}' with {} mount(s), wait={}", description_, requests_.size(), wait);
  if (wait) {
    if (timesOut) {
      reportError(fmt::format("mount group '{}' timed out after {} s", description_, timeoutSeconds));
      status_ = MountStatus::timeout;
      return MountStatus::timeout;
    }
    status_ = perform();
    return *status_;
  }
  Velto::Ptr<MountGroup> self(this);
  if (timesOut) {
    em_->scheduler()->post(
        [self, timeoutSeconds] {
          self->reportError(fmt::format("mount group '{}' timed out after {} s", self->description_, timeoutSeconds));
          self->complete(MountStatus::timeout);
        },
        timeoutSeconds);
  } else {
    em_->scheduler()->post([self] { self->complete(self->perform()); }, latency);
  }
  return MountStatus::success;
}

MountStatus MountGroup::perform() {
  auto& db = em_->stateDatabase();
  MountStatus status = MountStatus::success;
  for (auto& r : requests_) {
    std::string error;
    if (r.typeName.empty()) {
      if (pathNames(r.path).empty()) error = "an empty path cannot be mounted";
    } else {
      error = db->mount(r.path, r.typeName, r.flags);
    }
    if (!error.empty()) {
      reportError(fmt::format("mount group '{}': {}", description_, error));
      status = MountStatus::failure;
    }
  }
  return status;
}

void MountGroup::complete(MountStatus status) {
  status_ = status;
  const CompletionHandler& handler = handler_ ? handler_ : em_->mountsCompleteHandler();
  if (!handler) {
    TRACE2("mount group '{}' completed with {}; nobody waits for it", description_, status);
    return;
  }
  TRACE1("mount group '{}' completed with {}", description_, status);
  // The handler may drop the last references to this group or to a handler
  // stored in it.
  Velto::Ptr<MountGroup> keep(this);
  CompletionHandler run = handler;
  run(status, em_);
}

void MountGroup::reportError(std::string message) {
  std::fprintf(stderr, "Lodestore: %s\n", message.c_str());
  std::fflush(stderr);
  TRACE0("{}", message);
  errors_.push_back(std::move(message));
}

// ---------------------------------------------------------------------------

EntityManager::EntityManager(Velto::Ptr<StateDatabase> db, Velto::Ptr<Oru::TaskScheduler> scheduler)
    : db_(std::move(db)), scheduler_(std::move(scheduler)) {
  ZEM_ASSERT(db_);
  ZEM_ASSERT(scheduler_);
  stateDatabaseAvailable_ = !db_->restoredFromScratch();
}

Velto::Ptr<MountGroup> EntityManager::mountGroup() { return Velto::make<MountGroup>(Velto::Ptr<EntityManager>(this)); }

}  // namespace Lodestore
