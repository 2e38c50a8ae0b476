#include "lldp/PcapWriter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace Lldp {

namespace {

// pcap files are read in the writer's byte order, told by the magic number;
// we always write little-endian so captures are the same bytes everywhere.
void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void putLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

PcapWriter::PcapWriter(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) throw std::runtime_error("cannot create pcap file " + path + ": " + std::strerror(errno));
  uint8_t header[24];
  putLe32(header, magic);
  putLe16(header + 4, 2);  // version 2.4
  putLe16(header + 6, 4);
  putLe32(header + 8, 0);   // time stamps are UTC
  putLe32(header + 12, 0);  // accuracy of time stamps
  putLe32(header + 16, snapLength);
  putLe32(header + 20, linkTypeEthernet);
  write(header, sizeof header);
}

PcapWriter::~PcapWriter() {
  if (file_) std::fclose(file_);
}

void PcapWriter::record(Velto::Duration time, std::span<const uint8_t> frame) {
  const double t = std::max(0.0, time);
  auto seconds = static_cast<uint32_t>(t);
  auto micros = static_cast<uint32_t>(std::llround((t - seconds) * 1e6));
  if (micros >= 1000000) {
    ++seconds;
    micros -= 1000000;
  }
  const auto captured = static_cast<uint32_t>(std::min<size_t>(frame.size(), snapLength));
  uint8_t header[16];
  putLe32(header, seconds);
  putLe32(header + 4, micros);
  putLe32(header + 8, captured);
  putLe32(header + 12, static_cast<uint32_t>(frame.size()));
  write(header, sizeof header);
  write(frame.data(), captured);
  ++records_;
}

void PcapWriter::flush() {
  if (std::fflush(file_) != 0) throw std::runtime_error("cannot write pcap file " + path_ + ": " + std::strerror(errno));
}

void PcapWriter::write(const void* data, size_t size) {
  if (std::fwrite(data, 1, size, file_) != size) {
    throw std::runtime_error("cannot write pcap file " + path_ + ": " + std::strerror(errno));
  }
}

}  // namespace Lldp
