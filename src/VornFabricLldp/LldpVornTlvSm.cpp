#include "VornFabricLldp/LldpVornTlvSm.h"

#include "platform/framework/Assert.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"

namespace VornFabricLldp {

namespace {
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp"};
}  // namespace

LldpVornTlvSm::LldpVornTlvSm(Params params) : params_(std::move(params)) {
  assertInputsPresent();

  localSystemReactor_ = watch(localSystem(), [this](const Zem::Change& c) { onLocalSystemChange(c); });
  ctxForMemberReactor_ = watch(ctxForMember(), [this](const Zem::Change& c) { onCtxForMemberChange(c); });
  vflCtxReactor_ = watch(vflCtx(), [this](const Zem::Change& c) { onVflCtxChange(c); });
  bcLagGroupInfoReactor_ = watch(vflBcLagGroupInfo(), [this](const Zem::Change& c) { onBcLagGroupInfoChange(c); });

  handleInitialized();
}

void LldpVornTlvSm::assertInputsPresent() const {
  ZEM_ASSERT(ctxForMember() != nullptr);
  ZEM_ASSERT(localSystem() != nullptr);
  ZEM_ASSERT(vflCtx() != nullptr);
}

void LldpVornTlvSm::updateTlv(const Kivo::IntfId& intf) {
  const auto ctx = ctxForMember()->ctx(intf);
  if (!ctx) {
    // Without a context nothing says whom the port should expect; a stale
    // TLV would keep telling the peer otherwise.
    if (const auto port = localSystem()->localPort(intf)) {
      TRACE0("unset tx TLV - no ctx for memberIntf={}", intf);
      port->vornTlvTxIs(Zem::none);
    }
    return;
  }
  // The receive path is still filling rxInfo in; its last write brings us
  // back here.
  if (ctx->rxInfoIncomplete()) return;
  const auto port = localSystem()->localPort(intf);
  if (!port) return;

  Vorn::MemberId receivedPeerId;
  if (const auto& rx = ctx->rxInfo(); rx && rx->tlv()) receivedPeerId = rx->tlv()->memberId;

  bool singleLink = false;
  if (vflBcLagGroupInfo() && getToggleState("VornLagGroupMismatch", "VornCore.json", true)) {
    // Of a channel whose LAG groups are split locally, only the preferred
    // member asks the peer to treat its link alone.
    const auto info = vflBcLagGroupInfo()->bcLagGroupInfo(ctx->bcIntf());
    if (info && info->preferredHigigMember() == intf && info->localMismatchExists()) {
      singleLink = true;
    }
  }
  TRACE6("set tx TLV - memberIntf: {} single link: {}", intf, singleLink);
  const Vorn::MemberId expectedPeerId(Vorn::memberIdByte(ctx->peerMemberId()));
  port->vornTlvTxIs(Lldp::VornTlv{smid(), role(), expectedPeerId, receivedPeerId, 0}
                        .lodestoreConnectedIs(vflCtx()->lodestoreConnected())
                        .singleLinkIs(singleLink));
}

void LldpVornTlvSm::handleLocalPort(const Kivo::IntfId& intf) {
  TRACE0("{}", intf);
  updateTlv(intf);
}

void LldpVornTlvSm::handleTlv(const Kivo::IntfId& intf) {
  TRACE0("{}", intf);
  updateTlv(intf);
}

void LldpVornTlvSm::handleTlv() {
  TRACE0("");
  updateAllTlvs();
}

void LldpVornTlvSm::transmitLocalMismatchState() {
  TRACE0("");
  updateAllTlvs();
}

void LldpVornTlvSm::handleInitialized() {
  TRACE0("");
  updateAllTlvs();
}

void LldpVornTlvSm::updateAllTlvs() {
  for (const auto& intf : localSystem()->localPort().keys()) updateTlv(intf);
}

void LldpVornTlvSm::onLocalSystemChange(const Zem::Change& c) {
  // Ports coming and going only; changes inside a port include our own
  // writes of its TLV.
  auto port = Zem::delta(c, Lldp::LocalSystem::localPortAttr);
  if (port && !port->changedInside()) handleLocalPort(port->key);
}

void LldpVornTlvSm::onCtxForMemberChange(const Zem::Change& c) {
  auto ctx = Zem::delta(c, CtxForMember::ctxAttr);
  if (!ctx) return;
  const Kivo::IntfId& intf = ctx->key;
  const Zem::Change* inner = ctx->inner;
  if (!inner) {
    handleTlv(intf);  // context added, removed or replaced
    return;
  }
  if (inner->is(MemberCtx::peerMemberIdAttr)) {
    handleTlv(intf);
    return;
  }
  if (!inner->is(MemberCtx::rxInfoAttr)) return;
  const Zem::Change* rx = inner->inner;
  if (!rx) {
    handleTlv(intf);  // rxInfo appeared, replaced or went
  } else if (rx->is(RxInfo::tlvAttr)) {
    handleTlv(intf);
  } else if (const auto* prevRefresh = Zem::previous(*rx, RxInfo::lastRefreshTimeAttr); prevRefresh && !*prevRefresh) {
    // The receive path writes a new rxInfo's refresh time after its TLV; the
    // first refresh time completes the rxInfo, so the peer is echoed now
    // rather than on its next TLV change. Later refreshes change nothing.
    handleTlv(intf);
  }
}

void LldpVornTlvSm::onVflCtxChange(const Zem::Change& c) {
  if (c.is(VornFabricLldpCtx::lodestoreConnectedAttr)) handleTlv();
}

void LldpVornTlvSm::onBcLagGroupInfoChange(const Zem::Change& c) {
  auto info = Zem::delta(c, VornFabricLldpBcLagGroupInfo::bcLagGroupInfoAttr);
  if (!info) return;
  if (const Zem::Change* inner = info->inner) {
    if (inner->is(BcLagGroupInfo::localMismatchExistsAttr) || inner->is(BcLagGroupInfo::preferredHigigMemberAttr)) {
      transmitLocalMismatchState();
    }
    return;
  }
  // A channel record that comes or goes while recording a mismatch moves the
  // single-link bit as well; one without a mismatch cannot.
  if ((info->prev && info->prev->localMismatchExists()) || (info->now && info->now->localMismatchExists())) {
    transmitLocalMismatchState();
  }
}

Velto::Ptr<LldpVornTlvSm> lldpVornTlvSmFactory(LldpVornTlvSm::Params params) {
  auto sm = Velto::make<LldpVornTlvSm>(std::move(params));
  sm->hasNotificationActiveIs(true);
  return sm;
}

}  // namespace VornFabricLldp
