#pragma once
// The state database of one switch: a tree of named entities and directories
// that the agents of the switch share in process, addressed by paths such as
// "vorn/memberConfig/1" ("/vorn/memberConfig/1" is the same path).
//
// The subtree "/backup/..." is the local backup area. Every path mounted with
// the flag "L" is persisted to its own file in the backup directory and
// restored from it when a later state database (after a restart of the
// process or a reload of the switch) mounts the path again. Files are
// replaced atomically (temporary file, sync, rename, sync of the directory),
// so a process killed at any moment leaves each file with a complete earlier
// state. Writes are coalesced: a change marks the backed-up path dirty and
// arms one flush, `backupFlushDelay` later; changes made meanwhile ride on
// that flush, so a record rewritten at every frame costs one disk write per
// delay and is never postponed for longer than the delay.
//
// Some changes must not wait for the flush: the host names the attributes
// whose changes the system log reports (writeThroughAttrIs), and before the
// log hands a step's entries to its sink it calls writeThrough(), which
// writes every backed-up path holding such a change at once. A report is
// then never ahead of the backup, while everything else stays coalesced.
//
// Other changes need not reach the disk on their own: the host names
// attributes whose value nothing reads back after a restart, only their
// being set (rideAlongAttrIs: the refresh time of what a member interface
// receives, rewritten by every frame). A change of one of them marks nothing
// dirty; its latest value goes to disk with the next write that something
// else causes.
//
// One state database per backup directory: a database that takes a
// directory removes the temporary files a killed predecessor left there.

#include "platform/framework/Dir.h"
#include "platform/lodestore/Mount.h"
#include "platform/scheduler/Scheduler.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace Lodestore {

// The names along a path: "/backup/vorn//x" and "backup/vorn/x" both give
// {"backup", "vorn", "x"}.
std::vector<std::string> pathNames(std::string_view path);
// The names joined with '/', without a leading '/'.
std::string joinPath(const std::vector<std::string>& names);

// How a change published by the root directory relates to the entity at the
// path `names`.
enum class PathChange {
  none,      // elsewhere in the tree
  replaced,  // the entity, or a directory on its way, was added, removed or replaced
  inside,    // a change inside the entity (or, for a directory, below it)
};
PathChange pathChangeOf(const Zem::Change& rootChange, const std::vector<std::string>& names);
// For a change inside the entity at the path `names`: the change as the
// entity itself published it (its `entity` is that entity). Null otherwise.
const Zem::Change* changeInside(const Zem::Change& rootChange, const std::vector<std::string>& names);

class StateDatabase : public Zem::Entity {
 public:
  // Published when the host or the simulator connects or disconnects the
  // agent's session (connectedIs).
  static inline const Zem::AttrInfo connectedAttr{"connected"};

  explicit StateDatabase(Velto::Ptr<Oru::TaskScheduler> scheduler);
  ~StateDatabase() override;

  const Velto::Ptr<Zem::Dir>& root() const { return root_; }
  const Velto::Ptr<Oru::TaskScheduler>& scheduler() const { return scheduler_; }

  // The entity at `path`; empty when there is none.
  Velto::Ptr<Zem::Entity> entityAt(std::string_view path) const;
  template <class T>
  Velto::Ptr<T> entityAtAs(std::string_view path) const {
    return Velto::dynamicPtrCast<T>(entityAt(path));
  }
  // The entity at `path`, made with the record type `typeName` (directories
  // on the way included) when there is none. Empty when the path holds an
  // entity of another type, a name on the way is not a directory, or the
  // type is unknown. Entities made here under "/backup" are persisted only
  // once their path is mounted with "L".
  Velto::Ptr<Zem::Entity> createEntityAt(std::string_view path, std::string_view typeName);
  // The directory at `path`, made with its parents when missing; empty when
  // a name on the way holds something else.
  Velto::Ptr<Zem::Dir> mkdirAt(std::string_view path);

  // Mounts `path` as a `typeName` with `flags` (see MountFlags): checks the
  // type of what is there, makes it when missing with "c" or "L", and for
  // "L" restores it from the backup file and persists it from now on.
  // Returns an empty string, or why the mount is refused (nothing is changed
  // then). A backup file that cannot be read or parsed is not a refusal: it
  // is reported (stderr, trace, backupErrors()), kept aside as
  // "<file>.corrupt", and the mount gives an empty entity of `typeName`.
  std::string mount(std::string_view path, std::string_view typeName, const MountFlags& flags);

  // The agent's session with the database; the host (or the simulator)
  // connects and disconnects it at any time and tells the agent.
  bool connected() const { return connected_; }
  void connectedIs(bool connected);

  // Set by the host when this database was started afresh and holds none of
  // the state the switch had published (a reload: only the local backup
  // survived). Entity managers made afterwards report it through
  // stateDatabaseAvailable(), which the agent negates into restoreFromLocal.
  bool restoredFromScratch() const { return restoredFromScratch_; }
  void restoredFromScratchIs(bool fromScratch) { restoredFromScratch_ = fromScratch; }

  // Time the database takes to answer a mount group (0: at the next turn of
  // the scheduler). Lets the simulator and the tests run agents while their
  // mounts are pending, and exercise blocking closes that time out.
  Velto::Duration mountLatency() const { return mountLatency_; }
  void mountLatencyIs(Velto::Duration latency) { mountLatency_ = latency; }

  // --- Local backup --------------------------------------------------------

  // Where the backup files live; created when missing. Without one (the
  // default) the backup area is kept in memory only. Setting it marks every
  // backed-up path dirty.
  const std::string& backupDir() const { return backupDir_; }
  void backupDirIs(std::string dir);
  // Delay between the first change of a backed-up path and its write.
  Velto::Duration backupFlushDelay() const { return flushDelay_; }
  void backupFlushDelayIs(Velto::Duration delay) { flushDelay_ = delay; }

  // Writes every dirty backed-up path now (hosts call it on a clean stop;
  // the destructor does not, so that dropping a database is a crash).
  // Returns false when some file could not be written; it stays dirty and is
  // retried by the next flush.
  bool flush();
  // Some backed-up path has changes not yet on disk.
  bool backupPending() const;
  // A change of `attr` inside a backed-up path is written through (see
  // above); the other attributes wait for the coalesced flush.
  void writeThroughAttrIs(const Zem::AttrInfo& attr);
  // A change of `attr` alone schedules no write (see above).
  void rideAlongAttrIs(const Zem::AttrInfo& attr);
  // Writes now every backed-up path holding a change of a write-through
  // attribute that is not on disk yet; other dirty paths keep waiting for
  // the flush. Returns false when some file could not be written; it stays
  // dirty and the flush retries it.
  bool writeThrough();
  // Some backed-up path holds a write-through change not yet on disk.
  bool writeThroughPending() const;
  // Paths mounted with "L", without the leading '/'.
  std::vector<std::string> backedUpPaths() const;
  // Files written (or removed) since this database was made.
  uint64_t backupWriteCount() const { return writeCount_; }
  // Every backup problem reported so far, oldest first.
  const std::vector<std::string>& backupErrors() const { return errors_; }
  // The file name a backed-up path is kept under: its names after "backup"
  // joined with '.', each name's bytes other than letters, digits, '-' and
  // '_' written as %XX, then ".json" ("/backup/vorn/lldp/context" gives
  // "vorn.lldp.context.json").
  static std::string backupFileName(std::string_view path);

 private:
  struct Slot {
    std::vector<std::string> names;
    std::string path;  // joined names
    std::string file;
    const Zem::TypeInfo* type = nullptr;
    bool dirty = false;
    // Dirty with a change of a write-through attribute.
    bool writeThrough = false;
    bool failing = false;
  };

  Velto::Ptr<Zem::Entity> entityAtNames(const std::vector<std::string>& names) const;
  Velto::Ptr<Zem::Dir> mkdirNames(const std::vector<std::string>& names, size_t count);
  Velto::Ptr<Zem::Entity> restore(const Slot& slot, bool& restored);
  void handleRootChange(const Zem::Change& c);
  void markDirty(Slot& slot);
  bool changesWriteThroughAttr(const Zem::Change& rootChange) const;
  void handleFlushTaskRun();
  // Writes the dirty slots that `pick` selects, then syncs the directory.
  template <class Pick>
  bool writeSlots(Pick pick);
  bool writeSlot(Slot& slot);
  void reportBackupError(const std::string& message);

  Velto::Ptr<Oru::TaskScheduler> scheduler_;
  Velto::Ptr<Zem::Dir> root_;
  Zem::Reactor rootReactor_;
  bool connected_ = false;
  bool restoredFromScratch_ = false;
  Velto::Duration mountLatency_ = 0;

  std::string backupDir_;
  Velto::Duration flushDelay_ = 0.5;
  std::map<std::string, Slot> slots_;
  std::vector<const Zem::AttrInfo*> writeThroughAttrs_;
  std::vector<const Zem::AttrInfo*> rideAlongAttrs_;
  Velto::Ptr<Oru::TimerTask> flushTask_;
  Zem::Reactor flushTaskReactor_;
  uint64_t writeCount_ = 0;
  std::vector<std::string> errors_;
};

}  // namespace Lodestore
