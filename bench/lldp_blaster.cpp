// lldp_blaster: sends one captured Ethernet frame on a device, over and
// over, at a given rate or as fast as the kernel takes it, for the
// daemon-versus-lldpd comparison of scripts/bench.sh.
//
//   lldp_blaster DEVICE FRAME.bin SECONDS [FRAMES_PER_SECOND]
//
// Without a rate it sends as fast as it can. Frames go out in batches
// (sendmmsg) paced against CLOCK_MONOTONIC, so a rate of 20,000 frames per
// second is 20,000 frames in every second, not a burst and a pause. Prints
// "sent N frames in S s (R/s)" and exits 0; 2 on bad arguments, 1 when the
// socket cannot be made.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kBatch = 32;
constexpr uint16_t kEtherTypeLldp = 0x88cc;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: lldp_blaster DEVICE FRAME.bin SECONDS [FRAMES_PER_SECOND]\n");
    return 2;
  }
  const std::string device = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  std::vector<uint8_t> frame{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const double seconds = std::atof(argv[3]);
  const double rate = argc == 5 ? std::atof(argv[4]) : 0;
  if (frame.size() < 14 || !(seconds > 0) || rate < 0) {
    std::fprintf(stderr, "lldp_blaster: need a frame of at least 14 bytes, SECONDS > 0 and a rate >= 0\n");
    return 2;
  }
  const unsigned ifIndex = if_nametoindex(device.c_str());
  if (ifIndex == 0) {
    std::fprintf(stderr, "lldp_blaster: no device %s: %s\n", device.c_str(), std::strerror(errno));
    return 1;
  }
  const int fd = ::socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) {
    std::fprintf(stderr, "lldp_blaster: packet socket: %s\n", std::strerror(errno));
    return 1;
  }
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(kEtherTypeLldp);
  to.sll_ifindex = static_cast<int>(ifIndex);

  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
  for (unsigned i = 0; i < kBatch; ++i) {
    iov[i] = {frame.data(), frame.size()};
    msgs[i] = {};
    msgs[i].msg_hdr.msg_name = &to;
    msgs[i].msg_hdr.msg_namelen = sizeof to;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }

  const auto start = std::chrono::steady_clock::now();
  uint64_t sent = 0;
  for (double t = 0; (t = secondsSince(start)) < seconds;) {
    unsigned want = kBatch;
    if (rate > 0) {
      const double due = t * rate - static_cast<double>(sent);
      if (due < 1) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int>(1e6 / rate) + 1));
        continue;
      }
      want = static_cast<unsigned>(std::min<double>(due, kBatch));
    }
    const int n = ::sendmmsg(fd, msgs, want, 0);
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
    } else if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
      std::fprintf(stderr, "lldp_blaster: send: %s\n", std::strerror(errno));
      return 1;
    }
  }
  const double took = secondsSince(start);
  std::printf("sent %llu frames in %.3f s (%.0f/s)\n", static_cast<unsigned long long>(sent), took,
              static_cast<double>(sent) / took);
  ::close(fd);
  return 0;
}
