#pragma once
// `vorn-sim --bench`: what the simulator and the agent cost.
//
//  - One received frame through the whole receive path of a member switch
//    in backplane mode: wire delivery, decode, remote system refresh,
//    selection, member context, negotiation and TLV recomputation. Frames
//    are injected on the wire in place of the peer, once with an unchanging
//    TLV (a plain refresh) and once alternating two TLVs (every frame a TLV
//    change).
//  - A small group and a large group (members in a ring, links split over
//    two channels per member) run for the same stretch of virtual time, one
//    after the other: CPU per frame carried in each and their ratio (the
//    cost of a frame should not grow with the size of the switch), and the
//    large group's CPU for one virtual hour, projected from the stretch.
//
// Each figure is printed with its target and whether the run met it; with
// `json` the whole set follows as one JSON object on the last line.

#include <cstdint>
#include <ostream>
#include <vector>

namespace VornSim {

struct BenchOptions {
  int members = 8;
  int linksPerMember = 64;
  // The small group the large one is compared with.
  int smallMembers = 2;
  int smallLinksPerMember = 8;
  // Virtual time each group runs; the hour is projected from it.
  double hours = 0.1;
  int frameSamples = 200000;
  bool json = false;
  // Switches report events, as they always do; off shows what that costs.
  bool events = true;
};

// Runs both benchmarks, printing figures to `out` and progress to `progress`;
// returns false when the group did not reach backplane mode.
bool runBench(const BenchOptions& options, std::ostream& out, std::ostream& progress);

// The frame member 2 sends on its Ethernet1 to member 1 in backplane mode,
// with `flags` in its TLV: what the frame benchmark injects in place of the
// peer.
std::vector<uint8_t> peerFrame(uint8_t flags);

}  // namespace VornSim
