// What carrying one change of a synchronised record into the state database
// costs: a remote system's TLV changes in an LLDP status of N ports, as the
// status mirror writes it for a received frame whose TLV changed.
//
//   wholeRecordCopy/N  the record brought over as a whole, through its JSON
//                      (Zem::assignFromJson of Zem::toJson), as every change
//                      was copied before the synchronizers carried deltas
//   deltaCopy/N        the same change through a started synchronizer, which
//                      writes only the changed attribute
//   deltaCopyInStep/N  the same, inside a scheduler step, the copy made when
//                      the step ends (the daemon's and the simulator's case)
//
// Run: ./build/bench/sync_bench
#include "platform/lodestore/EntityManager.h"
#include "platform/lodestore/StateDatabase.h"
#include "platform/records/VornRecords.h"
#include "platform/scheduler/Scheduler.h"
#include "platform/vorn/ServiceSync.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using Status = Vorn::Lldp::Status;

Kivo::IntfId port(int i) { return Kivo::IntfId("Ethernet" + std::to_string(i)); }

Lldp::VornTlv tlv(bool connected) {
  return Lldp::VornTlv{Vorn::MemberId(2), Vorn::Role::member, Vorn::MemberId(1), Vorn::MemberId(1), 0}
      .lodestoreConnectedIs(connected);
}

Velto::Ptr<Status> statusWith(int ports) {
  auto s = Velto::make<Status>("agent");
  for (int i = 1; i <= ports; ++i) {
    Vorn::Lldp::RemoteSystem::Msap msap{Lldp::ChassisIdSubtype::macAddress,
                                        Lldp::ChassisId(std::string("\x02vor\x00\x02", 6)),
                                        Lldp::PortIdSubtype::interfaceName, Lldp::PortId("Ethernet" + std::to_string(i))};
    auto rs = s->portStatusIs(port(i))->remoteSystemIs(1, msap);
    rs->ttlIs(120);
    rs->vornTlvRxIs(tlv(false));
  }
  return s;
}

// A switch's state database with the status published by a synchronizer.
struct Published {
  Velto::Ptr<Oru::VirtualScheduler> scheduler = Velto::make<Oru::VirtualScheduler>();
  Velto::Ptr<Lodestore::StateDatabase> db = Velto::make<Lodestore::StateDatabase>(scheduler);
  Velto::Ptr<Lodestore::EntityManager> em = Velto::make<Lodestore::EntityManager>(db, scheduler);
  Velto::Ptr<Status> local;
  Velto::Ptr<Vorn::ServiceLocalRemoteSynchronizer> sync;

  explicit Published(int ports) : local(statusWith(ports)) {
    auto ctx = Velto::make<Vorn::ServiceCtx>(local, "vorn/lldp/status/1", "vorn/lldp/status/1", false);
    ctx->remoteIsWriterIs(false);
    sync = Velto::make<Vorn::ServiceLocalRemoteSynchronizer>(ctx, nullptr);
    sync->initialize();
    sync->startLodestoreSync(em);
    scheduler->runReady();
  }
  Velto::Ptr<Status> remote() const { return em->getEntityAs<Status>("vorn/lldp/status/1"); }
};

void wholeRecordCopy(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  auto local = statusWith(ports);
  auto remote = statusWith(ports);
  auto rs = local->portStatus(port(ports / 2 + 1))->remoteSystem(1);
  bool connected = false;
  for (auto _ : state) {
    connected = !connected;
    rs->vornTlvRxIs(tlv(connected));
    Zem::assignFromJson(*remote, Zem::toJson(*local));
  }
  if (Zem::toJson(*remote) != Zem::toJson(*local)) state.SkipWithError("the copy differs");
}
BENCHMARK(wholeRecordCopy)->Arg(8)->Arg(64)->Arg(512);

void deltaCopy(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  Published p(ports);
  auto rs = p.local->portStatus(port(ports / 2 + 1))->remoteSystem(1);
  bool connected = false;
  for (auto _ : state) {
    connected = !connected;
    rs->vornTlvRxIs(tlv(connected));
  }
  if (Zem::toJson(*p.remote()) != Zem::toJson(*p.local)) state.SkipWithError("the copy differs");
}
BENCHMARK(deltaCopy)->Arg(8)->Arg(64)->Arg(512);

void deltaCopyInStep(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  Published p(ports);
  auto rs = p.local->portStatus(port(ports / 2 + 1))->remoteSystem(1);
  bool connected = false;
  std::function<void()> frame = [&] {
    connected = !connected;
    rs->vornTlvRxIs(tlv(connected));
  };
  for (auto _ : state) {
    p.scheduler->post(frame);
    p.scheduler->runReady();
  }
  if (Zem::toJson(*p.remote()) != Zem::toJson(*p.local)) state.SkipWithError("the copy differs");
}
BENCHMARK(deltaCopyInStep)->Arg(8)->Arg(64)->Arg(512);

// The cost of a step without the change, to subtract from deltaCopyInStep.
void emptyStep(benchmark::State& state) {
  auto scheduler = Velto::make<Oru::VirtualScheduler>();
  std::function<void()> nothing = [] {};
  for (auto _ : state) {
    scheduler->post(nothing);
    scheduler->runReady();
  }
}
BENCHMARK(emptyStep);

}  // namespace

BENCHMARK_MAIN();
