#pragma once
// What the group's other services publish in a switch's state database for
// this agent: the member configuration of the switch's backplane channels,
// the ASIC warm-up record, the Ethernet LAG status of the channels and the
// group status with a candidate's member ID, plus the directories the agent
// mounts. On a switch those services run beside the agent; the simulator
// plays them for every switch it hosts and the daemon plays them from its
// configuration file and the kernel's link states.

#include "platform/framework/Values.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/records/VornTypes.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Vorn {

// One member interface of a backplane channel, as configured.
struct MemberIntfPlan {
  Kivo::IntfId intf;
  std::string lagGroup;  // empty: none
};

// One backplane channel, as configured.
struct ChannelPlan {
  Kivo::IntfId intf;
  MemberId peerMemberId;  // 0: none
  std::vector<MemberIntfPlan> members;

  const MemberIntfPlan* member(const Kivo::IntfId& m) const;
};

namespace GroupRecords {

inline constexpr const char* memberConfigDir = "vorn/memberConfig";
inline constexpr const char* asicsWarmPath = "vorn/hardware/asicsWarm";
inline constexpr const char* ethLagPath = "interface/status/eth/lag";
inline constexpr const char* vornStatusPath = "vorn/status";

// The directories and empty records the agent mounts.
void publishDirs(Lodestore::StateDatabase& db);
// The member configuration "vorn/memberConfig/<memberId>" made to match
// `channels`: channels and member interfaces not listed are removed, the
// others written in place, so an unchanged plan changes nothing.
void writeMemberConfig(Lodestore::StateDatabase& db, MemberId memberId, const std::vector<ChannelPlan>& channels);
// The ASIC warm-up of each member listed.
void writeAsicsWarm(Lodestore::StateDatabase& db, const std::map<MemberId, bool>& warm);
// The Ethernet LAG status of every channel: a member is up when `memberUp`
// says so, a channel is up while any member is. Channels and members not
// planned are removed.
void writeLagStatus(Lodestore::StateDatabase& db, const std::vector<ChannelPlan>& channels,
                    const std::function<bool(const Kivo::IntfId&)>& memberUp);
// The group service's candidate member ID.
void publishCandidateMemberId(Lodestore::StateDatabase& db, MemberId memberId);

}  // namespace GroupRecords
}  // namespace Vorn
