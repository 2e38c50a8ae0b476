#pragma once
// Interface names many tests share. A test binary compiles its files in
// batches, several to one translation unit, so a name two files would each
// define for themselves is defined once, here.

#include "platform/framework/Values.h"

namespace TestIntfs {

inline const Kivo::IntfId po1("Port-Channel1"), po10("Port-Channel10"), po20("Port-Channel20");
inline const Kivo::IntfId et1("Ethernet1"), et2("Ethernet2"), et3("Ethernet3"), et10("Ethernet10");

}  // namespace TestIntfs
