#include "platform/lodestore/StateDatabase.h"

#include "platform/lodestore/BackupFile.h"
#include "platform/trace/Ringlog.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace Lodestore {
namespace {

const Ringlog::Handle traceHandle{"Lodestore::StateDatabase"};

const std::string kBackupName = "backup";
// Version of the backup file layout; a file of another version is refused
// rather than misread.
constexpr int kFileFormat = 1;
// A backup that failed to write is retried after at least this long, so a
// full disk costs one attempt a second, not one a frame.
constexpr Velto::Duration kRetryDelay = 1.0;

bool isPrefix(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::string typeNameOf(const Zem::Entity& e) {
  return e.typeInfo() ? e.typeInfo()->name() : "plain entity";
}

}  // namespace

std::vector<std::string> pathNames(std::string_view path) {
  std::vector<std::string> names;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) names.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return names;
}

std::string joinPath(const std::vector<std::string>& names) {
  std::string s;
  for (auto& n : names) {
    if (!s.empty()) s += '/';
    s += n;
  }
  return s;
}

PathChange pathChangeOf(const Zem::Change& rootChange, const std::vector<std::string>& names) {
  const Zem::Change* c = &rootChange;
  for (const std::string& name : names) {
    if (!c->is(Zem::Dir::entryAttr) || c->keyAs<std::string>() != name) return PathChange::none;
    if (!c->inner) return PathChange::replaced;
    c = c->inner;
  }
  return PathChange::inside;
}

const Zem::Change* changeInside(const Zem::Change& rootChange, const std::vector<std::string>& names) {
  const Zem::Change* c = &rootChange;
  for (const std::string& name : names) {
    if (!c->is(Zem::Dir::entryAttr) || !c->inner || c->keyAs<std::string>() != name) return nullptr;
    c = c->inner;
  }
  return c;
}

// ---------------------------------------------------------------------------

StateDatabase::StateDatabase(Velto::Ptr<Oru::TaskScheduler> scheduler)
    : scheduler_(std::move(scheduler)), root_(Velto::make<Zem::Dir>("")) {
  ZEM_ASSERT(scheduler_);
  flushTask_ = Velto::make<Oru::TimerTask>(scheduler_, 0, "Lodestore::backupFlush");
  flushTaskReactor_ = flushTask_->subscribe([this](const Zem::Change&) { handleFlushTaskRun(); });
  rootReactor_ = root_->subscribe([this](const Zem::Change& c) { handleRootChange(c); });
}

StateDatabase::~StateDatabase() {
  rootReactor_.reset();
  flushTaskReactor_.reset();
  flushTask_->stopTimerTask();
}

Velto::Ptr<Zem::Entity> StateDatabase::entityAtNames(const std::vector<std::string>& names) const {
  if (names.empty()) return root_;
  return root_->lookup(joinPath(names));
}

Velto::Ptr<Zem::Entity> StateDatabase::entityAt(std::string_view path) const { return entityAtNames(pathNames(path)); }

Velto::Ptr<Zem::Dir> StateDatabase::mkdirNames(const std::vector<std::string>& names, size_t count) {
  // Only an existing name can be in the way, and existing names come before
  // the first one made here: a refusal therefore leaves the tree untouched.
  Velto::Ptr<Zem::Dir> dir = root_;
  for (size_t i = 0; i < count && dir; ++i) dir = dir->mkdir(names[i]);
  return dir;
}

Velto::Ptr<Zem::Entity> StateDatabase::createEntityAt(std::string_view path, std::string_view typeName) {
  auto names = pathNames(path);
  if (names.empty() || !Zem::TypeInfo::find(typeName)) return {};
  auto parent = mkdirNames(names, names.size() - 1);
  if (!parent) return {};
  return parent->createEntity(names.back(), typeName);
}

Velto::Ptr<Zem::Dir> StateDatabase::mkdirAt(std::string_view path) {
  auto names = pathNames(path);
  return mkdirNames(names, names.size());
}

void StateDatabase::connectedIs(bool connected) {
  TRACE1("state database {}", connected ? "connected" : "disconnected");
  Zem::assignAttr(*this, connected_, connected, connectedAttr);
}

// ---------------------------------------------------------------------------
// Mounting

std::string StateDatabase::mount(std::string_view path, std::string_view typeName, const MountFlags& flags) {
  auto names = pathNames(path);
  const std::string joined = joinPath(names);
  if (!flags.invalid().empty()) {
    return fmt::format("unknown mount flag(s) '{}' for '/{}'", flags.invalid(), joined);
  }
  if (names.empty()) return "an empty path cannot be mounted";
  const Zem::TypeInfo* type = Zem::TypeInfo::find(typeName);
  if (!type) return fmt::format("unknown record type '{}' for '/{}'", typeName, joined);
  const bool local = flags.has(MountFlags::local);
  if (local) {
    if (names.size() < 2 || names.front() != kBackupName) {
      return fmt::format("mount flag L needs a path under /backup, not '/{}'", joined);
    }
    for (auto& [p, slot] : slots_) {
      if (p != joined && (isPrefix(slot.names, names) || isPrefix(names, slot.names))) {
        return fmt::format("'/{}' would nest with the backed-up path '/{}'; backed-up paths cannot nest", joined,
                           p);
      }
    }
  }

  if (auto cur = entityAtNames(names)) {
    if (!cur->typeInfo() || !cur->typeInfo()->isA(*type)) {
      return fmt::format("'/{}' holds a {}, not a {}", joined, typeNameOf(*cur), type->name());
    }
    if (local && !slots_.count(joined)) {
      // What the database holds is newer than any file: persist it.
      auto& slot = slots_[joined];
      slot = Slot{names, joined, backupFileName(joined), type};
      markDirty(slot);
      TRACE1("backing up /{} as it stands", joined);
    }
    return {};
  }
  if (!local && !flags.has(MountFlags::create)) {
    return fmt::format("nothing at '/{}' and the mount does not create it (flags '{}')", joined, flags);
  }
  auto parent = mkdirNames(names, names.size() - 1);
  if (!parent) return fmt::format("a name on the way to '/{}' is not a directory", joined);
  if (!local) {
    auto made = parent->createEntity(names.back(), typeName);
    ZEM_ASSERT(made);
    return {};
  }

  Slot slot{names, joined, backupFileName(joined), type};
  bool restored = false;
  auto entity = restore(slot, restored);
  parent->entryPut(names.back(), entity);
  auto& placed = slots_[joined];
  placed = std::move(slot);
  // A fresh or repaired entity gets its file at the next flush.
  if (!restored) markDirty(placed);
  return {};
}

Velto::Ptr<Zem::Entity> StateDatabase::restore(const Slot& slot, bool& restored) {
  restored = false;
  auto empty = [&] {
    auto e = slot.type->create();
    e->nameIs(slot.names.back());
    return e;
  };
  if (backupDir_.empty()) return empty();
  const std::string filePath = backupDir_ + "/" + slot.file;
  std::string content, error;
  switch (BackupFile::readWhole(filePath, content, error)) {
    case BackupFile::ReadResult::missing:
      TRACE1("no backup of /{} yet", slot.path);
      return empty();
    case BackupFile::ReadResult::failed:
      break;
    case BackupFile::ReadResult::ok:
      try {
        auto j = Zem::Json::parse(content);
        if (!j.is_object()) throw Zem::JsonError("not a JSON object");
        const auto format = j.find("format");
        if (format == j.end() || *format != kFileFormat) throw Zem::JsonError("unknown file format");
        const auto path = j.find("path");
        if (path == j.end() || !path->is_string()) throw Zem::JsonError("no path, or a path that is not a string");
        if (*path != "/" + slot.path) {
          throw Zem::JsonError(fmt::format("the file is the backup of '{}'", path->get<std::string>().substr(0, 80)));
        }
        auto record = j.find("record");
        if (record == j.end()) throw Zem::JsonError("no record");
        auto e = Zem::entityFromJson(*record, slot.type);
        e->nameIs(slot.names.back());
        restored = true;
        TRACE1("restored /{} from {}", slot.path, filePath);
        return e;
      } catch (const std::exception& ex) {
        error = ex.what();
      }
      break;
  }
  std::string kept;
  if (BackupFile::rename(backupDir_, slot.file, slot.file + ".corrupt", kept)) {
    kept = "; the file is kept as " + filePath + ".corrupt";
  } else {
    kept.clear();
  }
  reportBackupError(fmt::format("cannot restore /{} from {}: {}; starting with an empty {}{}", slot.path, filePath,
                                error, slot.type->name(), kept));
  return empty();
}

// ---------------------------------------------------------------------------
// Local backup

std::string StateDatabase::backupFileName(std::string_view path) {
  auto names = pathNames(path);
  std::string file;
  for (size_t i = (!names.empty() && names.front() == kBackupName) ? 1 : 0; i < names.size(); ++i) {
    if (!file.empty()) file += '.';
    for (unsigned char ch : names[i]) {
      if (std::isalnum(ch) || ch == '-' || ch == '_') {
        file += static_cast<char>(ch);
      } else {
        file += fmt::format("%{:02X}", ch);
      }
    }
  }
  return file + ".json";
}

void StateDatabase::backupDirIs(std::string dir) {
  if (dir == backupDir_) return;
  std::string error;
  if (!dir.empty()) {
    if (!BackupFile::makeDirs(dir, error)) {
      reportBackupError(fmt::format("backup directory unusable: {}", error));
    } else {
      BackupFile::removeLeftovers(dir);
    }
  }
  backupDir_ = std::move(dir);
  TRACE1("backup directory {}", backupDir_);
  for (auto& [p, slot] : slots_) markDirty(slot);
}

std::vector<std::string> StateDatabase::backedUpPaths() const {
  std::vector<std::string> v;
  for (auto& [p, slot] : slots_) v.push_back(p);
  return v;
}

bool StateDatabase::backupPending() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const auto& kv) { return kv.second.dirty; });
}

bool StateDatabase::writeThroughPending() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const auto& kv) { return kv.second.writeThrough; });
}

void StateDatabase::writeThroughAttrIs(const Zem::AttrInfo& attr) {
  if (std::find(writeThroughAttrs_.begin(), writeThroughAttrs_.end(), &attr) == writeThroughAttrs_.end()) {
    writeThroughAttrs_.push_back(&attr);
  }
}

void StateDatabase::rideAlongAttrIs(const Zem::AttrInfo& attr) {
  if (std::find(rideAlongAttrs_.begin(), rideAlongAttrs_.end(), &attr) == rideAlongAttrs_.end()) {
    rideAlongAttrs_.push_back(&attr);
  }
}

void StateDatabase::handleRootChange(const Zem::Change& c) {
  // Almost every change of the database is outside the backup area; one
  // comparison sends it away.
  if (!c.is(Zem::Dir::entryAttr) || c.keyAs<std::string>() != kBackupName) return;
  if (!rideAlongAttrs_.empty()) {
    const Zem::Change* innermost = &c;
    while (innermost->inner) innermost = innermost->inner;
    if (std::find(rideAlongAttrs_.begin(), rideAlongAttrs_.end(), innermost->attr) != rideAlongAttrs_.end()) return;
  }
  const bool writeThroughChange = changesWriteThroughAttr(c);
  for (auto& [p, slot] : slots_) {
    // A slot already marked for all this change could mark is skipped
    // without looking at the change: the case of nearly every frame, whose
    // refresh finds its path dirty already.
    if (slot.dirty && (slot.writeThrough || !writeThroughChange)) continue;
    const PathChange change = pathChangeOf(c, slot.names);
    if (change == PathChange::none) continue;
    markDirty(slot);
    if (slot.dirty && writeThroughChange && change == PathChange::inside) slot.writeThrough = true;
  }
}

bool StateDatabase::changesWriteThroughAttr(const Zem::Change& rootChange) const {
  if (writeThroughAttrs_.empty()) return false;
  const Zem::Change* c = &rootChange;
  while (c->inner) c = c->inner;
  return std::find(writeThroughAttrs_.begin(), writeThroughAttrs_.end(), c->attr) != writeThroughAttrs_.end();
}

void StateDatabase::markDirty(Slot& slot) {
  if (backupDir_.empty()) return;
  slot.dirty = true;
  if (!flushTask_->taskScheduled()) flushTask_->scheduleTaskDelay(flushDelay_);
}

void StateDatabase::handleFlushTaskRun() {
  if (!flush()) flushTask_->scheduleTaskDelay(std::max(flushDelay_, kRetryDelay));
}

bool StateDatabase::flush() {
  if (backupDir_.empty()) {
    for (auto& [p, slot] : slots_) slot.dirty = slot.writeThrough = false;
    return true;
  }
  return writeSlots([](const Slot&) { return true; });
}

bool StateDatabase::writeThrough() {
  if (backupDir_.empty() || !writeThroughPending()) return true;
  TRACE6("backup write-through");
  return writeSlots([](const Slot& slot) { return slot.writeThrough; });
}

template <class Pick>
bool StateDatabase::writeSlots(Pick pick) {
  bool ok = true;
  size_t written = 0;
  for (auto& [p, slot] : slots_) {
    if (!slot.dirty || !pick(slot)) continue;
    if (writeSlot(slot)) {
      slot.dirty = slot.writeThrough = false;
      ++written;
    } else {
      ok = false;
    }
  }
  if (written > 0) {
    std::string error;
    if (!BackupFile::syncDir(backupDir_, error)) {
      reportBackupError(fmt::format("backup files written but not synced: {}", error));
      ok = false;
    }
  }
  if (!backupPending()) flushTask_->stopTimerTask();
  TRACE6("backup wrote {} file(s)", written);
  return ok;
}

bool StateDatabase::writeSlot(Slot& slot) {
  std::string error;
  bool ok;
  auto entity = entityAtNames(slot.names);
  if (!entity) {
    // The backup mirrors the area: what was deleted there is deleted here.
    ok = BackupFile::remove(backupDir_, slot.file, error);
  } else if (!entity->typeInfo() || !entity->typeInfo()->isA(*slot.type)) {
    // Whoever replaced the entity broke the mount's contract; keep the last
    // good file rather than one the next start would refuse.
    error = fmt::format("/{} now holds a {}, not a {}", slot.path, typeNameOf(*entity), slot.type->name());
    ok = false;
  } else {
    Zem::Json j = Zem::Json::object();
    j["format"] = kFileFormat;
    j["path"] = "/" + slot.path;
    j["record"] = Zem::typedJson(*entity);
    ok = BackupFile::replace(backupDir_, slot.file, j.dump(1) + "\n", error);
  }
  if (!ok) {
    TRACE2("backup of /{} failed: {}", slot.path, error);
    // Report a failing backup once, not at every retry.
    if (!slot.failing) reportBackupError(fmt::format("cannot back up /{}: {}", slot.path, error));
    slot.failing = true;
    return false;
  }
  if (slot.failing) TRACE1("backup of /{} written again", slot.path);
  slot.failing = false;
  ++writeCount_;
  return true;
}

void StateDatabase::reportBackupError(const std::string& message) {
  errors_.push_back(message);
  std::fprintf(stderr, "Lodestore: %s\n", message.c_str());
  std::fflush(stderr);
  TRACE0("backup error: {}", message);
}

}  // namespace Lodestore
