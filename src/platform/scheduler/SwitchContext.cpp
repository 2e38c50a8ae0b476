#include "platform/scheduler/SwitchContext.h"

#include "platform/kernel/InterfaceSource.h"
#include "platform/q7relay/Q7Relay.h"
#include "platform/toggles/Toggles.h"
#include "platform/vorn/KniIntfMapperSm.h"
// Only for the complete type the transport's handle needs; the platform
// never calls the engine.
#include "lldp/Transport.h"

namespace Oru {

SwitchContext::SwitchContext() = default;

SwitchContext::~SwitchContext() {
  if (isActive()) deactivateAll();
}

void SwitchContext::transportIs(Velto::Ptr<Lldp::Transport> transport) { transport_ = std::move(transport); }

void SwitchContext::interfaceSourceIs(Velto::Ptr<KernelNetInfo::InterfaceSource> source) {
  interfaceSource_ = std::move(source);
}

Toggles::Store& SwitchContext::toggles() {
  if (!toggles_) toggles_ = std::make_unique<Toggles::Store>();
  return *toggles_;
}

void SwitchContext::traceClockIs(TraceClock read, const void* context) {
  traceClock_ = nullptr;
  traceClockRead_ = read;
  traceClockContext_ = read != nullptr ? context : nullptr;
}

void SwitchContext::traceClockIs(std::function<double()> clock) {
  traceClock_ = std::move(clock);
  if (!traceClock_) {
    traceClockIs(nullptr, nullptr);
    return;
  }
  traceClockRead_ = [](const void* fn) { return (*static_cast<const std::function<double()>*>(fn))(); };
  traceClockContext_ = &traceClock_;
}

Vorn::KniIntfOverrideTable& SwitchContext::intfNameOverrides() {
  if (!intfNameOverrides_) intfNameOverrides_ = Velto::make<Vorn::KniIntfOverrideTable>();
  return *intfNameOverrides_;
}

Q7Relay::ZemUtils::ListenerHooks& SwitchContext::peerListener() {
  if (!peerListener_) peerListener_ = std::make_unique<Q7Relay::ZemUtils::ListenerHooks>();
  return *peerListener_;
}

}  // namespace Oru
