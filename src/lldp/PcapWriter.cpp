#include "lldp/PcapWriter.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace Lldp {

namespace {

[[noreturn]] void throwWriteError(const std::string& path) {
  throw std::runtime_error("cannot write pcap file " + path + ": " + std::strerror(errno));
}

}  // namespace

PcapWriter::PcapWriter(const std::string& path) : path_(path) {
  // The file is opened here rather than by libpcap, which would take "-" for
  // standard output and lose the system error behind its own message.
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw std::runtime_error("cannot create pcap file " + path + ": " + std::strerror(errno));
  // A capture handle with no device behind it: it only carries the link type
  // and snapshot length that go into the file header.
  pcap_ = pcap_open_dead(DLT_EN10MB, static_cast<int>(snapLength));
  if (!pcap_) {
    std::fclose(file);
    throw std::runtime_error("cannot create pcap file " + path + ": libpcap has no handle to give");
  }
  // Writes the file header; from here on libpcap owns the file.
  dumper_ = pcap_dump_fopen(pcap_, file);
  if (!dumper_) {
    const std::string why = pcap_geterr(pcap_);
    std::fclose(file);
    pcap_close(pcap_);
    throw std::runtime_error("cannot create pcap file " + path + ": " + why);
  }
}

PcapWriter::~PcapWriter() {
  pcap_dump_close(dumper_);
  pcap_close(pcap_);
}

void PcapWriter::record(Velto::Duration time, std::span<const uint8_t> frame) {
  const double t = std::max(0.0, time);
  auto seconds = static_cast<uint32_t>(t);
  auto micros = static_cast<uint32_t>(std::llround((t - seconds) * 1e6));
  if (micros >= 1000000) {
    ++seconds;
    micros -= 1000000;
  }
  pcap_pkthdr header{};
  header.ts.tv_sec = seconds;
  header.ts.tv_usec = micros;
  header.caplen = static_cast<uint32_t>(std::min<size_t>(frame.size(), snapLength));
  header.len = static_cast<uint32_t>(frame.size());
  // pcap_dump reports nothing; a failed write shows in the file's error flag.
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
  checkWritten();
  ++records_;
}

void PcapWriter::flush() {
  if (pcap_dump_flush(dumper_) != 0) throwWriteError(path_);
  checkWritten();
}

void PcapWriter::checkWritten() const {
  if (std::ferror(pcap_dump_file(dumper_))) throwWriteError(path_);
}

}  // namespace Lldp
