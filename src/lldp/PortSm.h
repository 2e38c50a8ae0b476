#pragma once
// One running LLDP port of the protocol state machine: what it sends, when,
// and what it keeps of what it hears.
//
// Transmit, while the admin status transmits and the link is up: a frame
// when the port starts (after the re-initialisation delay when the port
// stopped a moment ago), then every `messageTxInterval`. A change of what
// the port sends goes out at once, spending one transmit credit; without
// credit it goes with the next regular frame. A new neighbour starts fast
// transmission (`txFastInit` frames at `msgFastTxMs`) when that interval is
// shorter than the regular one. Credits come back one per second, up to
// `txCreditMax`.
//
// Receive, while the admin status receives: every frame counts in
// `framesIn`; a frame the codec refuses counts in `framesDiscarded` (and in
// `framesInErrors`, or `framesTagged`) and its reason is traced (at level 2
// at most once a second, the rest at level 7). Optional
// TLVs the codec leaves out count in `tlvsDiscarded`. A valid frame
// refreshes (or adds, under the port's next index) the remote system of its
// MSAP: every attribute is written, `lastRefreshTime` last, with the
// scheduler's time. A remote system not refreshed within its hold time is
// aged out; a shutdown LLDPDU deletes it at once.
//
// The remote table keeps at most `maxRemoteSystemsPerPort` entries. When it
// is full, a frame of a new MSAP is refused and counted, except from the
// port's peer: the sender of a Vorn TLV naming the member this port expects
// (the expected peer of the port's own Vorn TLV). Room is made for it by
// pushing out the least recently heard other entry, so senders that fill the
// table with long TTLs cannot keep the link from negotiating. While refused
// information could still be current (the longest hold time among refused
// frames), `tooManyNeighbors` is set.

#include "lldp/Codec.h"
#include "lldp/Pam.h"
#include "platform/events/Events.h"
#include "platform/framework/StateMachine.h"
#include "platform/records/InterfaceRecords.h"
#include "platform/records/LldpRecords.h"
#include "platform/scheduler/Scheduler.h"

#include <map>
#include <unordered_map>
#include <vector>

namespace Lldp::Agent::Protocol {

// What every port of one protocol state machine shares. Ports hold it rather
// than their state machine, so a port still delivering a frame stays sound
// when a handler drops the whole protocol.
struct ProtocolCtx : Velto::RefCounted {
  Velto::Ptr<Oru::TaskScheduler> scheduler;
  Velto::Ptr<const LocalSystem> localSystem;
  Velto::Ptr<const Interface::AllEthPhyIntfStatusDir> ethPhyIntfStatusDir;
  Velto::Ptr<const Config> config;
  Velto::Ptr<Status> status;
  uint32_t maxRemoteSystemsPerPort = 8;
  // Last remote system index given out per port; indexes are never reused
  // while the engine runs, so an index always names one MSAP.
  std::unordered_map<Kivo::IntfId, int> lastIndex;
  // A frame equal to the last one of its remote system only refreshes it
  // (off: every frame is decoded and written whole, which gives the same
  // records at a higher cost).
  bool refreshUnchangedFrames = true;
  // A port that starts while this many others already run sends its first
  // frame at a phase of the interval of its own (`txPhase`), so a switch
  // with many ports spreads its frames over the interval rather than
  // sending them in one burst. The first ports start at once: a small
  // switch negotiates as soon as it can.
  static constexpr size_t portsStartedAtOnce = 16;
  // Mixed into every port's phase; equal seeds give equal phases.
  uint64_t txPhaseSeed = 0;

  // Seconds per unit of the configured transmit times.
  Velto::Duration txTimeUnit() const;
  Velto::Duration txInterval() const;
  // The fast-start interval; not shorter than the regular one is no fast start.
  Velto::Duration fastTxInterval() const;
  Velto::Duration reinitDelay() const;
  // Where in the transmit interval `intf` sends: the same for one port name
  // and seed, spread evenly over [0, interval) across ports, in whole
  // milliseconds.
  Velto::Duration txPhase(const Kivo::IntfId& intf) const;
  uint32_t holdTimeMs() const;
};

class PortSm : public Zem::StateMachine {
 public:
  // `firstTxAt`: the scheduler time before which the port sends nothing
  // (the end of a re-initialisation delay); `ctx` has a scheduler and a
  // status.
  PortSm(Velto::Ptr<ProtocolCtx> ctx, Kivo::IntfId intf, Velto::Ptr<Pam> pam, AdminStatus adminStatus,
         Velto::Duration firstTxAt);
  ~PortSm() override;

  const Velto::Ptr<Pam>& pam() const { return pam_; }
  AdminStatus adminStatus() const { return adminStatus_; }

  // The port's admin status changed (not to disabled: that stops the port).
  void adminStatusIs(AdminStatus status);
  // The transmit interval changed: a shorter one takes effect now, a longer
  // one after the frame already due.
  void handleTxTiming();
  // Something the port sends may have changed.
  void handleLocalChange();
  // The source address of the port's frames may have changed; it goes out
  // with the next frame, like any other change of the device.
  void handleSourceAddrChange() { txFrameStale_ = true; }
  void handleFrame(std::span<const uint8_t> frame);
  // Stops the port for good: the neighbour is told when the port transmits
  // and its I/O is still open; what the port heard is forgotten.
  void stop();

 private:
  void handleTxTask();
  void handleChangeTask();
  void handleAgeout(int index);
  void handleTooManyNeighborsTask();

  void handleRefused(PortStatus& ps, const Codec::Result& result);
  void handleShutdown(PortStatus& ps, const Codec::Lldpdu& pdu);
  bool maybeMakeRoom(PortStatus& ps, const Codec::Lldpdu& pdu);
  void removeRemoteSystem(PortStatus& ps, int index);
  // Events for an operator watching the neighbours (only while events are on).
  void reportGone(Events::Kind kind, const RemoteSystem& rs, const char* reason) const;
  void reportChanged(const RemoteSystem& rs, const Codec::Lldpdu& pdu);
  void forgetRemoteSystems();
  void noteTooManyNeighbors(PortStatus& ps, Velto::Duration hold);
  bool isExpectedPeer(const Zem::Optional<VornTlv>& tlv) const;
  void maybeStartFastTx();
  void refresh(RemoteSystem& rs, const Codec::Lldpdu& pdu);
  // Refreshes the remote system whose last frame had exactly these bytes;
  // false when no remote system did.
  bool maybeRefreshUnchanged(PortStatus& ps, std::span<const uint8_t> frame);
  void rememberFrame(const Velto::Ptr<RemoteSystem>& rs, std::span<const uint8_t> frame, const Codec::Decoded& decoded);
  void maybeArmAgeout(int index, Velto::Duration hold);
  void syncIoStatistics();
  bool transmitting() const { return transmits(adminStatus_) && !stopped_; }

  // The frame the port sends now, or null when the local records are not
  // complete enough to send one. Encoded again only after a local change.
  const std::vector<uint8_t>* frameToSend();
  // The frame that tells the neighbour to forget this port at once.
  Zem::Optional<std::vector<uint8_t>> shutdownFrame();
  Zem::Optional<std::vector<uint8_t>> encodeFrame(bool shutdown);
  // Sends `frame` when the link is up; false when it did not go out.
  bool send(std::span<const uint8_t> frame);
  bool maybeSpendCredit();
  // True when a refused frame may be traced at level 2 now.
  bool maybeNotice();

  struct Ageout {
    Velto::Ptr<Oru::TimerTask> task;
    Zem::Reactor reactor;
  };

  Velto::Ptr<ProtocolCtx> ctx_;
  Kivo::IntfId intf_;
  Velto::Ptr<Pam> pam_;
  AdminStatus adminStatus_;
  Velto::Ptr<Oru::TimerTask> txTask_;
  Velto::Ptr<Oru::TimerTask> changeTask_;
  Velto::Ptr<Oru::TimerTask> tooManyNeighborsTask_;
  Zem::Reactor txReactor_;
  Zem::Reactor changeReactor_;
  Zem::Reactor tooManyNeighborsReactor_;
  std::map<int, Ageout> ageouts_;
  // The last frame sent, to tell a local change from none.
  std::vector<uint8_t> lastSent_;
  // The frame the port sends while nothing local changes; stale after any
  // change of what it carries.
  std::vector<uint8_t> txFrame_;
  bool txFrameStale_ = true;
  // The last frame of each remote system (by index) that decoding took
  // whole, with what its decoding counted, so that the same bytes again only
  // refresh the remote system: a neighbour repeats its frame every interval.
  struct Heard {
    std::vector<uint8_t> frame;
    Velto::Ptr<RemoteSystem> rs;
    Velto::Duration hold = 0;
    uint32_t unrecognizedTlvs = 0;
  };
  std::map<int, Heard> heard_;
  // Change events of each remote system (by index): a neighbour whose frame
  // changes with every transmission gets at most one a second, which says
  // how many it stands for, so its changes cannot flush the interface's
  // history of everything else.
  struct ChangeNotes {
    Velto::Duration lastAt = 0;
    uint64_t unreported = 0;
  };
  std::map<int, ChangeNotes> changeNotes_;
  // Fast-start frames still to send.
  uint32_t txFast_ = 0;
  uint32_t txCredit_;
  // When the next credit comes back.
  Velto::Duration nextCreditAt_;
  // Nothing goes out before this time: the end of the re-initialisation
  // delay after the port stopped transmitting.
  Velto::Duration txBlockedUntil_;
  // The transport's statistics as last copied into the port status.
  Transport::Port::Statistics ioSeen_;
  // When a refused frame was last traced at level 2.
  Zem::Optional<Velto::Duration> noticedAt_;
  bool stopped_ = false;
  bool incompleteTraced_ = false;
};

}  // namespace Lldp::Agent::Protocol
