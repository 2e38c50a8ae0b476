#include "platform/vorn/Group.h"

namespace Vorn {
namespace {
SwitchIdentity& current() {
  static SwitchIdentity s;
  return s;
}
}  // namespace

void currentSwitchIs(const SwitchIdentity& identity) { current() = identity; }
const SwitchIdentity& currentSwitch() { return current(); }
Zem::Optional<Role> role() { return current().role; }
MemberId memberId() { return current().memberId; }
bool isMember() { return current().role && *current().role != candidate(); }

Kivo::EthAddr memberMacAddr(MemberId memberId) {
  return Kivo::EthAddr({0x02, 0x76, 0x6f, 0x72, 0x00, memberId.value()});
}

}  // namespace Vorn
