#include "lldp/SimWire.h"

#include "platform/framework/Assert.h"

#include <stdexcept>

namespace Lldp {

namespace {
// Frames due within this of the clock are due now: re-arming a timer for a
// due time adds and subtracts the clock, which may round by a unit in the
// last place.
constexpr Velto::Duration kDueSlack = 1e-9;
}  // namespace

// ---------------------------------------------------------------------------

SimWire::End SimWire::End::parse(std::string_view text) {
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) {
    throw std::invalid_argument("\"" + std::string(text) + "\" is not of the form switch:interface");
  }
  return End{std::string(text.substr(0, colon)), Kivo::IntfId(text.substr(colon + 1))};
}

std::string SimWire::End::stringValue() const { return switchName + ":" + intf.stringValue(); }

// ---------------------------------------------------------------------------

class SimWire::SimPort : public Transport::Port {
 public:
  SimPort(Velto::Ptr<SimWire> wire, End end, std::string deviceName, Transport::Receiver receiver)
      : Port(end.intf, std::move(deviceName)), wire_(std::move(wire)), end_(std::move(end)),
        receiver_(std::move(receiver)) {}
  ~SimPort() override {
    auto it = wire_->ports_.find(end_);
    if (it == wire_->ports_.end()) return;
    std::erase(it->second, this);
    if (it->second.empty()) wire_->ports_.erase(it);
  }
  void send(std::span<const uint8_t> frame) override { wire_->send(end_, frame); }
  // The link is up while a cable is plugged in at this end.
  bool linkUp() const override { return wire_->cables_.count(end_) != 0; }
  void receive(std::span<const uint8_t> frame) {
    if (receiver_) receiver_(frame);
  }

 private:
  Velto::Ptr<SimWire> wire_;
  End end_;
  Transport::Receiver receiver_;
};

class SimWire::SwitchTransport : public Transport {
 public:
  SwitchTransport(Velto::Ptr<SimWire> wire, std::string switchName)
      : wire_(std::move(wire)), switchName_(std::move(switchName)) {}

  Velto::Ptr<Port> open(const Kivo::IntfId& intf, const std::string& deviceName, Receiver receiver) override {
    End end{switchName_, intf};
    auto port = Velto::make<SimPort>(wire_, end, deviceName, std::move(receiver));
    wire_->ports_[end].push_back(port.get());
    return port;
  }

 private:
  Velto::Ptr<SimWire> wire_;
  std::string switchName_;
};

// A cable and the frames in flight on it, one queue per direction (frames
// from ends[d] travel in direction d). One latency per cable keeps each
// queue in arrival order, so one timer per direction suffices.
struct SimWire::Cable : Velto::RefCounted {
  struct InFlight {
    Velto::Duration due;
    std::vector<uint8_t> frame;
  };
  struct Direction {
    std::deque<InFlight> queue;
    Velto::Ptr<Oru::TimerTask> task;
    Zem::Reactor reactor;
  };

  std::array<End, 2> ends;
  CableSpec spec;
  bool unplugged = false;
  std::array<Direction, 2> dirs;
};

// ---------------------------------------------------------------------------

SimWire::SimWire(Velto::Ptr<Oru::TaskScheduler> clock, uint64_t seed) : clock_(std::move(clock)), rngState_(seed) {
  ZEM_ASSERT(clock_);
}

SimWire::~SimWire() {
  // Ports keep the wire alive, so none is open any more.
  for (auto& [end, cable] : cables_) cable->unplugged = true;
}

Velto::Ptr<Transport> SimWire::transportFor(const std::string& switchName) {
  return Velto::make<SwitchTransport>(Velto::Ptr<SimWire>(this), switchName);
}

void SimWire::connect(const End& a, const End& b, CableSpec spec) {
  if (a == b) throw std::invalid_argument("cannot cable " + a.stringValue() + " to itself");
  if (!(spec.latency >= 0)) throw std::invalid_argument(fmt::format("latency {} s is negative", spec.latency));
  if (!(spec.loss >= 0 && spec.loss <= 1)) throw std::invalid_argument(fmt::format("loss {} is outside 0..1", spec.loss));
  cut(a);
  cut(b);
  auto cable = Velto::make<Cable>();
  cable->ends = {a, b};
  cable->spec = spec;
  for (int d = 0; d < 2; ++d) {
    auto& dir = cable->dirs[d];
    dir.task = Velto::make<Oru::TimerTask>(clock_, 0, "simWire:" + cable->ends[d].stringValue());
    dir.reactor = dir.task->subscribe([this, raw = cable.get(), d](const Zem::Change&) { deliverDue(*raw, d); });
  }
  cables_[a] = cable;
  cables_[b] = cable;
}

void SimWire::cut(const End& end) {
  auto it = cables_.find(end);
  if (it == cables_.end()) return;
  Velto::Ptr<Cable> cable = it->second;
  cable->unplugged = true;
  for (auto& dir : cable->dirs) {
    counters_.dropped += dir.queue.size();
    dir.queue.clear();
    dir.task->stopTimerTask();
  }
  cables_.erase(cable->ends[0]);
  cables_.erase(cable->ends[1]);
}

Zem::Optional<SimWire::End> SimWire::peer(const End& end) const {
  auto it = cables_.find(end);
  if (it == cables_.end()) return Zem::none;
  return it->second->ends[0] == end ? it->second->ends[1] : it->second->ends[0];
}

bool SimWire::isOpen(const End& end) const { return ports_.count(end) != 0; }

void SimWire::send(const End& from, std::span<const uint8_t> frame) {
  ++counters_.sent;
  auto it = cables_.find(from);
  if (it == cables_.end()) {
    ++counters_.dropped;
    return;
  }
  Cable& cable = *it->second;
  if (cable.spec.loss > 0 && nextRandom() < cable.spec.loss) {
    ++counters_.lost;
    return;
  }
  auto& dir = cable.dirs[cable.ends[0] == from ? 0 : 1];
  dir.queue.push_back({clock_->now() + cable.spec.latency, std::vector<uint8_t>(frame.begin(), frame.end())});
  if (!dir.task->taskScheduled()) dir.task->scheduleTaskDelay(cable.spec.latency);
}

void SimWire::deliverDue(Cable& cableRef, int direction) {
  // A receiver may cut this cable or drop the last reference to the wire.
  Velto::Ptr<SimWire> self(this);
  Velto::Ptr<Cable> cable(&cableRef);
  auto& dir = cable->dirs[direction];
  const End to = cable->ends[1 - direction];
  while (!cable->unplugged && !dir.queue.empty() && dir.queue.front().due <= clock_->now() + kDueSlack) {
    auto frame = std::move(dir.queue.front().frame);
    dir.queue.pop_front();
    deliver(to, frame);
  }
  if (!cable->unplugged && !dir.queue.empty() && !dir.task->taskScheduled()) {
    dir.task->scheduleTaskDelay(dir.queue.front().due - clock_->now());
  }
}

void SimWire::deliver(const End& to, const std::vector<uint8_t>& frame) {
  auto it = ports_.find(to);
  if (it == ports_.end()) {
    ++counters_.dropped;
    return;
  }
  ++counters_.carried;
  if (pcap_) pcap_->record(clock_->now(), frame);
  // Every port open on the end hears the frame; a receiver may close ports.
  std::vector<Velto::Ptr<SimPort>> listeners(it->second.begin(), it->second.end());
  auto receive = [&] {
    for (const auto& port : listeners) port->receive(frame);
  };
  if (hook_) {
    hook_(to.switchName, receive);
  } else {
    receive();
  }
}

double SimWire::nextRandom() {
  // splitmix64: small, fast and the same sequence on every platform.
  uint64_t z = (rngState_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

}  // namespace Lldp
