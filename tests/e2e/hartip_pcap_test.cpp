// Where tshark is installed: a HART-IP exchange with the simulator, written as a capture file,
// must decode as HART-IP in every packet, with no packet marked malformed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "hartip/hartip_client.h"

namespace qln::test {
namespace {

constexpr uint16_t kHartIpPort = 5094;  // the port the analyser knows HART-IP by
constexpr uint16_t kHostPort = 50123;

std::vector<uint8_t> Serialize(const IpMessage& m) {
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

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
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

std::string Output(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
  }
  return output;
}

class HartIpCapture : public SimulatorOnPty {};

TEST_F(HartIpCapture, AnalyserDecodesEveryPacketAsHartIp) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
  }
  int comNumber = 0;
  ASSERT_TRUE(simulator_.StartUp(comNumber));
  const Result<> started = simulator_.StartHartIp("127.0.0.1", 0);
  ASSERT_TRUE(started) << started.error();

  // One exchange per transport: initiate, commands 0 and 3, no device, keep alive, close.
  const uint8_t initiate[5] = {1, 0, 0, 0xEA, 0x60};
  const std::vector<std::vector<uint8_t>> requests{
      IpRequest(0, 1, initiate), IpRequest(3, 2, ShortFrame(0)), IpRequest(3, 3, ShortFrame(9)),
      IpRequest(2, 4), IpRequest(1, 5)};
  PcapWriter pcap;
  for (auto transport : {HartIpClient::Transport::Udp, HartIpClient::Transport::Tcp}) {
    const bool tcp = transport == HartIpClient::Transport::Tcp;
    HartIpClient client(transport, simulator_.HartIpPort());
    if (tcp) {
      pcap.Tcp(true, 0x02);
      pcap.Tcp(false, 0x12);
      pcap.Tcp(true, 0x10);
    }
    for (const auto& request : requests) {
      client.SendRaw(request);
      const auto response = client.Receive();
      ASSERT_TRUE(response);
      if (tcp) {
        pcap.Tcp(true, 0x18, request);
        pcap.Tcp(false, 0x18, Serialize(*response));
      } else {
        pcap.Udp(true, request);
        pcap.Udp(false, Serialize(*response));
      }
    }
  }
  const std::string file = (dir_.Path() / "hartip.pcap").string();
  pcap.Write(file);
  const std::string tshark = "tshark -n -r " + file + " ";
  // 20 packets carry HART-IP (10 UDP, 10 TCP); the three handshake packets carry none.
  const std::string hartIp = Output(tshark + "-Y hart_ip -T fields -e frame.number 2>/dev/null");
  EXPECT_EQ(std::count(hartIp.begin(), hartIp.end(), '\n'), 20) << hartIp;
  const std::string bad = Output(tshark +
                                 "-Y '_ws.malformed || _ws.expert.severity >= error' "
                                 "2>/dev/null");
  EXPECT_EQ(bad, "");
  // Sanity: the analyser saw the command 0 reply's frame.
  EXPECT_NE(Output(tshark + "-Y 'hart_ip.pt.command == 0' 2>/dev/null"), "");
}

}  // namespace
}  // namespace qln::test
