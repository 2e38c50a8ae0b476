#pragma once

// The system log messages of the VornFabricLldp agent.

#include "platform/log/Syslog.h"

namespace Syslog {

// Args: fabric interface, member interface, mismatch reason.
extern const Message VORN_BACKPLANE_INTF_MISMATCH;
// Args: member interface, fabric interface, reason.
extern const Message VORN_BACKPLANE_INTF_ERROR;
// Args: member interface, fabric interface.
extern const Message VORN_BACKPLANE_INTF_READY;

}  // namespace Syslog
