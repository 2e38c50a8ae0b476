// Every record type registers itself by name when its header is part of the
// program; this unit makes sure the platform library always carries them all,
// so that the state database and the backup can make any record by name.
#include "platform/framework/Dir.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/KernelRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/records/VornFabricLldpCtxTypes.h"
#include "platform/records/VornRecords.h"

namespace Zem {
void registerPlatformRecords() {
  (void)Dir::typeInfoStatic();
}
}  // namespace Zem
