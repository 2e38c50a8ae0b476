#include "platform/vorn/ServiceSync.h"

#include "platform/records/VornRecords.h"
#include "platform/trace/Ringlog.h"

#include <cstdio>

namespace Vorn {
namespace {

const Ringlog::Handle traceHandle{"Vorn::ServiceSync"};

void reportError(const std::string& message) {
  std::fprintf(stderr, "ServiceSync: %s\n", message.c_str());
  std::fflush(stderr);
  TRACE0("{}", message);
}

}  // namespace

bool NoopStateReader::remoteStateAccepted(const ServiceCtx&, const Zem::Entity&) const { return true; }

VornConfigLocalReader::VornConfigLocalReader(const Velto::Ptr<ServiceCtx>& ctx) : ctx_(ctx.get()) { ZEM_ASSERT(ctx); }

bool VornConfigLocalReader::remoteStateAccepted(const ServiceCtx& ctx, const Zem::Entity& remote) const {
  ZEM_ASSERT_MSG(&ctx == ctx_, "the member configuration reader of one context was installed on {}",
                 ctx.localPath());
  if (!ctx.restoreFromLocal()) return true;
  auto* config = dynamic_cast<const MemberConfig*>(&remote);
  // Something other than a member configuration gives no hint of being a
  // republished state; take it.
  if (!config) return true;
  return !config->bcConfig().empty();
}

ServiceCtx::ServiceCtx(Velto::Ptr<Zem::Entity> localEntity, std::string localPath, std::string remotePath,
                       bool restoreFromLocal)
    : localEntity_(std::move(localEntity)) {
  localPath_ = std::move(localPath);
  remotePath_ = std::move(remotePath);
  restoreFromLocal_ = restoreFromLocal;
}

// ---------------------------------------------------------------------------

ServiceLocalRemoteSynchronizer::ServiceLocalRemoteSynchronizer(Velto::Ptr<ServiceCtx> ctx,
                                                               Velto::Ptr<Lodestore::EntityManager> em)
    : ctx_(std::move(ctx)), em_(std::move(em)), liveness_(Velto::make<Liveness>()) {
  liveness_->owner = this;
  bindServiceCtx();
}

ServiceLocalRemoteSynchronizer::~ServiceLocalRemoteSynchronizer() { liveness_->owner = nullptr; }

void ServiceLocalRemoteSynchronizer::bindServiceCtx() {
  if (!ctx_) {
    ctxReactor_.reset();
    return;
  }
  ctxReactor_ = ctx_->subscribe([this](const Zem::Change& c) {
    publish(Zem::Change{this, &serviceCtxAttr, nullptr, nullptr, &c});
    if (c.is(ServiceCtx::remoteIsWriterAttr) && started_) restart();
  });
}

void ServiceLocalRemoteSynchronizer::serviceCtxIs(Velto::Ptr<ServiceCtx> ctx) {
  if (ctx == ctx_) return;
  Velto::Ptr<ServiceCtx> prev = std::move(ctx_);
  ctx_ = std::move(ctx);
  remoteAccepted_ = false;
  bindServiceCtx();
  if (started_) restart();
  publish(Zem::Change{this, &serviceCtxAttr, nullptr, &prev, nullptr});
}

void ServiceLocalRemoteSynchronizer::lodestoreEmIs(Velto::Ptr<Lodestore::EntityManager> em) {
  if (em == em_) return;
  Velto::Ptr<Lodestore::EntityManager> prev = std::move(em_);
  em_ = std::move(em);
  if (started_) {
    if (em_) {
      restart();
    } else {
      stopLodestoreSync();
    }
  }
  publish(Zem::Change{this, &lodestoreEmAttr, nullptr, &prev, nullptr});
}

void ServiceLocalRemoteSynchronizer::initialize() {
  ZEM_ASSERT(serviceCtx());
  ZEM_ASSERT(serviceCtx()->localEntity());
  ZEM_ASSERT_MSG(!Lodestore::pathNames(ctx_->remotePath()).empty(), "empty state database path for {}",
                 ctx_->localPath());
  if (!ctx_->localStateReader()) ctx_->localStateReaderIs(Velto::make<NoopStateReader>());
  TRACE1("synchronizer of {} with {} initialized; remoteIsWriter={} restoreFromLocal={}", ctx_->localPath(),
         ctx_->remotePath(), ctx_->remoteIsWriter(), ctx_->restoreFromLocal());
}

void ServiceLocalRemoteSynchronizer::startLodestoreSync(Velto::Ptr<Lodestore::EntityManager> em) {
  ZEM_ASSERT(em);
  ZEM_ASSERT(serviceCtx());
  started_ = false;
  lodestoreEmIs(std::move(em));
  started_ = true;
  TRACE1("start synchronizing {} with {}", ctx_->localPath(), ctx_->remotePath());
  restart();
}

void ServiceLocalRemoteSynchronizer::stopLodestoreSync() {
  if (started_ && ctx_) TRACE1("stop synchronizing {} with {}", ctx_->localPath(), ctx_->remotePath());
  started_ = false;
  restart();
}

void ServiceLocalRemoteSynchronizer::restart() {
  rootReactor_.reset();
  localReactor_.reset();
  active_ = false;
  delta_.clear();
  wholeCopy_ = true;
  remoteKnown_ = false;
  remote_ = nullptr;
  // A completion of an earlier mount must not start copying.
  ++generation_;
  if (!started_ || !em_ || !ctx_) return;
  remoteNames_ = Lodestore::pathNames(ctx_->remotePath());
  auto group = em_->mountGroup();
  Velto::Ptr<Liveness> live = liveness_;
  const uint64_t generation = generation_;
  group->mountsCompleteHandlerIs([live, generation](Lodestore::MountStatus status, Velto::Ptr<Lodestore::EntityManager>) {
    ServiceLocalRemoteSynchronizer* self = live->owner;
    if (self && self->generation_ == generation) self->handleMountsComplete(status);
  });
  group->doMountPath(ctx_->remotePath());
  group->doClose(false, "synchronizer of " + ctx_->remotePath(), 0);
}

void ServiceLocalRemoteSynchronizer::handleMountsComplete(Lodestore::MountStatus status) {
  if (status != Lodestore::mountSuccess()) {
    reportError(fmt::format("mount of {} for {} ended with {}; not synchronizing", ctx_->remotePath(),
                            ctx_->localPath(), status));
    return;
  }
  Velto::Ptr<ServiceLocalRemoteSynchronizer> keep(this);
  const uint64_t generation = generation_;
  active_ = true;
  rootReactor_ = em_->root()->subscribe([this](const Zem::Change& c) { handleRootChange(c); });
  localReactor_ = ctx_->localEntity()->subscribe([this](const Zem::Change& c) { handleLocalChange(c); });
  sync();
  // Watchers of the flag see the copied state; a handler that stopped or
  // restarted the synchronizer meanwhile has the last word.
  if (generation_ == generation) ctx_->lodestoreMountsCompleteIs(true);
}

void ServiceLocalRemoteSynchronizer::handleRootChange(const Zem::Change& c) {
  auto what = Lodestore::pathChangeOf(c, remoteNames_);
  if (what == Lodestore::PathChange::none) return;
  if (what == Lodestore::PathChange::replaced) {
    // A new remote entity shares nothing with the last copy.
    wholeCopy_ = true;
    remoteKnown_ = false;
    sync();
    return;
  }
  const Zem::Change* inside = Lodestore::changeInside(c, remoteNames_);
  ZEM_ASSERT(inside != nullptr);
  if (ctx_->remoteIsWriter()) {
    handleSourceChange(*inside);
  } else if (!copying_) {
    // A stray writer of the remote copy of a local writer: the next copy of
    // a local change overrides it.
    delta_.note(*inside);
  }
}

void ServiceLocalRemoteSynchronizer::handleLocalChange(const Zem::Change& c) {
  if (!ctx_->remoteIsWriter()) {
    handleSourceChange(c);
  } else if (!copying_) {
    // A write to the local copy of a remote writer lasts until the next
    // remote change is copied.
    delta_.note(c);
  }
}

void ServiceLocalRemoteSynchronizer::handleSourceChange(const Zem::Change& c) {
  if (!active_) return;
  delta_.note(c);
  if (flushArmed_) return;
  flushArmed_ = true;
  Oru::atStepEnd([live = liveness_] {
    if (ServiceLocalRemoteSynchronizer* self = live->owner) self->handleFlush();
  });
}

void ServiceLocalRemoteSynchronizer::handleFlush() {
  flushArmed_ = false;
  if (active_ && !delta_.empty()) sync();
}

void ServiceLocalRemoteSynchronizer::sync() {
  // A copy publishes changes whose handlers may come back here (our own
  // creation of the remote copy, a writer reacting to the target): finish
  // the copy under way, then copy once more.
  if (copying_) {
    copyAgain_ = true;
    return;
  }
  Velto::Ptr<ServiceLocalRemoteSynchronizer> keep(this);
  copying_ = true;
  do {
    copyAgain_ = false;
    copyOnce();
  } while (copyAgain_ && active_);
  copying_ = false;
}

void ServiceLocalRemoteSynchronizer::copyOnce() {
  if (!active_) return;
  const auto& local = ctx_->localEntity();
  // Looked up once per remote entity: the root reactor hears when another
  // takes its place.
  if (!remoteKnown_) {
    remote_ = em_->getEntity(ctx_->remotePath());
    remoteKnown_ = true;
  }
  auto remote = remote_;
  if (ctx_->remoteIsWriter()) {
    if (!remote) {
      TRACE2("no {} in the state database yet; {} stays as it is", ctx_->remotePath(), ctx_->localPath());
      wholeCopy_ = true;
      delta_.clear();
      return;
    }
    if (remote == local) {
      delta_.clear();
      return;
    }
    if (!remoteAccepted_) {
      const auto& reader = ctx_->localStateReader();
      remoteAccepted_ = !reader || reader->remoteStateAccepted(*ctx_, *remote);
      if (!remoteAccepted_) {
        TRACE1("keeping {} as the working copy until {} is republished", ctx_->localPath(), ctx_->remotePath());
        // The copy that follows acceptance takes everything.
        wholeCopy_ = true;
        delta_.clear();
        return;
      }
    }
    copy(*local, *remote);
    return;
  }
  if (!remote) {
    const Zem::TypeInfo* type = local->typeInfo();
    if (type) remote = em_->stateDatabase()->createEntityAt(ctx_->remotePath(), type->name());
    if (!remote) {
      reportError(fmt::format("cannot make {} as a {} to publish {}", ctx_->remotePath(),
                              type ? type->name() : "plain entity", ctx_->localPath()));
      return;
    }
    TRACE1("made {} as a {}", ctx_->remotePath(), type->name());
    remote_ = remote;
    remoteKnown_ = true;
  }
  if (remote == local) {
    delta_.clear();
    return;
  }
  copy(*remote, *local);
}

void ServiceLocalRemoteSynchronizer::copy(Zem::Entity& target, const Zem::Entity& source) {
  try {
    if (wholeCopy_ || delta_.all()) {
      wholeCopy_ = false;
      delta_.clear();
      ++wholeCopies_;
      TRACE6("copying the whole of {} into {}", ctx_->remoteIsWriter() ? ctx_->remotePath() : ctx_->localPath(),
             ctx_->remoteIsWriter() ? ctx_->localPath() : ctx_->remotePath());
      delta_.copyAll(target, source);
    } else {
      delta_.apply(target, source);
    }
  } catch (const std::exception& e) {
    wholeCopy_ = true;
    // An exception escaping a handler would end the agent; a record that
    // cannot take the other's content is reported and left as it is.
    reportError(fmt::format("cannot copy {} into {}: {}", ctx_->remoteIsWriter() ? ctx_->remotePath() : ctx_->localPath(),
                            ctx_->remoteIsWriter() ? ctx_->localPath() : ctx_->remotePath(), e.what()));
  }
}

}  // namespace Vorn
