#include "platform/log/VornMessages.h"

namespace Syslog {

const Message VORN_BACKPLANE_INTF_MISMATCH{
    "VORN_BACKPLANE_INTF_MISMATCH",
    "%s member interface %s encountered an unexpected member ID (%s)",
    "A member interface is connected to a peer with an unexpected member ID",
    2,
    3,
    1,  // the member interface
};

const Message VORN_BACKPLANE_INTF_ERROR{
    "VORN_BACKPLANE_INTF_ERROR",
    "Switching %s in %s to Ethernet mode (%s)",
    "A member interface has timed out and is switching to Ethernet mode.",
    2,
    3,
    0,  // the member interface
};

const Message VORN_BACKPLANE_INTF_READY{
    "VORN_BACKPLANE_INTF_READY",
    "Switching %s in %s to backplane mode",
    "A member interface has successfully negotiated into backplane mode.",
    1,
    6,
    0,  // the member interface
};

namespace {

// The messages above are constant-initialised, so they are complete before
// any dynamic initialisation, this one included.
const bool registered = [] {
  registerMessage(VORN_BACKPLANE_INTF_MISMATCH);
  registerMessage(VORN_BACKPLANE_INTF_ERROR);
  registerMessage(VORN_BACKPLANE_INTF_READY);
  return true;
}();

}  // namespace

}  // namespace Syslog
