#include "ControlAnswers.h"

#include "VornFabricLldp/VornFabricLldpAgent.h"
#include "platform/config/JsonConfig.h"
#include "platform/toggles/Toggles.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace VornDaemon {

using Json = nlohmann::ordered_json;

namespace {

const VornFabricLldp::AgentSm* rootOf(const SwitchView& view) {
  return view.agent && view.agent->rootSm() ? view.agent->rootSm().get() : nullptr;
}

Json optionalText(const std::string* s) { return s ? Json(*s) : Json(); }

Json memberIdJson(const Zem::Optional<Vorn::MemberId>& id) { return id ? Json(id->value()) : Json(); }

Json tlvJson(const Lldp::VornTlv& tlv) {
  Json flags = Json::array();
  if (tlv.lodestoreConnected()) flags.push_back("lodestoreConnected");
  if (tlv.singleLink()) flags.push_back("singleLink");
  const uint8_t unknown = tlv.flags & ~(Lldp::VornTlv::lodestoreConnectedFlag | Lldp::VornTlv::singleLinkFlag);
  if (unknown) flags.push_back(fmt::format("0x{:02x}", unknown));
  return Json{{"memberId", tlv.memberId.value()},
              {"role", Vorn::stringValue(tlv.role)},
              {"expectedPeer", memberIdJson(Vorn::optionalMemberId(tlv.expectedPeerId))},
              {"receivedPeer", memberIdJson(Vorn::optionalMemberId(tlv.receivedPeerId))},
              {"flags", std::move(flags)}};
}

// Every configured member interface with its channel, in configuration order.
std::vector<std::pair<const Vorn::ChannelPlan*, Kivo::IntfId>> configuredMembers(const SwitchView& view) {
  std::vector<std::pair<const Vorn::ChannelPlan*, Kivo::IntfId>> members;
  if (!view.channels) return members;
  for (const auto& ch : *view.channels) {
    for (const auto& m : ch.members) members.emplace_back(&ch, m.intf);
  }
  return members;
}

std::set<std::string> lldpPorts(const SwitchView& view) {
  std::set<std::string> ports;
  if (const auto* root = rootOf(view); root && root->status()) {
    for (const auto& intf : root->status()->portStatus().keys()) ports.insert(intf.stringValue());
  }
  return ports;
}

bool isMember(const SwitchView& view, std::string_view intf) {
  for (const auto& [ch, m] : configuredMembers(view)) {
    if (m.stringValue() == intf) return true;
  }
  return false;
}

bool isChannel(const SwitchView& view, std::string_view intf) {
  if (!view.channels) return false;
  return std::any_of(view.channels->begin(), view.channels->end(),
                     [&](const auto& ch) { return ch.intf.stringValue() == intf; });
}

void requireKnown(const SwitchView& view, std::string_view intf, bool channelsToo) {
  if (intf.empty() || isMember(view, intf) || lldpPorts(view).count(std::string(intf)) ||
      (channelsToo && isChannel(view, intf))) {
    return;
  }
  throw UnknownInterface(fmt::format("unknown interface {}", intf));
}

Json eventJson(const Events::Event& e) { return Json::parse(Events::toJson(e)); }

// The LLDP port statuses `intf` names (every one when empty), in name order.
std::vector<Velto::Ptr<Lldp::PortStatus>> portStatuses(const VornFabricLldp::AgentSm* root, std::string_view intf) {
  std::vector<Velto::Ptr<Lldp::PortStatus>> statuses;
  if (!root || !root->status()) return statuses;
  auto names = root->status()->portStatus().keys();
  std::sort(names.begin(), names.end());
  for (const auto& port : names) {
    if (!intf.empty() && port.stringValue() != intf) continue;
    if (auto ps = root->status()->portStatus(port)) statuses.push_back(std::move(ps));
  }
  return statuses;
}

}  // namespace

Json showLinks(const SwitchView& view, std::string_view intf) {
  requireKnown(view, intf, false);
  const auto* root = rootOf(view);
  Json links = Json::array();
  for (const auto& [ch, member] : configuredMembers(view)) {
    const std::string name = member.stringValue();
    if (!intf.empty() && name != intf) continue;
    Json link{{"channel", ch->intf.stringValue()}, {"intf", name}};
    Velto::Ptr<Vorn::BackplaneChannelMemberStatus::IntfStatus> st;
    if (root) {
      if (auto bc = root->backplaneChannelStatus()->bcMemberStatus(ch->intf)) st = bc->memberIntfStatus(member);
    }
    link["state"] = st ? Json(Vorn::stringValue(st->state())) : Json();
    link["fabricMode"] = st ? Json(st->fabricMode() ? "higig" : "ethernet") : Json();
    link["configuredPeer"] = memberIdJson(Vorn::optionalMemberId(ch->peerMemberId));
    Json heard;
    if (root) {
      if (auto ctx = root->ctxForMember()->ctx(member); ctx && ctx->rxInfo() && ctx->rxInfo()->tlv()) {
        heard = ctx->rxInfo()->tlv()->memberId.value();
      }
    }
    link["heardPeer"] = heard;
    link["membershipValid"] = st ? Json(st->membershipValid()) : Json();
    const Events::Event* verdict = view.history ? view.history->last(name, Events::Kind::membership) : nullptr;
    link["membership"] = verdict ? optionalText(verdict->field("to")) : Json();
    const Events::Event* last = view.history ? view.history->last(name, Events::Kind::linkState) : nullptr;
    link["reason"] = last ? optionalText(last->field("reason")) : Json();
    link["since"] = last ? Json(std::max(0.0, view.now - last->time)) : Json();
    Json counted;
    if (root && root->lldpHigigSm()) {
      if (auto sm = root->lldpHigigSm()->higigSmForMemberIntf(member)) {
        counted = Json{{"received", sm->higigPendingTlvReceived()}, {"needed", sm->higigConfirmedPktsMin()}};
      }
    }
    link["tlvsCounted"] = counted;
    links.push_back(std::move(link));
  }
  return links;
}

Json showNeighbors(const SwitchView& view, std::string_view intf) {
  requireKnown(view, intf, false);
  Json ports = Json::array();
  const auto* root = rootOf(view);
  const double schedulerNow = root && root->scheduler() ? root->scheduler()->now() : 0;
  for (const auto& ps : portStatuses(root, intf)) {
    Json systems = Json::array();
    auto indexes = ps->remoteSystem().keys();
    std::sort(indexes.begin(), indexes.end());
    for (int index : indexes) {
      auto rs = ps->remoteSystem(index);
      if (!rs) continue;
      const double left = std::max(0.0, rs->ttl() - (schedulerNow - rs->lastRefreshTime()));
      systems.push_back(Json{{"index", index},
                             {"chassisId", rs->chassisId().displayText()},
                             {"portId", rs->portId().displayText()},
                             {"systemName", rs->systemName()},
                             {"ttl", rs->ttl()},
                             {"ttlLeft", std::round(left * 10) / 10},
                             {"vornTlv", rs->vornTlv() ? tlvJson(*rs->vornTlv()) : Json()}});
    }
    ports.push_back(Json{{"intf", ps->intf().stringValue()},
                         {"tooManyNeighbors", ps->tooManyNeighbors()},
                         {"neighbors", std::move(systems)}});
  }
  return ports;
}

Json showLagGroups(const SwitchView& view) {
  Json channels = Json::array();
  if (!view.agent || !view.agent->vflBcLagGroupInfo()) return channels;
  const auto& info = *view.agent->vflBcLagGroupInfo();
  auto keys = info.bcLagGroupInfo().keys();
  std::sort(keys.begin(), keys.end());
  for (const auto& bcIntf : keys) {
    auto bc = info.bcLagGroupInfo(bcIntf);
    if (!bc) continue;
    Json groups = Json::object();
    auto names = bc->lagGroupToBcMemberMap().keys();
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
      Json members = Json::array();
      if (auto g = bc->lagGroupToBcMemberMap(name)) {
        for (const auto& m : g->memberIntf()) members.push_back(m.stringValue());
      }
      groups[name] = std::move(members);
    }
    auto text = [](const Kivo::IntfId& i) { return i.empty() ? Json() : Json(i.stringValue()); };
    channels.push_back(Json{{"channel", bcIntf.stringValue()},
                            {"groups", std::move(groups)},
                            {"localMismatch", bc->localMismatchExists()},
                            {"preferredMember", text(bc->preferredHigigMember())},
                            {"remoteMismatch", bc->remoteMismatchExists()},
                            {"remotePreferredMember", text(bc->remotePreferredHigigMember())}});
  }
  return channels;
}

Json showCounters(const SwitchView& view, std::string_view intf) {
  requireKnown(view, intf, false);
  Json ports = Json::array();
  for (const auto& ps : portStatuses(rootOf(view), intf)) {
    ports.push_back(Json{{"intf", ps->intf().stringValue()},
                         {"framesOut", ps->framesOut()},
                         {"framesIn", ps->framesIn()},
                         {"framesDiscarded", ps->framesDiscarded()},
                         {"framesInErrors", ps->framesInErrors()},
                         {"framesTagged", ps->framesTagged()},
                         {"tlvsDiscarded", ps->tlvsDiscarded()},
                         {"tlvsUnrecognized", ps->tlvsUnrecognized()},
                         {"ageouts", ps->ageouts()},
                         {"neighborsInserted", ps->remoteTablesInserts()},
                         {"neighborsDeleted", ps->remoteTablesDeletes()},
                         {"neighborsDropped", ps->remoteTablesDrops()},
                         {"socketDrops", ps->receiveOverruns()},
                         {"receiveErrors", ps->receiveErrors()},
                         {"transmitDrops", ps->transmitDrops()}});
  }
  return ports;
}

Json showToggles() {
  // Every toggle the agent reads, as the agent sees it now (files are read
  // once, so an edit shows after a restart, as it takes effect).
  static const struct {
    const char* name;
    bool defaultValue;
    const char* meaning;
  } kToggles[] = {
      {"VornMembershipVerification", true, "check the peer member ID heard against the configured one"},
      {"VornLagGroupMismatch", true, "detect LAG groups split over a backplane channel"},
      {"VornLldpLodestoreConnectTlv", true, "tell peers whether this switch reaches the state database"},
      {"VornFabricLldpLowTxHt", true, "the short transmit interval and hold time of backplane links"},
  };
  Json toggles = Json::array();
  for (const auto& t : kToggles) {
    toggles.push_back(Json{{"name", t.name},
                           {"file", "VornCore.json"},
                           {"value", Toggles::getToggleState(t.name, "VornCore.json", t.defaultValue)},
                           {"default", t.defaultValue},
                           {"meaning", t.meaning}});
  }
  return toggles;
}

Json history(const SwitchView& view, std::string_view intf) {
  requireKnown(view, intf, true);
  Json out = Json::array();
  if (!view.history) return out;
  const std::vector<std::string> names =
      intf.empty() ? view.history->interfaces() : std::vector<std::string>{std::string(intf)};
  for (const auto& name : names) {
    Json events = Json::array();
    for (const auto& e : view.history->of(name)) events.push_back(eventJson(e));
    out.push_back(Json{{"intf", name}, {"events", std::move(events)}});
  }
  return out;
}

Json lanes(const SwitchView& view) {
  Json out = Json::array();
  for (const auto& [ch, member] : configuredMembers(view)) {
    out.push_back(Json{{"switch", view.switchName}, {"channel", ch->intf.stringValue()}, {"intf", member.stringValue()}});
  }
  return out;
}

ControlSocket::Answer answerRequest(const SwitchView& view, std::string_view request) {
  auto refuse = [](const std::string& why) {
    return ControlSocket::Answer{Json{{"ok", false}, {"error", why}}.dump(-1, ' ', false, Json::error_handler_t::replace)};
  };
  // Parsed as operators' files are: a key given twice is refused rather
  // than one of its values guessed, and nothing deeper than a request can
  // need is built.
  Config::Json req;
  try {
    req = Config::parseText(std::string(request), "request");
  } catch (const Config::FieldError& e) {
    if (e.field() != "(document)") return refuse(fmt::format("{}: {}", e.field(), e.reason()));
  }
  if (!req.is_object()) return refuse("a request is one JSON object per line");
  auto text = [&req](const char* key) -> std::optional<std::string> {
    const auto it = req.find(key);
    if (it == req.end()) return std::string();
    if (!it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  const auto command = text("command");
  const auto what = text("what");
  const auto intf = text("intf");
  if (!command || !what || !intf) return refuse("\"command\", \"what\" and \"intf\" are strings");
  if (intf->size() > 64) return refuse("interface name longer than 64 bytes");

  Json answer{{"ok", true}, {"switch", view.switchName}, {"time", view.now}};
  try {
    if (*command == "show") {
      if (*what == "links") {
        answer["links"] = showLinks(view, *intf);
      } else if (*what == "neighbors") {
        answer["neighbors"] = showNeighbors(view, *intf);
      } else if (*what == "lag-groups") {
        answer["lagGroups"] = showLagGroups(view);
      } else if (*what == "counters") {
        answer["counters"] = showCounters(view, *intf);
      } else if (*what == "toggles") {
        answer["toggles"] = showToggles();
      } else {
        return refuse(fmt::format("nothing to show called \"{}\"", what->substr(0, 32)));
      }
    } else if (*command == "history") {
      answer["history"] = history(view, *intf);
    } else if (*command == "timeline") {
      answer["lanes"] = lanes(view);
      answer["history"] = history(view);
    } else if (*command == "watch") {
      return {answer.dump(), true};
    } else {
      return refuse(fmt::format("unknown command \"{}\"", command->substr(0, 32)));
    }
  } catch (const UnknownInterface& e) {
    return refuse(e.what());
  }
  return {answer.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

}  // namespace VornDaemon
