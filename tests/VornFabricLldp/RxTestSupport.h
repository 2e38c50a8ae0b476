#pragma once
// What the receive-path tests build their LLDP engine state from: remote
// systems as the engine records a frame from a group peer, and trace
// helpers.

#include "platform/records/LldpRecords.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"

#include <algorithm>
#include <string>
#include <vector>

namespace RxTest {

using Kivo::IntfId;
inline const IntfId po1("Port-Channel1"), po2("Port-Channel2"), po5("Port-Channel5"), po7("Port-Channel7"),
    po9("Port-Channel9");
inline const IntfId et1("Ethernet1"), et2("Ethernet2"), et3("Ethernet3"), et4("Ethernet4"), et5("Ethernet5"),
    et9("Ethernet9");

template <class Keys>
Keys sorted(Keys keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

inline std::string macBytes(const Kivo::EthAddr& mac) {
  return std::string(mac.bytes().begin(), mac.bytes().end());
}

// The one place the tests build a Vorn TLV: from member `memberId`,
// expecting `expectedPeerId`, having heard `receivedPeerId` (0: nobody).
inline Lldp::VornTlv tlv(uint8_t memberId, uint8_t expectedPeerId = 0, uint8_t receivedPeerId = 0,
                         uint8_t flags = 0, Vorn::Role role = Vorn::Role::member) {
  return Lldp::VornTlv{memberId, role, expectedPeerId, receivedPeerId, flags};
}

// A remote system as the engine records a frame from member `peer` sent on
// its interface `peerPort`.
inline Velto::Ptr<Lldp::RemoteSystem> peerRs(int index, Velto::Duration lastRefreshTime,
                                             Zem::Optional<Lldp::VornTlv> vornTlv, uint8_t peer = 2,
                                             const char* peerPort = "Ethernet1") {
  auto rs = Velto::make<Lldp::RemoteSystem>(index);
  rs->chassisIdSubtypeIs(Lldp::ChassisIdSubtype::macAddress);
  rs->chassisIdIs(Lldp::ChassisId(macBytes(Vorn::memberMacAddr(peer))));
  rs->portIdSubtypeIs(Lldp::PortIdSubtype::interfaceName);
  rs->portIdIs(Lldp::PortId(std::string(peerPort)));
  rs->ttlIs(1);
  rs->lastRefreshTimeIs(lastRefreshTime);
  rs->vornTlvIs(vornTlv);
  return rs;
}

// The non-empty messages traced at `level`, oldest first.
inline std::vector<std::string> messagesAt(const Ringlog::Capture& cap, int level) {
  std::vector<std::string> out;
  for (const auto& r : cap.records())
    if (r.level == level && !r.message.empty()) out.push_back(r.message);
  return out;
}

}  // namespace RxTest
