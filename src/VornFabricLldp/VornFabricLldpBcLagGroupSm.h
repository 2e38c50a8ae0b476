#pragma once
// LAG group consistency of the backplane channels.
//
// The member interfaces of one channel should all carry the same LAG group
// name. When they fall into more than one group the channel has a local
// mismatch, and while it lasts one member that is up and negotiated is
// picked as the preferred HiGig member; the TLV transmitter then asks the
// peer, through the single-link bit, to treat that link alone. In the other
// direction a single-link bit heard from the peer records a remote mismatch
// for the channel of the member it arrived on, until the bit or the member's
// received context goes away.
//
// Everything learnt lives in the agent-owned VornFabricLldpBcLagGroupInfo,
// which outlives this state machine; a new instance repairs what an earlier
// one left behind.

#include "VornFabricLldp/VornFabricLldpLagInfoTypes.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"

#include <map>

namespace VornFabricLldp {

class VornFabricLldpBcLagGroupSm : public Zem::StateMachine {
 public:
  // Any input may be empty: what it would provide is then treated as absent.
  // Inputs, as the agent object hands them over. Any may be empty: what it
  // would provide is then treated as absent.
  struct Params {
    Vorn::MemberId smid;
    Vorn::Role role;
    Velto::Ptr<const Vorn::MemberConfig> memberConfig;
    Velto::Ptr<const CtxForMember> ctxForMember;
    Velto::Ptr<const Vorn::BackplaneChannelStatus> bcStatus;
    Velto::Ptr<const Interface::EthLagIntfStatusDir> ethLagIntfStatusDir;
    Velto::Ptr<VornFabricLldpBcLagGroupInfo> vflBcLagGroupInfo;
    bool operator==(const Params&) const = default;
  };

  explicit VornFabricLldpBcLagGroupSm(Params params);

  Vorn::MemberId smid() const { return params_.smid; }
  Vorn::Role role() const { return params_.role; }
  const Velto::Ptr<const Vorn::MemberConfig>& memberConfig() const { return params_.memberConfig; }
  const Velto::Ptr<const CtxForMember>& ctxForMember() const { return params_.ctxForMember; }
  const Velto::Ptr<const Vorn::BackplaneChannelStatus>& bcStatus() const { return params_.bcStatus; }
  const Velto::Ptr<const Interface::EthLagIntfStatusDir>& ethLagIntfStatusDir() const {
    return params_.ethLagIntfStatusDir;
  }
  const Velto::Ptr<VornFabricLldpBcLagGroupInfo>& vflBcLagGroupInfo() const { return params_.vflBcLagGroupInfo; }

  // `memberIntf` left its LAG group on `bcIntf` (unconfigured or unnamed).
  void handleIntfDeleteHelper(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf);
  // The configuration of `memberIntf` on `bcIntf` changed.
  void handleMemberConfig(const Kivo::IntfId& bcIntf, const Kivo::IntfId& memberIntf);
  // Chooses the preferred HiGig member of a channel with a local mismatch.
  void pickPreferredMember(const Kivo::IntfId& bcIntf);
  // What is received on `memberIntf` changed.
  void handleRemoteTlv(const Kivo::IntfId& memberIntf);
  // Brings records left by an earlier instance in line with the inputs.
  void handleInitialized();

 private:
  bool enabled() const;
  // Takes `memberIntf` out of group `name`, dropping the group once empty.
  // Returns false when the group did not list the member.
  bool leaveGroup(BcLagGroupInfo& info, const Kivo::IntfId& memberIntf, const Velto::String& name);
  void maybeClearLocalMismatch(BcLagGroupInfo& info);
  void clearRemoteMismatch(BcLagGroupInfo& info, const Kivo::IntfId& memberIntf);

  void onMemberConfig(const Zem::Change& c);
  void onCtxForMember(const Zem::Change& c);
  void onBcStatus(const Zem::Change& c);
  void onEthLagIntfStatus(const Zem::Change& c);
  // Reports what changed in the channel's LAG group record as events.
  void reportLagInfo(const Kivo::IntfId& bcIntf);

  Params params_;

  // What the events last said of each channel; kept only while events are on.
  struct LagSeen {
    bool localMismatch = false;
    bool remoteMismatch = false;
    Kivo::IntfId preferred;
    Kivo::IntfId remotePreferred;
  };
  std::map<Kivo::IntfId, LagSeen> lagSeen_;
  Zem::Reactor onLagInfo_;

  Zem::Reactor onMemberConfig_;
  Zem::Reactor onBcStatus_;
  Zem::Reactor onEthLagIntfStatusDir_;
  Zem::Reactor onCtxForMember_;
};

Velto::Ptr<VornFabricLldpBcLagGroupSm> vornFabricLldpBcLagGroupSmFactory(VornFabricLldpBcLagGroupSm::Params params);

}  // namespace VornFabricLldp
