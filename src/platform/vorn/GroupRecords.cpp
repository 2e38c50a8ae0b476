#include "platform/vorn/GroupRecords.h"

#include "platform/framework/Assert.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/VornRecords.h"

#include <fmt/format.h>

namespace Vorn {

const MemberIntfPlan* ChannelPlan::member(const Kivo::IntfId& m) const {
  for (const auto& plan : members) {
    if (plan.intf == m) return &plan;
  }
  return nullptr;
}

namespace GroupRecords {

namespace {

const ChannelPlan* channelOf(const std::vector<ChannelPlan>& channels, const Kivo::IntfId& intf) {
  for (const auto& ch : channels) {
    if (ch.intf == intf) return &ch;
  }
  return nullptr;
}

Interface::LinkStatus linkStatus(bool up) { return up ? Interface::LinkStatus::up : Interface::LinkStatus::down; }

}  // namespace

void publishDirs(Lodestore::StateDatabase& db) {
  for (const char* dir : {"vorn/dtd/bcStatus", "vorn/lldp/status", memberConfigDir}) {
    ZEM_ASSERT(db.mkdirAt(dir));
  }
  ZEM_ASSERT(db.createEntityAt(vornStatusPath, "Vorn::VornStatus"));
  ZEM_ASSERT(db.createEntityAt(ethLagPath, "Interface::EthLagIntfStatusDir"));
}

void writeMemberConfig(Lodestore::StateDatabase& db, MemberId memberId, const std::vector<ChannelPlan>& channels) {
  auto config = Velto::dynamicPtrCast<MemberConfig>(
      db.createEntityAt(fmt::format("{}/{}", memberConfigDir, memberId.stringValue()), "Vorn::MemberConfig"));
  ZEM_ASSERT(config);
  for (const auto& bc : config->bcConfig().keys()) {
    if (!channelOf(channels, bc)) config->bcConfigDel(bc);
  }
  for (const auto& ch : channels) {
    auto bc = config->bcConfigIs(ch.intf);
    bc->peerMemberIdIs(optionalMemberId(ch.peerMemberId));
    for (const auto& m : bc->memberIntf().keys()) {
      if (!ch.member(m)) bc->memberIntfDel(m);
    }
    for (const auto& m : ch.members) bc->memberIntfIs(m.intf)->lagGroupNameIs(m.lagGroup);
  }
}

void writeAsicsWarm(Lodestore::StateDatabase& db, const std::map<MemberId, bool>& warm) {
  auto record = Velto::dynamicPtrCast<AsicsWarm>(db.createEntityAt(asicsWarmPath, "Vorn::AsicsWarm"));
  ZEM_ASSERT(record);
  for (const auto& [member, isWarm] : warm) record->memberAsicsWarmIs(member, isWarm);
}

void writeLagStatus(Lodestore::StateDatabase& db, const std::vector<ChannelPlan>& channels,
                    const std::function<bool(const Kivo::IntfId&)>& memberUp) {
  auto dir = db.entityAtAs<Interface::EthLagIntfStatusDir>(ethLagPath);
  ZEM_ASSERT(dir);
  for (const auto& ch : dir->intfStatus().keys()) {
    if (!channelOf(channels, ch)) dir->intfStatusDel(ch);
  }
  for (const auto& ch : channels) {
    auto status = dir->intfStatusIs(ch.intf);
    for (const auto& m : status->member().keys()) {
      if (!ch.member(m)) status->memberDel(m);
    }
    bool anyUp = false;
    for (const auto& m : ch.members) {
      const bool up = memberUp(m.intf);
      status->memberIs(m.intf)->linkStatusIs(linkStatus(up));
      anyUp = anyUp || up;
    }
    status->linkStatusIs(linkStatus(anyUp));
  }
}

void publishCandidateMemberId(Lodestore::StateDatabase& db, MemberId memberId) {
  auto status = db.entityAtAs<VornStatus>(vornStatusPath);
  ZEM_ASSERT(status);
  status->candidateMemberIdIs(optionalMemberId(memberId));
}

}  // namespace GroupRecords
}  // namespace Vorn
