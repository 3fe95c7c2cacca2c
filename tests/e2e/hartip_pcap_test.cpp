// Where tshark is installed: a HART-IP exchange with the simulator, written as a capture file,
// must decode as HART-IP in every packet, with no packet marked malformed.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/pcap_writer.h"
#include "hartip/hartip_client.h"

namespace qln::test {
namespace {

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
