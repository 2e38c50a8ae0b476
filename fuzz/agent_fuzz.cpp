// Runs the whole agent of one member switch (member 1) in its agent host, on
// the simulated wire and the virtual clock, and drives it with a small
// program read from the input. Member 1 has one backplane channel,
// Port-Channel1, of one to four member interfaces (Ethernet1..4); the far end
// of every Ethernet cable is played by this harness, which sends whatever the
// program says. After every step it checks what must hold whatever arrives
// (see `Checker`). A broken rule stops the run with a message and abort(),
// which libFuzzer records as a crash with its input; so does an assertion of
// the agent itself.
//
// The program (every byte string is one; missing bytes read as 0):
//
//   byte 0: the switch. Bits 0-3 turn a toggle off: membership verification,
//   low hold time, the connection flag in the TLV, LAG group mismatch. Bits
//   4-5: member interfaces minus one. Bit 6: no peer member configured (else
//   member 2). Bit 7: the peer's ASICs start cold.
//   byte 1: what the local backup holds from an earlier run of the agent
//   (it then restarts), two bits per member interface, Ethernet1 lowest:
//   nothing, higigConfirmed, higigWaitSsr, or higigConfirmed with member 2's
//   last TLV still in the member context and in the peer-visible status.
//   Restarted links reach the deep negotiation states without the ten
//   seconds of TLVs a fresh negotiation takes.
//
//   Then steps, each an opcode byte and its operands. 0xFF is an expectation
//   (below); any other opcode is taken modulo 15:
//     0-4   frame P F..: the far end of Ethernet(P%4+1) sends frame F (8
//           bytes, `buildFrame`)
//     5     raw P L B..: sends L%128 bytes B; with bit 7 of L they follow an
//           LLDP Ethernet header from member 2's address
//     6     periodic P I F..: from now on the far end sends F every 100 ms,
//           300 ms or 1 s (I%4 = 1, 2, 3), or stops (0)
//     7, 8  wait 4*N ms           9  wait N*100 ms       10  wait N%128 s
//     11    cable P: cut the cable of Ethernet(P%4+1), or plug it back
//     12    the state database disconnects, or connects again
//     13    config C: C%4 = 0 peer member (2, 3, none, 1 by C/4%4), 1 LAG
//           group of member interface C/4%4 ("", "A", "B" by C/16%3), 2 the
//           member interface C/4%4 leaves or joins the channel, 3 the far
//           end of Ethernet(C/4%4+1) plays the configured peer (a good TLV
//           every 100 ms from then on) and the switch runs for
//           kPeerPlaySeconds with kPeerPlayFrames more frames allowed
//     14    asics M: member 1 or 2 (M%2) has its ASICs go cold, or warm
//   A program ends early once the wire has carried its frame budget (both
//   directions: 2000 frames on a switch built for the program, in the
//   replay, or VORN_AGENT_FUZZ_FRAMES), and waiting is capped at
//   kMaxVirtualSeconds per switch.
//
//   0xFF M S: with M below 0x80, expect member interface Ethernet(M%4+1) in
//   negotiation state S%8 (7: no negotiation). Checked only in the corpus
//   replay (ctest sets VORN_AGENT_FUZZ_REPLAY), so the seeds show how far
//   they drive the agent while the fuzzer mutates them freely. With M of
//   0x80 and above, a cut: the next wait stops after (M&0x7f)*256+S slices
//   of 100 ms.
//
// While fuzzing, one switch lives through many inputs (see `Lives`): in
// the fuzzing build a frame costs the agent 15 (sent) to 40 (received)
// microseconds, more when it makes remote systems come and go, and
// building and dropping a switch about 2.5 ms, so a switch built for every
// input spent most of the time building. Each input runs within a budget
// of 16 frames, and the switch carries what the inputs before it did: long
// lives reach the deep negotiation states and the timers of a minute that
// no single small input reaches. A life's steps are written down as one
// program (the transcript) that runs the same on a switch built afresh:
// that program reproduces a crash, the corpus replay runs each input on a
// switch of its own, and VORN_AGENT_FUZZ_FRESH=1 makes the fuzzer do the
// same. The replay runs every input twice and compares what the two runs
// logged and published: the same program gives the same run.

#include "fuzz/FuzzCheck.h"
#include "VornFabricLldp/VornFabricLldpAgent.h"
#include "lldp/Codec.h"
#include "lldp/SimWire.h"
#include "platform/host/Host.h"
#include "platform/kernel/InterfaceSource.h"
#include "platform/events/Events.h"
#include "platform/log/Syslog.h"
#include "platform/toggles/Toggles.h"
#include "platform/trace/Ringlog.h"
#include "platform/vorn/Group.h"
#include "platform/vorn/GroupRecords.h"
#include "platform/vorn/KniIntfMapperSm.h"
#include "platform/vorn/VornMemberFileMgrSm.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Kivo::IntfId;
using State = Vorn::HigigNegotiationState;

constexpr int kPorts = 4;
constexpr double kMaxVirtualSeconds = 600;
// Enough for a link alone on its switch to negotiate from nothing to
// confirmed: a TLV, membership, backplane mode after one interval, then
// the ten seconds of TLVs that confirm it (both directions on the wire),
// which inputs of 16 frames each hardly ever string together.
constexpr double kPeerPlaySeconds = 11;
constexpr uint64_t kPeerPlayFrames = 260;
constexpr uint64_t kFuzzingFrameBudget = 16;
constexpr uint64_t kReplayFrameBudget = 2000;
// The engine's transmit credit as configured by default.
constexpr uint64_t kTxCreditMax = 5;
// One plain event in this many is read back (see Switch).
constexpr uint64_t kEventReadBackEvery = 8;
const Vorn::MemberId kSelf(1);
const IntfId kChannel("Port-Channel1");
const std::string kSwitch = "sw1";
const std::string kFarSwitch = "far";

IntfId portIntf(int port) { return IntfId(fmt::format("Ethernet{}", port + 1)); }

// Whether writing the event as JSON escapes anything in it: a quote, a
// backslash, a control byte or a byte outside ASCII.
bool needsEscaping(const Events::Event& e) {
  const auto plain = [](const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
      const auto b = static_cast<unsigned char>(c);
      return b >= 0x20 && b < 0x7f && c != '"' && c != '\\';
    });
  };
  return !plain(e.intf) ||
         !std::all_of(e.fields.begin(), e.fields.end(), [&](const Events::Field& f) { return plain(f.key) && plain(f.value); });
}

// ---------------------------------------------------------------------------
// Reading the program

class Program {
 public:
  explicit Program(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool done() const { return at_ >= bytes_.size(); }
  uint8_t next() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::vector<uint8_t> take(size_t n) {
    std::vector<uint8_t> out;
    while (n-- > 0 && !done()) out.push_back(next());
    return out;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

// Mostly one of `common` (so that valid, plausible frames are the rule),
// sometimes the byte itself.
template <class T, size_t N>
T pick(uint8_t b, const std::array<T, N>& common, T raw) {
  return b < 0xe0 ? common[b % N] : raw;
}

// A frame of a sender that is mostly a plausible group member. Byte 0:
// bits 0-1 the chassis ID (a member's MAC address; the same with another
// last byte; a MAC outside the group's prefix; a locally assigned name),
// bits 2-3 the port ID (the facing interface's name, another name, locally
// assigned, a MAC address), bit 4 no Vorn TLV, bits 5-6 the hold time (300
// ms, 1200 ms, a shutdown, a TTL of byte 7 seconds and no exact hold time),
// bit 7 a System Name. Byte 1 the sender's member ID; bytes 2-6 the Vorn
// TLV's member ID, role, expected and received peer IDs and flags; byte 7 a
// spare value the kinds above use.
std::vector<uint8_t> buildFrame(int port, const std::vector<uint8_t>& f) {
  auto at = [&](size_t i) -> uint8_t { return i < f.size() ? f[i] : 0; };
  const uint8_t kind = at(0), spare = at(7);
  const Vorn::MemberId sender = pick<Vorn::MemberId>(at(1), std::array<Vorn::MemberId, 4>{2, 2, 3, 1}, at(1));
  Lldp::Codec::Lldpdu pdu;
  auto mac = Vorn::memberMacAddr(sender).bytes();
  switch (kind & 3) {
    case 0: break;
    case 1: mac[5] = spare; break;
    case 2: mac = {0x02, 0x00, 0x00, 0x00, 0x00, sender.value()}; break;
    case 3:
      pdu.chassisIdSubtype = Lldp::ChassisIdSubtype::locallyAssigned;
      pdu.chassisId = Lldp::ChassisId(fmt::format("member{}", sender.value()));
      break;
  }
  if ((kind & 3) != 3) {
    pdu.chassisId = Lldp::ChassisId(std::string_view(reinterpret_cast<const char*>(mac.data()), mac.size()));
  }
  pdu.src = Kivo::EthAddr(mac);
  switch ((kind >> 2) & 3) {
    case 0: pdu.portId = Lldp::PortId(portIntf(port).stringValue()); break;
    case 1: pdu.portId = Lldp::PortId(fmt::format("Ethernet{}", spare % 8 + 1)); break;
    case 2:
      pdu.portIdSubtype = Lldp::PortIdSubtype::locallyAssigned;
      pdu.portId = Lldp::PortId(fmt::format("port{}", spare));
      break;
    case 3:
      pdu.portIdSubtype = Lldp::PortIdSubtype::macAddress;
      pdu.portId = Lldp::PortId(std::string_view(reinterpret_cast<const char*>(mac.data()), mac.size()));
      break;
  }
  switch ((kind >> 5) & 3) {
    case 0: pdu.ttl = Lldp::Codec::ttlForHoldTimeMs(300), pdu.holdTimeMs = 300u; break;
    case 1: pdu.ttl = Lldp::Codec::ttlForHoldTimeMs(1200), pdu.holdTimeMs = 1200u; break;
    case 2: pdu.ttl = 0; break;
    case 3: pdu.ttl = spare; break;
  }
  if (!(kind & 0x10) && !pdu.isShutdown()) {
    Lldp::VornTlv tlv;
    tlv.memberId = pick<Vorn::MemberId>(at(2), std::array<Vorn::MemberId, 3>{sender, sender, 3}, at(2));
    tlv.role = pick<Vorn::Role>(at(3), std::array<Vorn::Role, 3>{Vorn::Role::member, Vorn::Role::member,
                                                                   Vorn::Role::candidate},
                                static_cast<Vorn::Role>(at(3)));
    tlv.expectedPeerId = pick<Vorn::MemberId>(at(4), std::array<Vorn::MemberId, 4>{1, 1, 0, 2}, at(4));
    tlv.receivedPeerId = pick<Vorn::MemberId>(at(5), std::array<Vorn::MemberId, 4>{1, 1, 0, 3}, at(5));
    tlv.flags = at(6) < 0xe0 ? at(6) % 4 : at(6);
    pdu.vornTlv = tlv;
  }
  if (kind & 0x80) pdu.systemName = fmt::format("member-{}", sender.value());
  return Lldp::Codec::encode(pdu);
}

std::vector<uint8_t> rawFrame(const std::vector<uint8_t>& bytes, bool withHeader) {
  if (!withHeader) return bytes;
  std::vector<uint8_t> frame(Lldp::Codec::nearestBridgeAddr.begin(), Lldp::Codec::nearestBridgeAddr.end());
  const auto src = Vorn::memberMacAddr(Vorn::MemberId(2)).bytes();
  frame.insert(frame.end(), src.begin(), src.end());
  frame.push_back(Lldp::Codec::lldpEtherType >> 8);
  frame.push_back(Lldp::Codec::lldpEtherType & 0xff);
  frame.insert(frame.end(), bytes.begin(), bytes.end());
  return frame;
}

// ---------------------------------------------------------------------------
// The process-wide surroundings: toggle files for every combination and a
// flash directory, made once, in memory where the machine allows.

struct Surroundings {
  fs::path dir;
  // Run by the corpus replay rather than by libFuzzer.
  bool replay = false;
  // While fuzzing, one switch lives through many inputs (see `Lives`),
  // unless VORN_AGENT_FUZZ_FRESH asks for one per input.
  bool persistent = false;
  // Frames the wire may carry: per input while fuzzing, per program else.
  uint64_t frameBudget = kReplayFrameBudget;
  std::string transcript;
  bool tracing = false;
  std::unique_ptr<Ringlog::File> trace;

  Surroundings() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    if (!(tmp && *tmp) && access("/dev/shm", W_OK | X_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/vorn-agent-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) FuzzCheck::broken("cannot make a work directory", pattern);
    dir = pattern;
    const std::array<const char*, 4> names{"VornMembershipVerification", "VornFabricLldpLowTxHt",
                                           "VornLldpLodestoreConnectTlv", "VornLagGroupMismatch"};
    for (unsigned off = 0; off < 16; ++off) {
      fs::create_directories(toggleDir(off));
      std::string json = "{";
      for (unsigned i = 0; i < names.size(); ++i) {
        json += fmt::format("{}\"{}\": {}", i ? ", " : "", names[i], (off >> i) & 1 ? "false" : "true");
      }
      std::ofstream(toggleDir(off) / "VornCore.json") << json << "}\n";
    }
    fs::create_directories(dir / "flash");
    replay = std::getenv("VORN_AGENT_FUZZ_REPLAY") != nullptr;
    persistent = !replay && std::getenv("VORN_AGENT_FUZZ_FRESH") == nullptr;
    if (persistent) frameBudget = kFuzzingFrameBudget;
    const char* transcriptPath = std::getenv("VORN_AGENT_FUZZ_TRANSCRIPT");
    transcript = transcriptPath && *transcriptPath ? transcriptPath : (dir / "transcript").string();
    if (const char* frames = std::getenv("VORN_AGENT_FUZZ_FRAMES")) frameBudget = std::strtoull(frames, nullptr, 10);
    // Tracing formats every statement; it is off unless asked for (to read
    // the trace of a crash: VORN_AGENT_FUZZ_TRACE=1, the file goes where
    // RINGLOGDIR or RLFILE say).
    tracing = std::getenv("VORN_AGENT_FUZZ_TRACE") != nullptr;
    if (tracing) {
      trace = Ringlog::File::open(Ringlog::defaultFileName());
    } else {
      // The agent opens the process's trace file on its first start unless
      // one is current; one in the work directory is made current only
      // while an agent starts.
      trace = Ringlog::File::open((dir / "trace.rl").string());
    }
  }
  ~Surroundings() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path toggleDir(unsigned off) const { return dir / fmt::format("toggles{}", off); }
};

Surroundings& surroundings() {
  static Surroundings s;
  return s;
}

// ---------------------------------------------------------------------------
// One switch and the far ends of its cables

struct Setup {
  unsigned togglesOff = 0;
  int members = 1;
  bool peerConfigured = true;
  bool peerAsicsCold = false;
  // Two bits per member interface: what the local backup holds.
  uint8_t restored = 0;

  bool verification() const { return !(togglesOff & 1); }
  bool connectionFlag() const { return !(togglesOff & 4); }
  bool lagGroups() const { return !(togglesOff & 8); }
};

class Switch {
 public:
  explicit Switch(const Setup& setup) : setup_(setup) {
    auto& env = surroundings();
    // Every timer made from here on belongs to this switch.
    context.activate();
    context.toggles().directoryIs(env.toggleDir(setup.togglesOff).string());
    context.flashRootIs((env.dir / "flash").string());
    context.identityIs({Vorn::Role::member, kSelf});
    context.schedulerIs(clock.get());
    context.syslogClockIs([c = clock.get()] { return c->now(); });
    context.traceClockIs([c = clock.get()] { return c->now(); });
    context.syslogSinkIs(&log);
    // Events are built as the daemon builds them for a watcher, and must
    // read back as the watcher and the timeline tool read them. Reading back
    // every one cost a fifth of each execution, most of it on events of the
    // same shape; a sample of the plain ones and every one carrying a byte
    // that JSON escapes keeps the check where it can find something.
    context.eventSinkIs(&events);
    events.subscribe([this](const Events::Event& e) {
      if (eventsSeen++ % kEventReadBackEvery != 0 && !needsEscaping(e)) return;
      const std::string line = Events::toJson(e);
      std::string error;
      const auto back = Events::fromJson(line, &error);
      CHECK(back, fmt::format("an event does not read back ({}): {}", error, line));
      CHECK(back->kind == e.kind && back->intf == e.intf && back->fields.size() == e.fields.size(), line);
    });

    kernel = Velto::make<KernelNetInfo::SimInterfaceSource>();
    for (int p = 0; p < kPorts; ++p) {
      kernel->addInterface(Vorn::KniIntfMapperSm::ruleDeviceName(portIntf(p)),
                           Kivo::EthAddr({0x52, 0x54, 0x00, 0x00, 0x01, static_cast<uint8_t>(p + 1)}));
    }
    context.interfaceSourceIs(kernel);
    wire = Velto::make<Lldp::SimWire>(clock, 1);
    wire->deliveryHookIs([this](const std::string& to, const std::function<void()>& deliver) {
      if (to == kSwitch) ++deliveredToSwitch;
      deliver();
    });
    context.transportIs(wire->transportFor(kSwitch));
    auto far = wire->transportFor(kFarSwitch);
    for (int p = 0; p < kPorts; ++p) {
      farPorts[p] = far->open(portIntf(p), fmt::format("far{}", p),
                              [this, p](std::span<const uint8_t> frame) { heard.push_back({p, {frame.begin(), frame.end()}}); });
      plug(p);
    }

    Vorn::ChannelPlan channel{kChannel, setup.peerConfigured ? Vorn::MemberId(2) : Vorn::MemberId(), {}};
    for (int p = 0; p < setup.members; ++p) channel.members.push_back({portIntf(p), ""});
    plan = {channel};
    warm = {{kSelf, true}, {Vorn::MemberId(2), !setup.peerAsicsCold}};
    db = Velto::make<Lodestore::StateDatabase>(clock);
    Vorn::GroupRecords::publishDirs(*db);
    Vorn::GroupRecords::writeMemberConfig(*db, kSelf, plan);
    Vorn::GroupRecords::writeAsicsWarm(*db, warm);
    writeLagStatus();
    db->connectedIs(true);
    restoreBackup();

    // Without tracing the file takes only the agent's start.
    context.traceFileIs(env.trace.get());
    agent = Velto::make<VornFabricLldp::Agent>(kSelf.stringValue());
    host = std::make_unique<AgentHost::Host>(clock, db);
    host->start(agent);
    if (!env.tracing) context.traceFileIs(nullptr);
    clock->runReady();
  }

  ~Switch() {
    for (auto& p : periodic) p = Periodic();
    agent = nullptr;
    host.reset();
    farPorts = {};
    clock->postedDelAll();
    wire->deliveryHookIs(nullptr);
  }
  Switch(const Switch&) = delete;
  Switch& operator=(const Switch&) = delete;

  const Setup& setup() const { return setup_; }
  const Velto::Ptr<VornFabricLldp::AgentSm>& root() const { return agent->rootSm(); }

  void send(int port, const std::vector<uint8_t>& frame) { farPorts[port]->send(frame); }

  // The configured peer's frame as it negotiates (member 2 when none is
  // configured, connected to its state database), every 100 ms from now
  // on, and frames enough to wait it out.
  void playPeer(int port) {
    std::vector<uint8_t> f(8, 0);  // byte 1 picks the sender among 2, 2, 3, 1
    f[6] = 1;                      // connected to its state database
    if (plan[0].peerMemberId == Vorn::MemberId(3)) f[1] = 2;
    if (plan[0].peerMemberId == Vorn::MemberId(1)) f[1] = 3;
    sendEvery(port, 0.1, buildFrame(port, f));
    frameLimit += kPeerPlayFrames;
  }

  void sendEvery(int port, Velto::Duration interval, std::vector<uint8_t> frame) {
    auto& p = periodic[port];
    p = Periodic();
    if (interval <= 0) return;
    p.frame = std::move(frame);
    p.task = Velto::make<Oru::TimerTask>(clock, 0, fmt::format("far:{}", port));
    p.reactor = p.task->subscribe([this, port, interval](const Zem::Change&) {
      send(port, periodic[port].frame);
      periodic[port].task->scheduleTaskDelay(interval);
    });
    p.task->scheduleTaskDelay(0);
  }

  // False once the frame budget is spent: the program ends there.
  // Waits in slices of 100 ms; `slices` counts those run. A wait stops
  // early at the frame limit, or after `slicesOfNextWait` slices when a
  // cut step asked for that.
  bool wait(Velto::Duration seconds, int& slices) {
    seconds = std::min(seconds, kMaxVirtualSeconds - waited_);
    waited_ += std::max(seconds, 0.0);
    const Velto::Duration until = clock->now() + seconds;
    const int most = std::exchange(slicesOfNextWait, -1);
    for (slices = 0; clock->now() < until && slices != most; ++slices) {
      if (!withinBudget()) return false;
      clock->runUntil(std::min(until, clock->now() + 0.1));
    }
    return withinBudget();
  }
  bool withinBudget() const { return wire->counters().sent < frameLimit; }
  double waited() const { return waited_; }

  bool plugged(int port) const { return wire->peer(end(port)).hasValue(); }
  void toggleCable(int port) {
    if (plugged(port)) {
      wire->cut(end(port));
    } else {
      plug(port);
    }
    writeLagStatus();
  }

  void toggleConnection() { db->connectedIs(!db->connected()); }

  void configure(uint8_t c) {
    auto& ch = plan[0];
    const int member = (c / 4) % 4;
    switch (c % 4) {
      case 0: ch.peerMemberId = std::array<Vorn::MemberId, 4>{2, 3, 0, 1}[(c / 4) % 4]; break;
      case 1:
        if (auto* m = findMember(portIntf(member))) m->lagGroup = std::array<const char*, 3>{"", "A", "B"}[(c / 16) % 3];
        break;
      case 2:
        if (findMember(portIntf(member))) {
          std::erase_if(ch.members, [&](const Vorn::MemberIntfPlan& m) { return m.intf == portIntf(member); });
        } else {
          ch.members.push_back({portIntf(member), ""});
        }
        break;
      default: return;
    }
    Vorn::GroupRecords::writeMemberConfig(*db, kSelf, plan);
    writeLagStatus();
  }

  void toggleAsics(uint8_t m) {
    const Vorn::MemberId member(m % 2 ? 2 : 1);
    warm[member] = !warm[member];
    Vorn::GroupRecords::writeAsicsWarm(*db, warm);
  }

  // Declared first: it outlives everything made while it was active.
  Oru::SwitchContext context;
  Velto::Ptr<Oru::VirtualScheduler> clock = Velto::make<Oru::VirtualScheduler>();
  Velto::Ptr<KernelNetInfo::SimInterfaceSource> kernel;
  Velto::Ptr<Lldp::SimWire> wire;
  Velto::Ptr<Lodestore::StateDatabase> db;
  Syslog::MemorySink log;
  Events::Recorder events{kSwitch};
  uint64_t eventsSeen = 0;
  std::unique_ptr<AgentHost::Host> host;
  Velto::Ptr<VornFabricLldp::Agent> agent;
  std::array<Velto::Ptr<Lldp::Transport::Port>, kPorts> farPorts;
  // Frames the far ends heard since the last check.
  std::vector<std::pair<int, std::vector<uint8_t>>> heard;
  // Frames the wire delivered to the switch's open ports.
  uint64_t deliveredToSwitch = 0;
  // The program stops once the wire has carried this many frames.
  uint64_t frameLimit = surroundings().frameBudget;
  // Set by a cut step: the next wait stops after this many slices.
  int slicesOfNextWait = -1;

 private:
  struct Periodic {
    std::vector<uint8_t> frame;
    Velto::Ptr<Oru::TimerTask> task;
    Zem::Reactor reactor;
  };

  // What an earlier run of the agent left in the local backup: its copy of
  // the member configuration, negotiation states, and the peer's last TLV
  // in the member context and in the peer-visible LLDP status.
  void restoreBackup() {
    if (!setup_.restored) return;
    auto config = Velto::dynamicPtrCast<Vorn::MemberConfig>(
        db->createEntityAt(fmt::format("/backup/vorn/memberConfig/{}", kSelf.value()), "Vorn::LocalMemberConfig"));
    CHECK(config, "the backup member configuration can be made");
    for (const auto& ch : plan) {
      auto bc = config->bcConfigIs(ch.intf);
      bc->peerMemberIdIs(Vorn::optionalMemberId(ch.peerMemberId));
      for (const auto& m : ch.members) bc->memberIntfIs(m.intf)->lagGroupNameIs(m.lagGroup);
    }
    auto bcStatus = Velto::dynamicPtrCast<Vorn::BackplaneChannelStatus>(
        db->createEntityAt(fmt::format("/backup/vorn/bcStatus/{}", kSelf.value()), "Vorn::BackplaneChannelStatus"));
    auto ctxs = Velto::dynamicPtrCast<VornFabricLldp::CtxForMember>(
        db->createEntityAt("/backup/vorn/lldp/context", "VornFabricLldp::CtxForMember"));
    auto mirror = Velto::dynamicPtrCast<Vorn::Lldp::Status>(
        db->createEntityAt(fmt::format("/backup/vorn/lldp/status/{}", kSelf.value()), "Vorn::Lldp::LocalStatus"));
    CHECK(bcStatus && ctxs && mirror, "the backup records can be made");
    const Lldp::VornTlv tlv{Vorn::MemberId(2), Vorn::Role::member, kSelf, kSelf, 1};
    const auto mac = Vorn::memberMacAddr(Vorn::MemberId(2)).bytes();
    for (int p = 0; p < kPorts; ++p) {
      const unsigned code = (setup_.restored >> (2 * p)) & 3;
      if (code == 0) continue;
      auto st = bcStatus->bcMemberStatusIs(kChannel)->memberIntfStatusIs(portIntf(p));
      st->stateIs(code == 2 ? State::higigWaitSsr : State::higigConfirmed);
      st->fabricModeIs(true);
      st->membershipValidIs(true);
      if (code != 3) continue;
      auto ctx = ctxs->ctxIs(kChannel, portIntf(p));
      ctx->peerMemberIdIs(Vorn::MemberId(2));
      auto rx = ctx->rxInfoIs(1);
      rx->tlvIs(tlv);
      rx->lastRefreshTimeIs(0.0);
      st->tlvReceivedIs(true);
      const Vorn::Lldp::RemoteSystemMsap msap{
          Lldp::ChassisIdSubtype::macAddress,
          Lldp::ChassisId(std::string_view(reinterpret_cast<const char*>(mac.data()), mac.size())),
          Lldp::PortIdSubtype::interfaceName, Lldp::PortId(portIntf(p).stringValue())};
      auto rs = mirror->portStatusIs(portIntf(p))->remoteSystemIs(1, msap);
      rs->ttlIs(1);
      rs->vornTlvRxIs(tlv);
    }
  }

  static Lldp::SimWire::End end(int port) { return {kSwitch, portIntf(port)}; }
  void plug(int port) { wire->connect(end(port), {kFarSwitch, portIntf(port)}, {0.0, 0.0}); }
  Vorn::MemberIntfPlan* findMember(const IntfId& intf) {
    for (auto& m : plan[0].members) {
      if (m.intf == intf) return &m;
    }
    return nullptr;
  }
  // A member interface's link is up while its cable is plugged in.
  void writeLagStatus() {
    Vorn::GroupRecords::writeLagStatus(*db, plan, [this](const IntfId& intf) {
      for (int p = 0; p < kPorts; ++p) {
        if (portIntf(p) == intf) return plugged(p);
      }
      return false;
    });
  }

  Setup setup_;
  std::vector<Vorn::ChannelPlan> plan;
  std::map<Vorn::MemberId, bool> warm;
  std::array<Periodic, kPorts> periodic;
  double waited_ = 0;
};

// ---------------------------------------------------------------------------
// What must hold after every step

// A remote system that member context mapping may choose: a group member's
// MAC address as chassis ID, an interface name as port ID, a Vorn TLV.
bool plausibleMember(const Lldp::RemoteSystem& rs) {
  const auto& chassis = rs.chassisId().bytes();
  const auto prefix = Vorn::memberMacAddr(Vorn::MemberId(1)).bytes();
  return rs.chassisIdSubtype() == Lldp::ChassisIdSubtype::macAddress && chassis.size() == 6 &&
         rs.portIdSubtype() == Lldp::PortIdSubtype::interfaceName &&
         std::equal(prefix.begin(), prefix.begin() + 4, reinterpret_cast<const uint8_t*>(chassis.data())) &&
         rs.vornTlv().hasValue();
}

template <class C>
auto sortedKeys(const C& c) {
  auto keys = c.keys();
  std::sort(keys.begin(), keys.end());
  return keys;
}

Zem::Optional<Lldp::VornTlv> mirrored(const Zem::Optional<Lldp::VornTlv>& t) {
  if (!t) return Zem::none;
  return Lldp::VornTlv{t->memberId, t->role, t->expectedPeerId, t->receivedPeerId, 0}
      .lodestoreConnectedIs(t->lodestoreConnected())
      .singleLinkIs(t->singleLink());
}

class Checker {
 public:
  explicit Checker(Switch& sw) : sw_(sw) {}

  void check() {
    const auto& root = sw_.root();
    CHECK(root, "a member agent builds its root state machine at start");
    checkPorts(*root);
    checkMirror(*root);
    checkSelection(*root);
    checkContexts(*root);
    checkNegotiation(*root);
    checkTransmitted(*root);
    checkFramesOnTheWire(*root);
    checkCounters(*root);
    checkLagGroups(*root);
    checkConnection(*root);
    checkLog();
    checkLinkHistory(*root);
    checkedAt_ = sw_.clock->now();
  }

  // A digest of what the agent published, for the comparison of two runs.
  std::string snapshot() const {
    const auto& root = sw_.root();
    std::string out = fmt::format("t={:.6f}", sw_.clock->now());
    for (const auto& intf : sortedKeys(root->backplaneChannelStatus()->bcMemberStatus())) {
      for (const auto& [m, st] : root->backplaneChannelStatus()->bcMemberStatus(intf)->memberIntfStatus()) {
        out += fmt::format(" {}:{}", m, static_cast<int>(st->state()));
      }
    }
    for (const auto& intf : sortedKeys(root->localSystem()->localPort())) {
      out += fmt::format(" {}>{}", intf, root->localSystem()->localPort(intf)->vornTlvTx());
    }
    for (const auto& intf : sortedKeys(root->status()->portStatus())) {
      const auto ps = root->status()->portStatus(intf);
      out += fmt::format(" {}#{}/{}/{}/{}", intf, ps->framesIn(), ps->framesOut(), ps->framesDiscarded(),
                         ps->remoteSystem().size());
    }
    return out;
  }

 private:
  // Every configured member interface (each has a kernel interface) is an
  // LLDP port, and nothing else is.
  void checkPorts(const VornFabricLldp::AgentSm& root) {
    std::set<IntfId> configured;
    for (const auto& [bc, ch] : root.memberConfig()->bcConfig()) {
      for (const auto& m : ch->memberIntf().keys()) configured.insert(m);
    }
    auto keys = [](const auto& collection) {
      const auto k = collection.keys();
      return std::set<IntfId>(k.begin(), k.end());
    };
    CHECK(keys(root.config()->portConfig()) == configured, "port configurations");
    CHECK(keys(root.localSystem()->localPort()) == configured, "local ports");
    CHECK(keys(root.status()->portStatus()) == configured, "port statuses");
  }

  // The peer-visible LLDP status is exactly what the engine holds.
  void checkMirror(const VornFabricLldp::AgentSm& root) {
    const auto& local = *root.status();
    const auto& mirror = *root.vornLldpStatus();
    CHECK(mirror.portStatus().size() == local.portStatus().size(),
          fmt::format("{} mirrored ports, {} engine ports", mirror.portStatus().size(), local.portStatus().size()));
    for (const auto& [intf, ps] : local.portStatus()) {
      const auto mps = mirror.portStatus(intf);
      CHECK(mps, fmt::format("{}", intf));
      CHECK(mps->remoteSystem().size() == ps->remoteSystem().size(), fmt::format("{}", intf));
      for (const auto& [index, rs] : ps->remoteSystem()) {
        const auto mrs = mps->remoteSystem(index);
        const auto what = [i = intf, n = index] { return fmt::format("{} remote system {}", i, n); };
        CHECK(mrs, what());
        const Vorn::Lldp::RemoteSystemMsap msap{rs->chassisIdSubtype(), rs->chassisId(), rs->portIdSubtype(),
                                                rs->portId()};
        CHECK(mrs->msap() == msap, what());
        CHECK(mrs->ttl() == rs->ttl(), what());
        CHECK(mrs->vornTlvRx() == mirrored(rs->vornTlv()), what());
      }
    }
  }

  // Each port's selection is one of its plausible remote systems, refreshed
  // no earlier than any other; a port with none has no selection.
  void checkSelection(const VornFabricLldp::AgentSm& root) {
    const auto& selected = *root.lldpSelectedRsForMember();
    for (const auto& intf : selected.remoteSystem().keys()) {
      CHECK(root.status()->portStatus(intf), fmt::format("selection on {}, which has no port status", intf));
    }
    for (const auto& [intf, ps] : root.status()->portStatus()) {
      Velto::Duration newest = -1;
      for (const auto& [index, rs] : ps->remoteSystem()) {
        if (plausibleMember(*rs)) newest = std::max(newest, rs->lastRefreshTime());
      }
      const auto sel = selected.remoteSystem(intf);
      const auto what = [i = intf] { return fmt::format("{}", i); };
      if (newest < 0) {
        CHECK(!sel, what() + ": selection without a plausible remote system");
        continue;
      }
      CHECK(sel, what() + ": plausible remote system not selected");
      CHECK(ps->remoteSystem(sel->index()).get() == sel.get(), what() + ": selection is not the engine's remote system");
      CHECK(plausibleMember(*sel), what());
      CHECK(sel->lastRefreshTime() == newest,
            fmt::format("{}: selected refreshed at {}, another at {}", intf, sel->lastRefreshTime(), newest));
    }
  }

  // Every configured member interface has its context; each context holds
  // what its selection says (stale receive information may stay only while
  // the start-up hold runs).
  void checkContexts(const VornFabricLldp::AgentSm& root) {
    const auto& ctxs = *root.ctxForMember();
    const auto& config = *root.memberConfig();
    size_t configured = 0;
    for (const auto& [bc, ch] : config.bcConfig()) {
      const auto set = ctxs.intfMap(bc);
      CHECK(set, fmt::format("{}", bc));
      CHECK(set->member().size() == ch->memberIntf().size(), fmt::format("{}", bc));
      for (const auto& [m, mc] : ch->memberIntf()) {
        ++configured;
        const auto ctx = ctxs.ctx(m);
        CHECK(ctx && ctx->bcIntf() == bc && set->memberHas(m), fmt::format("{} of {}", m, bc));
        CHECK(ctx->peerMemberId() == ch->peerMemberId(), fmt::format("{}", m));
      }
    }
    CHECK(ctxs.ctx().size() == configured, fmt::format("{} contexts, {} configured", ctxs.ctx().size(), configured));
    CHECK(ctxs.intfMap().size() == config.bcConfig().size());
    const auto& mapper = root.lldpCtxMapperSm();
    const bool holding = mapper && mapper->clearStaleEntriesTask() && mapper->clearStaleEntriesTask()->taskScheduled();
    for (const auto& [m, ctx] : ctxs.ctx()) {
      const auto rs = root.lldpSelectedRsForMember()->remoteSystem(m);
      const auto& rx = ctx->rxInfo();
      const auto what = [i = m] { return fmt::format("{}", i); };
      if (rs && rs->vornTlv()) {
        CHECK(rx && rx->index() == rs->index(), what());
        CHECK(rx->tlv() == rs->vornTlv(), what());
        CHECK(rx->lastRefreshTime() == Zem::Optional<Velto::Duration>(rs->lastRefreshTime()), what());
      } else if (!holding) {
        CHECK(!rx, what() + ": receive information without a selected TLV after the hold");
      }
    }
  }

  // One negotiation per configured member interface, in one of the seven
  // states, publishing the mode and flags that state implies, with the
  // timer armed that takes it out of a waiting state.
  void checkNegotiation(const VornFabricLldp::AgentSm& root) {
    const auto& bcStatus = *root.backplaneChannelStatus();
    const auto& config = *root.memberConfig();
    const auto& manager = root.lldpHigigSm();
    CHECK(manager);
    CHECK(bcStatus.bcMemberStatus().size() == config.bcConfig().size());
    size_t configured = 0;
    for (const auto& [bc, ch] : config.bcConfig()) {
      const auto status = bcStatus.bcMemberStatus(bc);
      CHECK(status, fmt::format("{}", bc));
      CHECK(status->memberIntfStatus().size() == ch->memberIntf().size(), fmt::format("{}", bc));
      for (const auto& [m, mc] : ch->memberIntf()) {
        ++configured;
        const auto st = status->memberIntfStatus(m);
        const auto what = [i = m] { return fmt::format("{}", i); };
        CHECK(st, what());
        const auto s = static_cast<uint8_t>(st->state());
        CHECK(s <= static_cast<uint8_t>(State::higigWaitAsicsWarm), fmt::format("{} in state {}", m, s));
        CHECK(st->fabricMode() == (s >= static_cast<uint8_t>(State::higigPending)),
              fmt::format("{} in {} with fabricMode {}", m, Vorn::stringValue(st->state()), st->fabricMode()));
        const bool valid = !sw_.setup().verification() || s > static_cast<uint8_t>(State::higigStarted) ||
                           st->state() == State::higigStarted;
        CHECK(st->membershipValid() == valid, fmt::format("{} in {}", m, Vorn::stringValue(st->state())));
        const auto sm = manager->higigSmForMemberIntf(m);
        CHECK(sm && sm->state() == st->state(), what());
        const auto ctx = root.ctxForMember()->ctx(m);
        if (!ctx->rxInfoIncomplete()) {
          CHECK(st->tlvReceived() == static_cast<bool>(ctx->rxInfo()), what());
        }
        if (!ctx->rxInfo()) {
          CHECK(!st->peerConnectedToLodestore() && !st->peerRole(), what() + ": peer flags without a TLV");
        }
        auto armed = [](const Velto::Ptr<Oru::TimerTask>& t) { return t && t->taskScheduled(); };
        switch (st->state()) {
          case State::higigStarted: CHECK(armed(sm->higigStartedTask()), what()); break;
          case State::higigPending: CHECK(armed(sm->higigPendingTask()), what()); break;
          case State::higigWaitSsr: CHECK(armed(sm->higigWaitSsrFailsafeTimerTask()), what()); break;
          case State::higigWaitAsicsWarm: CHECK(armed(sm->higigWaitAsicsWarmHoldTimeTask()), what()); break;
          default: break;
        }
      }
    }
    CHECK(manager->higigSmForMemberIntf().size() == configured);
  }

  // The TLV each port sends names this member, its role, the configured
  // peer and the peer heard; the flags say the connection and the single
  // link of a channel with a local LAG group mismatch.
  void checkTransmitted(const VornFabricLldp::AgentSm& root) {
    const auto& lag = root.vflBcLagGroupInfo();
    for (const auto& [intf, lp] : root.localSystem()->localPort()) {
      const auto ctx = root.ctxForMember()->ctx(intf);
      const auto what = [i = intf] { return fmt::format("{}", i); };
      if (!ctx) {
        CHECK(!lp->vornTlvTx(), what() + ": TLV sent without a member context");
        continue;
      }
      if (ctx->rxInfoIncomplete()) continue;
      const auto& tx = lp->vornTlvTx();
      CHECK(tx, what());
      CHECK(tx->memberId == kSelf && tx->role == Vorn::Role::member, what());
      CHECK(tx->expectedPeerId == ctx->peerMemberId().valueOr(Vorn::MemberId()), what());
      const auto& rx = ctx->rxInfo();
      CHECK(tx->receivedPeerId == (rx && rx->tlv() ? rx->tlv()->memberId : Vorn::MemberId()), what());
      bool singleLink = false;
      if (sw_.setup().lagGroups() && lag) {
        const auto info = lag->bcLagGroupInfo(ctx->bcIntf());
        singleLink = info && info->localMismatchExists() && info->preferredHigigMember() == intf;
      }
      const uint8_t flags =
          Lldp::VornTlv{}.lodestoreConnectedIs(root.vflCtx()->lodestoreConnected()).singleLinkIs(singleLink).flags;
      CHECK(tx->flags == flags, fmt::format("{}: flags {:#x}, expected {:#x}", intf, tx->flags, flags));
    }
  }

  // The peer the switch expects on each member interface, 0 for none.
  static std::map<IntfId, Vorn::MemberId> expectedPeers(const VornFabricLldp::AgentSm& root) {
    std::map<IntfId, Vorn::MemberId> out;
    for (const auto& [bc, ch] : root.memberConfig()->bcConfig()) {
      for (const auto& m : ch->memberIntf().keys()) out[m] = ch->peerMemberId().valueOr(Vorn::MemberId());
    }
    return out;
  }

  // Every frame the switch sent is one our decoder takes, from this member,
  // on the interface it names, expecting the configured peer (when that
  // did not change meanwhile). No port sends faster than its interval.
  void checkFramesOnTheWire(const VornFabricLldp::AgentSm& root) {
    const auto peers = expectedPeers(root);
    const bool peersKept = peers == peers_;
    std::array<uint64_t, kPorts> sent{};
    const auto chassis = Vorn::memberMacAddr(kSelf).bytes();
    for (const auto& [port, frame] : sw_.heard) {
      const auto result = Lldp::Codec::decode(frame);
      CHECK(result.ok(), result.ok() ? "" : result.rejection().text);
      const auto& pdu = result.lldpdu();
      const auto what = [p = port] { return fmt::format("frame sent on {}", portIntf(p)); };
      CHECK(pdu.chassisIdSubtype == Lldp::ChassisIdSubtype::macAddress &&
                pdu.chassisId.bytes() == std::string(chassis.begin(), chassis.end()),
            what());
      CHECK(pdu.portIdSubtype == Lldp::PortIdSubtype::interfaceName &&
                pdu.portId.bytes() == portIntf(port).stringValue(),
            what());
      if (pdu.vornTlv) CHECK(pdu.vornTlv->memberId == kSelf && pdu.vornTlv->role == Vorn::Role::member, what());
      CHECK(!pdu.vornTlv || !pdu.isShutdown(), what());
      if (pdu.vornTlv && peersKept && peers.count(portIntf(port))) {
        CHECK(pdu.vornTlv->expectedPeerId == peers.at(portIntf(port)),
              fmt::format("{} expects member {}, configured {}", what(), pdu.vornTlv->expectedPeerId.value(),
                          peers.at(portIntf(port)).value()));
      }
      ++sent[port];
    }
    // One frame per 100 ms interval, the first one at once, and a shutdown;
    // besides, a frame at once on a local change for each transmit credit:
    // the credits held when the window began and one more per second since.
    const Velto::Duration window = sw_.clock->now() - checkedAt_;
    const auto allowed = static_cast<uint64_t>(window / 0.1) + 2 + kTxCreditMax + static_cast<uint64_t>(window) + 1;
    for (int p = 0; p < kPorts; ++p) {
      CHECK(sent[p] <= allowed, fmt::format("{} frames on {} in {:.3f} s", sent[p], portIntf(p),
                                            window));
    }
    peers_ = peers;
    sw_.heard.clear();
  }

  // Counters only grow, and every frame the wire delivered was counted in.
  void checkCounters(const VornFabricLldp::AgentSm& root) {
    uint64_t framesIn = 0;
    for (const auto& [intf, ps] : root.status()->portStatus()) {
      const std::array<uint64_t, 5> now{ps->framesIn(), ps->framesOut(), ps->framesDiscarded(),
                                        ps->tlvsUnrecognized(), ps->ageouts()};
      auto& [keep, seen] = counters_[ps.get()];
      keep = ps;
      for (size_t i = 0; i < now.size(); ++i) {
        CHECK(now[i] >= seen[i], fmt::format("{} counter {} went from {} to {}", intf, i, seen[i], now[i]));
      }
      framesIn += now[0] - seen[0];
      seen = now;
      CHECK(ps->remoteSystem().size() <= 8, fmt::format("{}", intf));
    }
    CHECK(framesIn == sw_.deliveredToSwitch - delivered_,
          fmt::format("{} frames counted in, {} delivered", framesIn, sw_.deliveredToSwitch - delivered_));
    delivered_ = sw_.deliveredToSwitch;
    const auto& w = sw_.wire->counters();
    CHECK(w.sent >= wire_.sent && w.carried >= wire_.carried && w.lost >= wire_.lost && w.dropped >= wire_.dropped);
    wire_ = w;
  }

  // The LAG groups of each channel are those its configuration names; a
  // local mismatch is more than one group, and only a mismatch has a
  // preferred member; a remote mismatch has the member it came through.
  void checkLagGroups(const VornFabricLldp::AgentSm& root) {
    if (!root.vflBcLagGroupSm()) return;
    const auto& info = *root.vflBcLagGroupInfo();
    const auto& config = *root.memberConfig();
    for (const auto& [bc, ch] : info.bcLagGroupInfo()) {
      const auto what = [i = bc] { return fmt::format("{}", i); };
      const auto conf = config.bcConfig(bc);
      std::map<std::string, std::set<IntfId>> groups;
      if (conf) {
        for (const auto& [m, mc] : conf->memberIntf()) {
          if (!mc->lagGroupName().empty()) groups[mc->lagGroupName()].insert(m);
        }
      }
      CHECK(ch->lagGroupToBcMemberMap().size() == groups.size(), what());
      for (const auto& [name, members] : groups) {
        const auto g = ch->lagGroupToBcMemberMap(name);
        CHECK(g && g->memberIntf() == members, fmt::format("{} group {}", bc, name));
        for (const auto& m : members) CHECK(ch->bcMemberToLagGroupMap(m) == name, fmt::format("{} {}", bc, m));
      }
      CHECK(ch->localMismatchExists() == (groups.size() > 1), what());
      const IntfId none("");
      if (!ch->localMismatchExists()) CHECK(ch->preferredHigigMember() == none, what());
      // A member is chosen only among the channel's configured members, but
      // stays preferred after it leaves the channel while no other member
      // can be chosen (no member confirmed, the LAG down).
      const IntfId preferred = ch->preferredHigigMember();
      const IntfId before = std::exchange(preferred_[bc], preferred);
      if (preferred != none && preferred != before) {
        CHECK(conf && conf->memberIntf(preferred), what() + ": the newly preferred member is configured");
      }
      CHECK(ch->remoteMismatchExists() == (ch->remotePreferredHigigMember() != none), what());
      if (ch->localMismatchExists() && qualifyingMember(root, bc)) {
        CHECK(ch->preferredHigigMember() != none, what() + ": no preferred member though one qualifies");
      }
      if (ch->remoteMismatchExists()) {
        const auto via = info.memberToBpcIntfMap(ch->remotePreferredHigigMember());
        CHECK(via && via->remoteBaIntf == bc, what());
      }
    }
  }

  // A member the preferred member selection may choose exists: the
  // channel's LAG is up with a member interface in backplane mode, and some
  // member is up, negotiating and configured.
  static bool qualifyingMember(const VornFabricLldp::AgentSm& root, const IntfId& bc) {
    const auto& agentLag = root.vflBcLagGroupSm() ? root.vflBcLagGroupSm()->ethLagIntfStatusDir() : nullptr;
    const auto lag = agentLag ? agentLag->intfStatus(bc) : nullptr;
    const auto status = root.backplaneChannelStatus()->bcMemberStatus(bc);
    const auto conf = root.memberConfig()->bcConfig(bc);
    if (!lag || lag->linkStatus() != Interface::LinkStatus::up || !status || !status->hasHigigConfirmedMember() ||
        !conf) {
      return false;
    }
    for (const auto& [m, ms] : lag->member()) {
      if (ms->linkStatus() == Interface::LinkStatus::up && status->memberIntfStatus(m) && conf->memberIntf(m)) {
        return true;
      }
    }
    return false;
  }

  // The TLV's connection flag and the synchronizers follow the database.
  void checkConnection(const VornFabricLldp::AgentSm& root) {
    const bool connected = sw_.db->connected();
    CHECK(root.vflCtx()->lodestoreConnected() == (connected && sw_.setup().connectionFlag()));
    for (const auto& sync : {root.selector(), root.bcmsLodestoreSynchronizer(), root.lldpStatusLodestoreSynchronizer()}) {
      CHECK(sync && sync->syncStarted() == connected);
    }
  }

  // The newest link state in an interface's event history (what an
  // operator reads in `vornctl history`) is the state it is in.
  void checkLinkHistory(const VornFabricLldp::AgentSm& root) {
    for (const auto& [bc, status] : root.backplaneChannelStatus()->bcMemberStatus()) {
      for (const auto& [m, st] : status->memberIntfStatus()) {
        const Events::Event* last = sw_.events.history().last(m.stringValue(), Events::Kind::linkState);
        if (!last) continue;  // none yet, or pushed out by 64 newer events
        const std::string* to = last->field("to");
        CHECK(to && *to == Vorn::stringValue(st->state()),
              fmt::format("{} in {}, its last linkState event says {}", m, Vorn::stringValue(st->state()),
                          Events::toJson(*last)));
      }
    }
  }

  void checkLog() {
    const auto& entries = sw_.log.entries();
    for (size_t i = logged_; i < entries.size(); ++i) {
      const auto name = entries[i].message->name;
      CHECK(name == "VORN_BACKPLANE_INTF_READY" || name == "VORN_BACKPLANE_INTF_ERROR" ||
                name == "VORN_BACKPLANE_INTF_MISMATCH",
            std::string(name));
      CHECK(entries[i].text.find('%') == std::string::npos, entries[i].text);
    }
    logged_ = entries.size();
  }

  Switch& sw_;
  // Each port status seen, kept alive so that its address names it alone.
  std::map<const Lldp::PortStatus*, std::pair<Velto::Ptr<const Lldp::PortStatus>, std::array<uint64_t, 5>>>
      counters_;
  uint64_t delivered_ = 0;
  Velto::Duration checkedAt_ = 0;
  std::map<IntfId, Vorn::MemberId> peers_;
  std::map<IntfId, IntfId> preferred_;
  Lldp::SimWire::Counters wire_;
  size_t logged_ = 0;
};

// ---------------------------------------------------------------------------
// Running a program

void expect(Switch& sw, uint8_t member, uint8_t state) {
  const IntfId intf = portIntf(member % 4);
  const auto status = sw.root()->backplaneChannelStatus()->bcMemberStatus(kChannel);
  const auto st = status ? status->memberIntfStatus(intf) : nullptr;
  const std::string got = st ? Vorn::stringValue(st->state()) : std::string("no negotiation");
  const std::string want = state % 8 == 7 ? std::string("no negotiation")
                                           : Vorn::stringValue(static_cast<State>(state % 8));
  CHECK(got == want, fmt::format("expected {} in {}, found {} at {:.3f} s", intf, want, got, sw.clock->now()));
}

Setup setupOf(Program& program) {
  const uint8_t head = program.next();
  Setup setup;
  setup.togglesOff = head & 0x0f;
  setup.members = ((head >> 4) & 3) + 1;
  setup.peerConfigured = !(head & 0x40);
  setup.peerAsicsCold = (head & 0x80) != 0;
  setup.restored = program.next();
  return setup;
}

// A step as it ran: its opcode and the operands it read, missing ones as
// the zeros they were read as, so that steps of several programs laid end
// to end read the same.
std::vector<uint8_t> stepAsRun(uint8_t op, std::vector<uint8_t> a) {
  const int kind = op % 15;
  size_t operands = 1;
  if (kind <= 4) operands = 9;
  if (kind == 6) operands = 10;
  if (kind == 12) operands = 0;
  if (kind == 5) {
    a.resize(std::max<size_t>(a.size(), 2));
    a[1] = static_cast<uint8_t>((a[1] & 0x80) | (a.size() - 2));
    operands = a.size();
  }
  a.resize(operands);
  a.insert(a.begin(), op);
  return a;
}

// Runs the program's steps on the switch, checking after each, until the
// program ends or the wire has carried the switch's frame limit. Once the
// limit is reached the rest of the program is read but not run; in the
// replay an expectation there fails, since a seed that runs out of budget
// no longer shows what it claims. Appends what the agent published after
// each step to `digest`, and each step that ran to `ran`. False when the
// limit stopped the program.
bool runSteps(Program& program, Switch& sw, Checker& checker, std::string* digest, std::vector<uint8_t>* ran) {
  bool live = true;
  for (int steps = 0; !program.done() && steps < 4096; ++steps) {
    live = live && sw.withinBudget();
    const uint8_t op = program.next();
    if (op == 0xff) {
      const uint8_t member = program.next(), state = program.next();
      if (member & 0x80) {
        if (!live) continue;
        sw.slicesOfNextWait = (member & 0x7f) << 8 | state;
        if (ran) ran->insert(ran->end(), {op, member, state});
      } else if (surroundings().replay) {
        CHECK(live, "an expectation lies past the frame budget");
        expect(sw, member, state);
      }
      continue;
    }
    const int kind = op % 15;
    std::vector<uint8_t> a;
    switch (kind) {
      case 0: case 1: case 2: case 3: case 4: a = program.take(1 + 8); break;
      case 5: {
        a = program.take(2);
        const auto rest = program.take(a.size() > 1 ? a[1] & 0x7f : 0);
        a.insert(a.end(), rest.begin(), rest.end());
        break;
      }
      case 6: a = program.take(2 + 8); break;
      case 12: break;
      default: a = program.take(1); break;
    }
    if (!live) continue;
    const size_t stepAt = ran ? ran->size() : 0;
    if (ran) {
      const auto step = stepAsRun(op, a);
      ran->insert(ran->end(), step.begin(), step.end());
    }
    // A wait the frame limit cut short goes into `ran` after a cut step, so
    // that it stops at the same moment when the steps run again.
    auto waitFor = [&](Velto::Duration seconds) {
      int slices = 0;
      if (!sw.wait(seconds, slices) && ran) {
        ran->insert(ran->begin() + static_cast<long>(stepAt),
                    {0xff, static_cast<uint8_t>(0x80 | slices >> 8), static_cast<uint8_t>(slices & 0xff)});
      }
    };
    auto arg = [&](size_t i) -> uint8_t { return i < a.size() ? a[i] : 0; };
    auto from = [&](size_t i) { return std::vector<uint8_t>(a.begin() + static_cast<long>(std::min(i, a.size())), a.end()); };
    const int port = arg(0) % kPorts;
    switch (kind) {
      case 0: case 1: case 2: case 3: case 4: sw.send(port, buildFrame(port, from(1))); break;
      case 5: sw.send(port, rawFrame(from(2), (arg(1) & 0x80) != 0)); break;
      case 6: sw.sendEvery(port, std::array<double, 4>{0, 0.1, 0.3, 1.0}[arg(1) % 4], buildFrame(port, from(2))); break;
      case 7: case 8: waitFor(arg(0) * 0.004); break;
      case 9: waitFor(arg(0) * 0.1); break;
      case 10: waitFor(arg(0) % 128); break;
      case 11: sw.toggleCable(port); break;
      case 12: sw.toggleConnection(); break;
      case 13:
        if (arg(0) % 4 == 3) {
          sw.playPeer(arg(0) / 4 % kPorts);
          waitFor(kPeerPlaySeconds);
        } else {
          sw.configure(arg(0));
        }
        break;
      case 14: sw.toggleAsics(arg(0)); break;
    }
    sw.clock->runReady();
    checker.check();
    if (digest) *digest += '\n' + checker.snapshot();
  }
  return live && sw.withinBudget();
}

void appendLog(const Switch& sw, std::string& digest) {
  for (const auto& e : sw.log.entries()) digest += fmt::format("\n{:.6f} {}", e.time, e.rendered());
}

// Runs the program on a switch built for it; returns the digest of the run
// when `record` is set.
std::string run(std::span<const uint8_t> bytes, bool record, uint64_t frameLimit) {
  Program program(bytes);
  Switch sw(setupOf(program));
  sw.frameLimit = frameLimit;
  Checker checker(sw);
  checker.check();
  std::string digest = record ? checker.snapshot() : std::string();
  runSteps(program, sw, checker, record ? &digest : nullptr, nullptr);
  if (record) appendLog(sw, digest);
  return digest;
}

void compareRuns(const std::string& first, const std::string& second) {
  if (second == first) return;
  size_t at = 0;
  while (at < first.size() && at < second.size() && first[at] == second[at]) ++at;
  FuzzCheck::broken("the same program gives the same run",
                    fmt::format("runs differ at byte {}:\n{}\n--- and ---\n{}", at, first.substr(at, 300),
                                second.substr(at, 300)));
}

// While fuzzing, one switch lives through a run of inputs: the first
// input's two leading bytes build it, and the steps of it and of the inputs
// after it run on it one input at a time, each within a small frame budget.
// A wait the budget cuts short ends its input; the next input goes on from
// there. A switch is dropped after kInputsPerLife inputs, or once it has
// used up its frames or its waiting time, and the next input builds a new
// one.
//
// The steps that ran on the live switch, laid end to end after its two
// leading bytes, with a cut step before each wait the budget cut short, are
// one program that runs the same on a switch built afresh. Before each
// input runs, the transcript file (VORN_AGENT_FUZZ_TRANSCRIPT, else in the
// work directory) holds that program followed by the input's own steps:
// after a crash it reproduces the switch's whole life
// (VORN_AGENT_FUZZ_FRESH=1 agent_fuzz TRANSCRIPT). Every 64th life runs its
// program again on a new switch at the end and compares what the two
// published.
class Lives {
 public:
  static constexpr int kInputsPerLife = 64;
  // Below the fresh runs' budget, so a transcript replays whole.
  static constexpr uint64_t kFramesPerLife = kReplayFrameBudget - 200;

  void run(std::span<const uint8_t> input) {
    auto steps = input;
    if (!life_) {
      begin(input);
      steps = input.subspan(std::min<size_t>(2, input.size()));
    }
    Life& life = *life_;
    saveTranscript(steps);
    ++life.inputs;
    life.sw.frameLimit = life.sw.wire->counters().sent + surroundings().frameBudget;
    Program program(steps);
    runSteps(program, life.sw, life.checker, life.recording ? &life.digest : nullptr, &life.program);
    if (life.inputs >= kInputsPerLife || life.sw.wire->counters().sent >= kFramesPerLife ||
        life.sw.waited() >= kMaxVirtualSeconds) {
      end();
    }
  }

 private:
  struct Life {
    Life(const Setup& setup, std::vector<uint8_t> head, bool record)
        : sw(setup), checker(sw), program(std::move(head)), recording(record) {}
    Switch sw;
    Checker checker;
    std::vector<uint8_t> program;
    bool recording;
    std::string digest;
    int inputs = 0;
  };

  void begin(std::span<const uint8_t> input) {
    Program program(input);
    const Setup setup = setupOf(program);
    Program head(input);
    life_ = std::make_unique<Life>(setup, std::vector<uint8_t>{head.next(), head.next()}, ++lives_ % 64 == 0);
    life_->checker.check();
    if (life_->recording) life_->digest = life_->checker.snapshot();
    written_ = 0;
  }

  void end() {
    auto life = std::move(life_);
    if (!life->recording) return;
    appendLog(life->sw, life->digest);
    const auto program = life->program;
    const std::string first = life->digest;
    // One switch at a time: the life's switch goes before the new one runs.
    life.reset();
    compareRuns(first, ::run(program, true, kReplayFrameBudget));
  }

  // The live switch's program, then `pending`: written before the input
  // runs, so that it is there whatever ends the process.
  void saveTranscript(std::span<const uint8_t> pending) {
    const auto& path = surroundings().transcript;
    if (fd_ < 0) fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const auto& ran = life_->program;
    auto put = [this](const uint8_t* data, size_t n, size_t at) {
      return ::pwrite(fd_, data, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    };
    const bool ok = fd_ >= 0 && put(ran.data() + written_, ran.size() - written_, written_) &&
                    put(pending.data(), pending.size(), ran.size()) &&
                    ::ftruncate(fd_, static_cast<off_t>(ran.size() + pending.size())) == 0;
    if (!ok) FuzzCheck::broken("cannot write the transcript", path);
    written_ = ran.size();
  }

  std::unique_ptr<Life> life_;
  uint64_t lives_ = 0;
  int fd_ = -1;
  size_t written_ = 0;
};

}  // namespace

// Every allocation records the stack it came from; two frames (the
// default is 30) make that much cheaper, and a smaller quarantine of freed
// memory keeps the pages in use fewer. To see whole allocation stacks when
// reproducing a crash: ASAN_OPTIONS=malloc_context_size=30.
extern "C" const char* __asan_default_options() { return "malloc_context_size=2:quarantine_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  auto& env = surroundings();
  if (env.persistent) {
    static Lives lives;
    lives.run(bytes);
    return 0;
  }
  // The same program gives the same run: always in the replay.
  const std::string first = run(bytes, env.replay, env.frameBudget);
  if (env.replay) compareRuns(first, run(bytes, true, env.frameBudget));
  return 0;
}
