#pragma once
// Pairs the switch's interfaces with the kernel's network devices.
//
// One naming rule, in both directions (N and M are positive decimal numbers
// without leading zeros; kernel names are lower case):
//
//   kernel device  "et<N>"      <->  "Ethernet<N>"
//   kernel device  "et<N>_<M>"  <->  "Ethernet<N>/<M>"
//   kernel device  "po<N>"      <->  "Port-Channel<N>"
//
// Every other device name pairs with nothing. An override table, set by the
// host from its configuration, comes before the rule: it pairs a device
// (say "veth0" on a Linux host) with an interface ("Ethernet1"), and an
// override to the empty interface ID keeps a device out of the map.
//
// The map holds at most one kernel device per interface. When several devices
// claim the same interface, an override claim beats a claim by the rule, and
// among equal claims the lowest interface index wins; the others wait and
// the next in line takes over when the winner goes away.
//
// `Vorn::KniIntfMap` is kept in step as kernel devices appear, disappear and
// get renamed and when the override table changes. Writes keep the two
// collections consistent for readers of `kniIntfIdKeyPair`: a pair is added
// after its `intfIdToIntfKey` entry and removed after it.

#include "platform/framework/StateMachine.h"
#include "platform/records/KernelRecords.h"
#include "platform/records/VornRecords.h"

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace Vorn {

// A switch's override table (kernel device name -> interface), kept by its
// context (Oru::SwitchContext::intfNameOverrides). An entity, so that live
// mappers watch it like any other input and apply a new table at once.
class KniIntfOverrideTable : public Zem::Entity {
 public:
  using Overrides = std::map<std::string, Kivo::IntfId>;
  static inline const Zem::AttrInfo tableAttr{"overrides"};
  const Overrides& table() const { return table_; }
  void tableIs(Overrides table);

 private:
  Overrides table_;
};

class KniIntfMapperSm : public Zem::StateMachine {
 public:
  using Overrides = KniIntfOverrideTable::Overrides;

  KniIntfMapperSm(Velto::Ptr<const KernelNetInfo::Status> kniStatus, Velto::Ptr<KniIntfMap> kniIntfMap);

  const Velto::Ptr<const KernelNetInfo::Status>& kniStatus() const { return kniStatus_; }
  const Velto::Ptr<KniIntfMap>& kniIntfMap() const { return kniIntfMap_; }

  // The override table of the switch context active when the mapper was
  // made (an empty one of its own when none was).
  const Overrides& overrides() const { return overrides_->table(); }

  // The naming rule alone: the interface of a device name, empty for a name
  // outside the rule; and the device name of an interface, empty for an
  // interface outside the rule.
  static Kivo::IntfId ruleIntfId(std::string_view deviceName);
  static std::string ruleDeviceName(Kivo::IntfId intf);

 private:
  // What one kernel device asks to be paired with.
  struct Claim {
    Kivo::IntfId intf;
    bool byOverride = false;
    bool operator==(const Claim&) const = default;
  };
  // Claimants of one interface, best first: override claims, then the lower
  // interface index.
  using Claimants = std::set<std::pair<int, int>>;

  void handleInitialized();
  void handleKernelInterface(KernelNetInfo::InterfaceKey key);
  void handleOverrides();
  Zem::Optional<Claim> claimOf(const KernelNetInfo::Interface& intf);
  void maybeUpdatePair(Kivo::IntfId intf);

  Velto::Ptr<const KernelNetInfo::Status> kniStatus_;
  Velto::Ptr<KniIntfMap> kniIntfMap_;
  Velto::Ptr<const KniIntfOverrideTable> overrides_;
  std::unordered_map<KernelNetInfo::InterfaceKey, Claim> claimByKey_;
  std::map<Kivo::IntfId, Claimants> claimants_;
  Zem::Reactor kniStatusReactor_;
  Zem::Reactor overridesReactor_;
};

Velto::Ptr<KniIntfMapperSm> kniIntfMapperSmFactory(Velto::Ptr<const KernelNetInfo::Status> kniStatus,
                                                   Velto::Ptr<KniIntfMap> kniIntfMap);

}  // namespace Vorn
