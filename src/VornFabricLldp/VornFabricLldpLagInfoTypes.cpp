#include "VornFabricLldp/VornFabricLldpLagInfoTypes.h"

namespace VornFabricLldp {

Velto::Ptr<BcLagGroupInfo> bcLagGroupInfoFactory(const Kivo::IntfId& bcIntf) {
  return Velto::make<BcLagGroupInfo>(bcIntf);
}
Velto::Ptr<MemberToBpcIntfMap> memberToBpcIntfMapFactory(const Kivo::IntfId& memberIntf) {
  return Velto::make<MemberToBpcIntfMap>(memberIntf);
}
Velto::Ptr<VornFabricLldpBcLagGroupInfo> vornFabricLldpBcLagGroupInfoFactory() {
  return Velto::make<VornFabricLldpBcLagGroupInfo>();
}
Velto::Ptr<VornFabricLldpBcLagGroupInfo> VornFabricLldpBcLagGroupInfoIs() {
  return vornFabricLldpBcLagGroupInfoFactory();
}

}  // namespace VornFabricLldp
