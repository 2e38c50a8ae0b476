#pragma once
// What an agent holds of the state database: an entity manager, through
// which it mounts the paths it needs (mount groups) and finds entities.
//
// A mount group collects mounts and completes them together when it is
// closed. A blocking close completes them before it returns; a non-blocking
// close completes them later on the activity thread, through the scheduler,
// and hands the outcome to the group's own handler when one is set and to the
// entity manager's mounts-complete handler otherwise (the host forwards that
// one to the agent's doMountsComplete). The mounts themselves happen when the
// group completes, not when they are added: an agent must not expect a
// mounted entity before its completion.

#include "platform/framework/Dir.h"
#include "platform/lodestore/Mount.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/scheduler/Scheduler.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace Lodestore {

class EntityManager;

class MountGroup : public Velto::RefCounted {
 public:
  using CompletionHandler = std::function<void(MountStatus, Velto::Ptr<EntityManager>)>;

  // Made by EntityManager::mountGroup().
  explicit MountGroup(Velto::Ptr<EntityManager> em);

  // Mounts `path` as a `typeName` (see MountFlags and StateDatabase::mount):
  // a typed path that holds an entity of another type, an unknown type, a
  // bad flag letter, or "L" outside "/backup" fail the group with a message.
  void doMount(std::string path, std::string typeName, MountFlags flags);
  // Mounts whatever is at `path`, whatever its type. A missing path is left
  // missing (getEntity gives empty): in-process every path is visible, so
  // there is nothing to make, and a directory made here could stand in the
  // way of the record its writer makes later.
  void doMountPath(std::string path);

  // Completes the group. wait = true: the mounts are done before it returns
  // the outcome (no handler is called); the thread is held for the database's
  // mount latency, so a latency above `timeoutSeconds` gives `timeout` and
  // mounts nothing. wait = false: returns `success` at once and delivers the
  // outcome later on the scheduler (after the database's mount latency, or
  // `timeout` after `timeoutSeconds` when that is shorter). A limit of 0 or
  // less means no limit. A group is closed once.
  MountStatus doClose(bool wait, std::string description, Velto::Duration timeoutSeconds);

  // Takes this group's completion instead of the entity manager's handler
  // (for services, such as the synchronizers, that mount on the agent's
  // entity manager without the agent seeing their completions).
  void mountsCompleteHandlerIs(CompletionHandler handler) { handler_ = std::move(handler); }

  const Velto::Ptr<EntityManager>& entityManager() const { return em_; }
  const std::string& description() const { return description_; }
  bool closed() const { return closed_; }
  // The outcome once the group has completed.
  const Zem::Optional<MountStatus>& status() const { return status_; }
  // Why mounts failed, one message each.
  const std::vector<std::string>& errors() const { return errors_; }

 private:
  struct Request {
    std::string path;
    std::string typeName;  // empty for doMountPath
    MountFlags flags;
  };

  MountStatus perform();
  void complete(MountStatus status);
  void reportError(std::string message);

  Velto::Ptr<EntityManager> em_;
  std::vector<Request> requests_;
  CompletionHandler handler_;
  std::string description_;
  bool closed_ = false;
  Zem::Optional<MountStatus> status_;
  std::vector<std::string> errors_;
};

class EntityManager : public Zem::Entity {
 public:
  using MountsCompleteHandler = std::function<void(MountStatus, Velto::Ptr<EntityManager>)>;

  // An agent's session with `db`; completions run on `scheduler`. Takes a
  // snapshot of the database's restoredFromScratch() flag: the answer of
  // stateDatabaseAvailable() is about the moment the agent started.
  EntityManager(Velto::Ptr<StateDatabase> db, Velto::Ptr<Oru::TaskScheduler> scheduler);

  Velto::Ptr<MountGroup> mountGroup();

  // The entity at `path` ("a/b" or "/a/b"); empty when there is none.
  Velto::Ptr<Zem::Entity> getEntity(std::string_view path) const { return db_->entityAt(path); }
  template <class T>
  Velto::Ptr<T> getEntityAs(std::string_view path) const {
    return Velto::dynamicPtrCast<T>(getEntity(path));
  }
  Velto::Ptr<Zem::Dir> root() const { return db_->root(); }

  // True when the switch's state database held the state the switch had
  // published when this session began (the agent restarted, the database
  // did not); false when the database started afresh and only the local
  // backup survived (a reload). The agent passes its negation on as
  // restoreFromLocal.
  bool stateDatabaseAvailable() const { return stateDatabaseAvailable_; }

  // Where the completions of non-blocking mount groups without a handler of
  // their own go; the host sets it and forwards to doMountsComplete.
  void mountsCompleteHandlerIs(MountsCompleteHandler handler) { mountsCompleteHandler_ = std::move(handler); }
  const MountsCompleteHandler& mountsCompleteHandler() const { return mountsCompleteHandler_; }

  const Velto::Ptr<StateDatabase>& stateDatabase() const { return db_; }
  const Velto::Ptr<Oru::TaskScheduler>& scheduler() const { return scheduler_; }

 private:
  Velto::Ptr<StateDatabase> db_;
  Velto::Ptr<Oru::TaskScheduler> scheduler_;
  bool stateDatabaseAvailable_;
  MountsCompleteHandler mountsCompleteHandler_;
};

}  // namespace Lodestore
