#pragma once
// What the receive-path tests build their LLDP engine state from: remote
// systems as the engine records a frame from a group peer, and trace
// helpers.

#include "platform/records/LldpRecords.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"

#include <string>
#include <vector>

namespace RxTest {

inline std::string macBytes(const Kivo::EthAddr& mac) {
  return std::string(mac.bytes().begin(), mac.bytes().end());
}

// The one place the tests build a Vorn TLV: from member `memberId`,
// expecting `expectedPeerId`, having heard `receivedPeerId` (0: nobody).
inline Lldp::VornTlv tlv(uint8_t memberId, uint8_t expectedPeerId = 0, uint8_t receivedPeerId = 0,
                         uint8_t flags = 0, Vorn::Role role = Vorn::Role::member) {
  Lldp::VornTlv t;
  t.memberId = memberId;
  t.role = role;
  t.expectedPeerId = expectedPeerId;
  t.receivedPeerId = receivedPeerId;
  t.flags = flags;
  return t;
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
  for (const auto& r : cap.records()) {
    if (r.level == level && !r.message.empty()) out.push_back(r.message);
  }
  return out;
}

}  // namespace RxTest
