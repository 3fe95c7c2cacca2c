// A mixed serial and HART-IP session captured: tshark decodes the file with its stock HART-IP
// dissector, finds nothing malformed, and the token-passing frames in it are the traffic log's.
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "base/traffic_line.h"
#include "e2e/e2e_fixture.h"
#include "e2e/pcap_writer.h"
#include "hartip/hartip_client.h"

namespace qln::test {
namespace {

class Capture : public SimulatorOnPty {};

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

TEST_F(Capture, TsharkDecodesMixedSessionAsTheTrafficLogHasIt) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
  }
  const std::filesystem::path file = dir_.Path() / "session.pcapng";
  ASSERT_TRUE(simulator_.StartCapture(file, 1 << 20));
  Start();
  ASSERT_TRUE(simulator_.StartHartIp("127.0.0.1", 0));
  // The dissector knows HART-IP by port 5094; the server's free port is named to it.
  const std::string port = std::to_string(simulator_.HartIpPort());

  ASSERT_TRUE(master_->Transact(ShortFrame(0)));
  const uint8_t initiate[5] = {1, 0, 0, 0xEA, 0x60};
  for (auto transport : {HartIpClient::Transport::Udp, HartIpClient::Transport::Tcp}) {
    HartIpClient client(transport, simulator_.HartIpPort());
    for (const auto& request :
         {IpRequest(0, 1, initiate), IpRequest(3, 2, ShortFrame(0)), IpRequest(1, 3)}) {
      client.SendRaw(request);
      ASSERT_TRUE(client.Receive());
    }
  }
  ASSERT_TRUE(master_->Transact(ShortFrame(0)));
  simulator_.StopHartIp();
  simulator_.Close();
  simulator_.StopCapture();

  const std::string tshark = "tshark -n -d udp.port==" + port + ",hart_ip -d tcp.port==" + port +
                             ",hart_ip -r " + file.string() + " ";
  EXPECT_EQ(Output(tshark + "-Y '_ws.malformed || _ws.expert.severity >= error' 2>/dev/null"), "");
  // The frames of the token-passing messages (the header's 8 bytes left out), as tshark finds
  // them, against those of the traffic log; the order of the two transports may differ.
  std::vector<std::string> captured, logged;
  std::istringstream payloads(Output(tshark + "-Y 'hart_ip.message_id == 3' -T fields "
                                              "-e udp.payload -e tcp.payload 2>/dev/null"));
  for (std::string line; std::getline(payloads, line);) {
    line.erase(std::remove(line.begin(), line.end(), '\t'), line.end());
    captured.push_back(line.substr(16));
  }
  for (const std::string& line : recorder_.Lines()) {
    const std::optional<TrafficRecord> record = ParseTrafficLine(line.substr(2));
    if (record) logged.push_back(Hex(record->bytes));
  }
  std::sort(captured.begin(), captured.end());
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(captured.size(), 8u);  // 2 serial and 2 HART-IP exchanges
  EXPECT_EQ(captured, logged);
  // The serial frames travel between the line's two addresses.
  const std::string fromMaster = Output(tshark +
                                        "-Y 'ip.src == 169.254.72.1 && hart_ip.message_type == 0' "
                                        "-T fields -e frame.number 2>/dev/null");
  EXPECT_EQ(std::count(fromMaster.begin(), fromMaster.end(), '\n'), 2) << fromMaster;
}

}  // namespace
}  // namespace qln::test
