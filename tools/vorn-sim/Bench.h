#pragma once
// `vorn-sim --bench`: what the simulator and the agent cost.
//
//  - One received frame through the whole receive path of a member switch
//    in backplane mode: wire delivery, decode, remote system refresh,
//    selection, member context, negotiation and TLV recomputation. Frames
//    are injected on the wire in place of the peer, once with an unchanging
//    TLV (a plain refresh) and once alternating two TLVs (every frame a TLV
//    change).
//  - A large group (members in a ring, links split over two channels per
//    member) run for a stretch of virtual time: frames per second of wall
//    time and peak memory.

#include <ostream>

namespace VornSim {

struct BenchOptions {
  int members = 8;
  int linksPerMember = 64;
  double hours = 1.0;
  int frameSamples = 200000;
};

// Runs both benchmarks, printing figures to `out` and progress to `progress`;
// returns false when the group did not reach backplane mode.
bool runBench(const BenchOptions& options, std::ostream& out, std::ostream& progress);

}  // namespace VornSim
