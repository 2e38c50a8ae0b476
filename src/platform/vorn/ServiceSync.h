#pragma once
// Keeps a record an agent works on (its local copy, usually kept in the local
// backup area) in step with the same record at its path in the state
// database (the remote copy), in one direction:
//
// - remoteIsWriter (the default): the state database copy is authoritative
//   and flows into the local copy (member configuration, ASIC warm-up);
// - remoteIsWriter cleared: the local copy is authoritative and is published
//   to the state database (backplane channel status, LLDP status); a missing
//   remote copy is made with the local copy's record type.
//
// The agent runs on its local copies from the start; the synchronizer only
// exchanges data while started (between startLodestoreSync and
// stopLodestoreSync, normally while the state database is connected).
//
// The first copy after a start (and after the remote copy is replaced)
// brings the whole target to the source's JSON (Zem::assignFromJson of
// Zem::toJson). From then on only what changed travels: the synchronizer
// notes the attributes and collection keys each change of the source names
// and, once the step that made them ends (Oru::atStepEnd; at once outside a
// step), writes just those into the target. A record rewritten many times in
// a step is copied once, and a change of one entry of a large collection
// costs the same whatever the collection's size. Writes to the target by
// anyone else are noted too and undone with the next copy, as a whole copy
// would undo them. After every step the target holds what a whole copy
// would have given it.

#include "platform/framework/Record.h"
#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/RecordDelta.h"

#include <cstdint>
#include <string>

namespace Vorn {

class ServiceCtx;

// Decides when the state database copy may replace the local copy of a
// context whose remote copy is authoritative. The synchronizer asks before
// every copy into the local copy until the reader first says yes; from then
// on, for the life of the synchronizer, the remote copy flows unasked.
class LocalStateReader : public Velto::RefCounted {
 public:
  virtual bool remoteStateAccepted(const ServiceCtx& ctx, const Zem::Entity& remote) const = 0;
};

// The remote copy is taken as soon as it exists.
class NoopStateReader : public LocalStateReader {
 public:
  bool remoteStateAccepted(const ServiceCtx& ctx, const Zem::Entity& remote) const override;
};

// The reader of the member configuration. After a reload the state database
// starts empty and the group configuration service publishes the member
// configurations again some time later; meanwhile the agent must keep
// negotiating on the configuration it restored from the local backup, not
// drop every backplane channel. So while its context restores from local
// storage (restoreFromLocal), a remote member configuration without any
// backplane channel is not taken: the backed-up configuration stays the
// working copy until the state database copy arrives with content. When the
// context does not restore from local storage, the state database copy is
// taken as it is, empty or not.
//
// Limitation: after a reload, a member configuration that really has become
// empty is taken only once the group configuration publishes a channel.
class VornConfigLocalReader : public LocalStateReader {
 public:
  explicit VornConfigLocalReader(const Velto::Ptr<ServiceCtx>& ctx);
  bool remoteStateAccepted(const ServiceCtx& ctx, const Zem::Entity& remote) const override;

 private:
  // The context this reader was made for (it holds the reader, so the
  // reader only compares the address, never follows it).
  const ServiceCtx* ctx_;
};

// What one synchronizer keeps in step: the local entity, a label of the
// local copy (localPath, used in traces), the state database path of the
// remote copy (remotePath), the direction and the start-up state.
class ServiceCtx : public Zem::Entity {
  ZEM_RECORD(ServiceCtx, "Vorn::ServiceCtx")
 public:
  ServiceCtx(Velto::Ptr<Zem::Entity> localEntity, std::string localPath, std::string remotePath,
             bool restoreFromLocal);

  ZEM_KEY(std::string, localPath)
  ZEM_KEY(std::string, remotePath)
  // The agent started from its local backup because the state database had
  // lost the switch's published state.
  ZEM_ATTR(bool, restoreFromLocal)
  // The synchronizer's state database mount has completed (and the first
  // copy is done). Stays true once set: it records that the local copy has
  // been reconciled with the state database at least once; a later stop
  // (disconnect) does not undo that.
  ZEM_ATTR(bool, lodestoreMountsComplete)
  // The remote copy is authoritative (see the top of this file).
  ZEM_ATTR_D(bool, remoteIsWriter, true)

  const Velto::Ptr<Zem::Entity>& localEntity() const { return localEntity_; }
  const Velto::Ptr<LocalStateReader>& localStateReader() const { return localStateReader_; }
  void localStateReaderIs(Velto::Ptr<LocalStateReader> reader) { localStateReader_ = std::move(reader); }

 private:
  ServiceCtx() = default;
  Velto::Ptr<Zem::Entity> localEntity_;
  Velto::Ptr<LocalStateReader> localStateReader_;
};

class ServiceLocalRemoteSynchronizer : public Zem::Entity {
 public:
  // Published when the context is replaced; a change inside the context
  // (lodestoreMountsComplete, ...) reaches this synchronizer's subscribers
  // as a nested change of this attribute, as for an owned child.
  static inline const Zem::AttrInfo serviceCtxAttr{"serviceCtx"};
  static inline const Zem::AttrInfo lodestoreEmAttr{"lodestoreEm"};

  // `em` may be empty; nothing is exchanged before startLodestoreSync.
  ServiceLocalRemoteSynchronizer(Velto::Ptr<ServiceCtx> ctx, Velto::Ptr<Lodestore::EntityManager> em);
  ~ServiceLocalRemoteSynchronizer() override;

  const Velto::Ptr<ServiceCtx>& serviceCtx() const { return ctx_; }
  // Replaces the context; a started synchronizer restarts on the new one.
  void serviceCtxIs(Velto::Ptr<ServiceCtx> ctx);

  const Velto::Ptr<Lodestore::EntityManager>& lodestoreEm() const { return em_; }
  // Hands over the entity manager of a new session. A started synchronizer
  // restarts on a different one (stops on an empty one).
  void lodestoreEmIs(Velto::Ptr<Lodestore::EntityManager> em);

  // Checks the context (asserted: it has a local entity and a remote path)
  // and gives it a NoopStateReader when it has no reader.
  void initialize();
  // (Re)starts: mounts the remote path through `em`'s mount group without
  // waiting; when the mount completes, copies in the context's direction,
  // keeps copying on every later change of the source (and when the remote
  // entity is replaced), and sets the context's lodestoreMountsComplete.
  void startLodestoreSync(Velto::Ptr<Lodestore::EntityManager> em);
  // Stops copying; a pending mount completion is ignored. The context's
  // lodestoreMountsComplete stays as it is.
  void stopLodestoreSync();

  // Between startLodestoreSync and stopLodestoreSync.
  bool syncStarted() const { return started_; }
  // Started and the mount has completed: changes are being copied.
  bool syncActive() const { return active_; }
  // Writer calls the copies made since this synchronizer was made (see
  // Lodestore::RecordDelta::writes): what carrying the changes cost.
  uint64_t copyWrites() const { return delta_.writes() + wholeCopies_; }
  // Copies of the whole record made so far (the first after each start).
  uint64_t wholeCopies() const { return wholeCopies_; }

 private:
  // Lets a posted mount completion find out whether its synchronizer still
  // exists without keeping it alive.
  struct Liveness : Velto::RefCounted {
    ServiceLocalRemoteSynchronizer* owner = nullptr;
  };

  void bindServiceCtx();
  void restart();
  void handleMountsComplete(Lodestore::MountStatus status);
  void handleRootChange(const Zem::Change& c);
  void handleLocalChange(const Zem::Change& c);
  void handleSourceChange(const Zem::Change& c);
  void handleFlush();
  void sync();
  void copyOnce();
  void copy(Zem::Entity& target, const Zem::Entity& source);

  Velto::Ptr<ServiceCtx> ctx_;
  Velto::Ptr<Lodestore::EntityManager> em_;
  Zem::Reactor ctxReactor_;
  Zem::Reactor rootReactor_;
  Zem::Reactor localReactor_;
  Velto::Ptr<Liveness> liveness_;
  std::vector<std::string> remoteNames_;
  uint64_t generation_ = 0;
  bool started_ = false;
  bool active_ = false;
  bool remoteAccepted_ = false;
  bool copying_ = false;
  bool copyAgain_ = false;
  // What changed in the source, or in the target by others, since the last
  // copy.
  Lodestore::RecordDelta delta_;
  // The next copy is a whole one: after a start, a replaced remote copy, a
  // copy that could not be made.
  bool wholeCopy_ = true;
  uint64_t wholeCopies_ = 0;
  // A copy of the delta waits for the end of the step.
  bool flushArmed_ = false;
  // The remote entity as last looked up; valid while remoteKnown_.
  Velto::Ptr<Zem::Entity> remote_;
  bool remoteKnown_ = false;
};

}  // namespace Vorn
