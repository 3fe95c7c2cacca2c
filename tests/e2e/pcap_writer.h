// A HART-IP exchange written as a capture file for the protocol analyser (tshark), and the
// analyser's output read back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "hartip/hartip_client.h"

namespace qln::test {

inline constexpr uint16_t kHartIpPort = 5094;  // the port the analyser knows HART-IP by
inline constexpr uint16_t kHostPort = 50123;

inline std::vector<uint8_t> Serialize(const IpMessage& m) {
  std::vector<uint8_t> bytes{m.version,
                             m.type,
                             m.id,
                             m.status,
                             static_cast<uint8_t>(m.sequence >> 8),
                             static_cast<uint8_t>(m.sequence),
                             static_cast<uint8_t>(m.byteCount >> 8),
                             static_cast<uint8_t>(m.byteCount)};
  bytes.insert(bytes.end(), m.body.begin(), m.body.end());
  return bytes;
}

inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v));
}

// Raw IPv4 packets (link type 101) between 127.0.0.1:kHostPort and 127.0.0.1:kHartIpPort.
class PcapWriter {
 public:
  void Udp(bool toServer, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> segment;
    Ports(segment, toServer);
    Put16(segment, static_cast<uint16_t>(8 + payload.size()));
    Put16(segment, 0);
    segment.insert(segment.end(), payload.begin(), payload.end());
    Packet(17, segment);
  }
  // A TCP segment; flags 0x02 SYN, 0x12 SYN+ACK, 0x10 ACK, 0x18 PSH+ACK.
  void Tcp(bool toServer, uint8_t flags, const std::vector<uint8_t>& payload = {}) {
    uint32_t& seq = toServer ? hostSeq_ : serverSeq_;
    const uint32_t ack = toServer ? serverSeq_ : hostSeq_;
    std::vector<uint8_t> segment;
    Ports(segment, toServer);
    Put32(segment, seq);
    Put32(segment, (flags & 0x10) != 0 ? ack : 0);
    segment.push_back(0x50);
    segment.push_back(flags);
    Put16(segment, 65535);
    Put32(segment, 0);  // checksum (not validated) and urgent pointer
    segment.insert(segment.end(), payload.begin(), payload.end());
    seq += static_cast<uint32_t>(payload.size()) + ((flags & 0x02) != 0 ? 1 : 0);
    Packet(6, segment);
  }
  void Write(const std::string& path) const {
    std::vector<uint8_t> file;
    for (uint32_t v : {0xA1B2C3D4u}) Put32(file, v);
    Put16(file, 2);
    Put16(file, 4);
    Put32(file, 0);
    Put32(file, 0);
    Put32(file, 65535);
    Put32(file, 101);
    uint32_t second = 1;
    for (const auto& packet : packets_) {
      for (uint32_t v : {second++, 0u, static_cast<uint32_t>(packet.size()),
                         static_cast<uint32_t>(packet.size())}) {
        Put32(file, v);
      }
      file.insert(file.end(), packet.begin(), packet.end());
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
  }

 private:
  static void Ports(std::vector<uint8_t>& out, bool toServer) {
    Put16(out, toServer ? kHostPort : kHartIpPort);
    Put16(out, toServer ? kHartIpPort : kHostPort);
  }
  void Packet(uint8_t protocol, const std::vector<uint8_t>& segment) {
    std::vector<uint8_t> ip{0x45, 0};
    Put16(ip, static_cast<uint16_t>(20 + segment.size()));
    Put16(ip, static_cast<uint16_t>(packets_.size()));
    Put16(ip, 0x4000);
    ip.push_back(64);
    ip.push_back(protocol);
    Put16(ip, 0);
    Put32(ip, 0x7F000001);
    Put32(ip, 0x7F000001);
    uint32_t sum = 0;
    for (std::size_t i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<uint8_t>(~sum >> 8);
    ip[11] = static_cast<uint8_t>(~sum);
    ip.insert(ip.end(), segment.begin(), segment.end());
    packets_.push_back(std::move(ip));
  }
  std::vector<std::vector<uint8_t>> packets_;
  uint32_t hostSeq_ = 1000, serverSeq_ = 5000;
};

inline std::string Output(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
  }
  return output;
}

}  // namespace qln::test
