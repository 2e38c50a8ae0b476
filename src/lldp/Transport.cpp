#include "lldp/Transport.h"

namespace Lldp {

namespace {
Velto::Ptr<Transport>& current() {
  static Velto::Ptr<Transport> transport;
  return transport;
}
}  // namespace

void currentTransportIs(Velto::Ptr<Transport> transport) { current() = std::move(transport); }
const Velto::Ptr<Transport>& currentTransport() { return current(); }

}  // namespace Lldp
