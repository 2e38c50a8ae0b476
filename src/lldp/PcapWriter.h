#pragma once
// Writes Ethernet frames to a classic pcap file (microsecond time stamps,
// link type 1 = Ethernet), the format every packet analyser reads. Time
// stamps are the scheduler's clock, so a capture of a simulated group shows
// virtual time.

#include "platform/framework/Ptr.h"
#include "platform/framework/Values.h"

#include <cstdint>
#include <span>
#include <string>

// libpcap's handles; only the writer's source file sees their insides.
struct pcap;
struct pcap_dumper;

namespace Lldp {

class PcapWriter : public Velto::RefCounted {
 public:
  static constexpr uint32_t magic = 0xa1b2c3d4;
  static constexpr uint32_t linkTypeEthernet = 1;
  static constexpr uint32_t snapLength = 65535;

  // Creates (or truncates) `path` and writes the file header. Throws
  // std::runtime_error naming the path and the system error.
  explicit PcapWriter(const std::string& path);
  ~PcapWriter() override;
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Appends one frame seen at `time` (seconds).
  void record(Velto::Duration time, std::span<const uint8_t> frame);
  // Pushes buffered records to the file.
  void flush();
  uint64_t recordCount() const { return records_; }
  const std::string& path() const { return path_; }

 private:
  // Throws when the file took an error since it was opened.
  void checkWritten() const;

  std::string path_;
  pcap* pcap_ = nullptr;
  pcap_dumper* dumper_ = nullptr;
  uint64_t records_ = 0;
};

}  // namespace Lldp
