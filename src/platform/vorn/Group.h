#pragma once
// Answers of the Vorn group service about the switch whose agent is running:
// the identity held by the active switch context (Oru::SwitchContext).

#include "platform/framework/Values.h"
#include "platform/records/VornTypes.h"

namespace Vorn {

struct SwitchIdentity {
  Zem::Optional<Role> role;
  MemberId memberId;
};

// The active context's identity; no role and member ID 0 when no context is
// active.
const SwitchIdentity& currentSwitch();

// This switch's role; none until the group service knows it.
Zem::Optional<Role> role();
// This switch's member ID (0 while it has none).
MemberId memberId();
// The switch has a role and it is not the candidate role.
bool isMember();
// The MAC address the group assigns to a member: the locally administered
// prefix 02:76:6f:72 ("vor"), shared by every member of the group, followed
// by the member ID in the last two bytes. Remote system selection recognises
// a group member by the first four bytes.
Kivo::EthAddr memberMacAddr(MemberId memberId);

}  // namespace Vorn
