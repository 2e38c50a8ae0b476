#include "platform/vorn/Group.h"

#include "platform/scheduler/SwitchContext.h"

namespace Vorn {

const SwitchIdentity& currentSwitch() {
  static const SwitchIdentity none;
  const Oru::SwitchContext* context = Oru::SwitchContext::active();
  return context != nullptr ? context->identity() : none;
}

Zem::Optional<Role> role() { return currentSwitch().role; }
MemberId memberId() { return currentSwitch().memberId; }
bool isMember() { return currentSwitch().role && *currentSwitch().role != candidate(); }

Kivo::EthAddr memberMacAddr(MemberId memberId) {
  return Kivo::EthAddr({0x02, 0x76, 0x6f, 0x72, 0x00, memberId.value()});
}

}  // namespace Vorn
