#include "device/replay_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qln {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kCaptures = fs::path(QLN_SOURCE_DIR) / "tests/data/captures";

void Le32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A pcapng file of raw IPv4 packets (link type 228): UDP datagrams between a host's port 50940
// and port 5094, each carrying the given payload.
struct PcapngBuilder {
  Bytes file;
  PcapngBuilder() {
    Block(0x0A0D0D0A,
          {0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Block(1, {228, 0, 0, 0, 0xFF, 0xFF, 0, 0});
  }
  void Block(uint32_t type, const Bytes& body) {
    const auto padded = (body.size() + 3) / 4 * 4;
    Le32(file, type);
    Le32(file, static_cast<uint32_t>(12 + padded));
    file.insert(file.end(), body.begin(), body.end());
    file.resize(file.size() + padded - body.size());
    Le32(file, static_cast<uint32_t>(12 + padded));
  }
  void Udp(bool toDevice, const Bytes& payload) {
    const auto length = static_cast<uint16_t>(28 + payload.size());
    Bytes ip{0x45,
             0,
             static_cast<uint8_t>(length >> 8),
             static_cast<uint8_t>(length),
             0,
             0,
             0,
             0,
             64,
             17,
             0,
             0,
             169,
             254,
             72,
             1,
             169,
             254,
             72,
             2};
    if (!toDevice) std::swap_ranges(ip.begin() + 12, ip.begin() + 16, ip.begin() + 16);
    const uint16_t from = toDevice ? 50940 : 5094;
    const uint16_t to = toDevice ? 5094 : 50940;
    const auto udpLength = static_cast<uint16_t>(8 + payload.size());
    for (uint16_t v : {from, to, udpLength, uint16_t{0}}) {
      ip.push_back(static_cast<uint8_t>(v >> 8));
      ip.push_back(static_cast<uint8_t>(v));
    }
    ip.insert(ip.end(), payload.begin(), payload.end());
    Bytes body;
    for (uint32_t v :
         {0u, 0u, 0u, static_cast<uint32_t>(ip.size()), static_cast<uint32_t>(ip.size())}) {
      Le32(body, v);
    }
    body.insert(body.end(), ip.begin(), ip.end());
    Block(6, body);
  }
  // A token-passing PDU around a HART frame, the checksum appended.
  void Frame(bool request, uint16_t sequence, Bytes frame) {
    uint8_t sum = 0;
    for (uint8_t b : frame) sum ^= b;
    frame.push_back(sum);
    const auto count = static_cast<uint16_t>(8 + frame.size());
    Bytes pdu{1,
              static_cast<uint8_t>(request ? 0 : 1),
              3,
              0,
              static_cast<uint8_t>(sequence >> 8),
              static_cast<uint8_t>(sequence),
              static_cast<uint8_t>(count >> 8),
              static_cast<uint8_t>(count)};
    pdu.insert(pdu.end(), frame.begin(), frame.end());
    Udp(request, pdu);
  }
};

TEST(ReplayCapture, PublicCaptureOfARealDeviceIndexesItsRequestsAndReplies) {
  auto index = ReplayIndex::Load(kCaptures / "hart-ip_all_types_and_commands_sent.pcapng");
  ASSERT_TRUE(index) << index.error();
  ReplayIndex& replay = **index;
  EXPECT_GT(replay.Pairs(), 40u);
  // Command 0 was asked in a token-passing PDU (refused with 0x84, no data), then in a direct
  // PDU: the device's identity, response code 0. The replies come in turn.
  const RecordedReply* tokenPassing = replay.Next(0, {});
  ASSERT_NE(tokenPassing, nullptr);
  EXPECT_EQ(tokenPassing->ResponseCode, 0x84);
  EXPECT_TRUE(tokenPassing->Data.empty());
  const RecordedReply* identity = replay.Next(0, {});
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(identity->ResponseCode, 0);
  EXPECT_EQ(identity->Data,
            (Bytes{0xFE, 0xF9, 0xFD, 0x00, 0x07, 0x02, 0x32, 0x4E, 0x00, 0x95, 0x26,
                   0x6F, 0x00, 0x03, 0x00, 0x0A, 0x01, 0x00, 0xF9, 0x00, 0xF9, 0x41}));
  EXPECT_EQ(replay.Next(0, {}), tokenPassing);
  replay.Next(1, {});
  const RecordedReply* pv = replay.Next(1, {});
  ASSERT_NE(pv, nullptr);
  EXPECT_EQ(pv->Data, (Bytes{0x4B, 0x46, 0x3C, 0x42, 0x9E}));
  // Command 54 with data 00 in token-passing PDUs, asked twice and refused both times.
  const RecordedReply* refused = replay.Next(54, Bytes{0x00});
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->ResponseCode, 0x84);
  EXPECT_TRUE(refused->Data.empty());
  // What was not asked, or asked with other data, is not found.
  EXPECT_EQ(replay.Next(54, Bytes{0x01, 0x02}), nullptr);
  EXPECT_EQ(replay.Next(200, {}), nullptr);

  // The same session cut short in classic pcap form (the fuzz target's seed) reads the same.
  auto classic = ReplayIndex::Load(fs::path(QLN_SOURCE_DIR) /
                                   "fuzz/corpus/capture_reader_fuzz/tcp-ethernet.pcap");
  ASSERT_TRUE(classic) << classic.error();
  EXPECT_EQ((*classic)->Next(0, {})->ResponseCode, 0x84);
  EXPECT_EQ((*classic)->Next(0, {})->Data, identity->Data);

  auto publish = ReplayIndex::Load(kCaptures / "hart-ip_publish_and_keepAlive.pcapng");
  ASSERT_TRUE(publish) << publish.error();
  EXPECT_GT((*publish)->Pairs(), 0u);
}

TEST(ReplayCapture, RoundRobinOverTheRepliesOfOneRequestAndTheDataLogForm) {
  PcapngBuilder capture;
  // Command 1 asked three times of a long address, answered with three values; a reply without
  // its sequence number pairs by command.
  for (uint8_t i = 0; i < 3; ++i) {
    capture.Frame(true, static_cast<uint16_t>(2 * i), {0x82, 0xA6, 0x12, 0x34, 0x56, 0x78, 1, 0});
    capture.Frame(false, static_cast<uint16_t>(2 * i + 1),
                  {0x86, 0xA6, 0x12, 0x34, 0x56, 0x78, 1, 7, 0, 0x40, 0x20, 0x41, i, 0, 0});
  }
  auto index = ReplayIndex::Parse(capture.file, "mem.pcapng");
  ASSERT_TRUE(index) << index.error();
  for (uint8_t round : {0, 1, 2, 0}) {
    const RecordedReply* reply = (*index)->Next(1, {});
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->Data, (Bytes{0x20, 0x41, round, 0, 0}));
  }

  const std::string log =
      "12:00:00.000  <==  [IP 127.0.0.1:50123]  02 80 00 00 82 \r\n"
      "12:00:00.010  ==>  [IP 127.0.0.1:50123]  06 80 00 03 00 50 07 D2 \r\n"
      "12:00:01.000  <==  FF FF FF FF FF 02 80 0D 00 8F \r\n"
      "12:00:01.050  ==>  FF FF FF 06 80 0D 02 10 00 99 \r\n";
  auto logged = ReplayIndex::Parse(Bytes(log.begin(), log.end()), "20260101_120000.csv");
  ASSERT_TRUE(logged) << logged.error();
  EXPECT_EQ((*logged)->Pairs(), 2u);
  ASSERT_NE((*logged)->Next(0, {}), nullptr);
  EXPECT_EQ((*logged)->Next(0, {})->Data, Bytes{0x07});
  EXPECT_EQ((*logged)->Next(13, {})->ResponseCode, 0x10);
}

TEST(ReplayCapture, BadFilesAreRefusedNamingTheFileAndTheFault) {
  test::TempDir dir;
  PcapngBuilder good;
  good.Frame(true, 1, {0x02, 0x80, 0, 0});
  good.Frame(false, 1, {0x06, 0x80, 0, 3, 0, 0x50, 7});
  PcapngBuilder oversize;
  Bytes huge{0x82, 0xA6, 1, 2, 3, 4, 130, 255};
  huge.resize(300, 0x11);
  oversize.Frame(true, 1, huge);
  Bytes bigBlock = good.file;
  Le32(bigBlock, 6);
  Le32(bigBlock, 8u << 20);  // a block that says it has 8 MiB
  Le32(bigBlock, 0);
  const std::string longLine = "12:00:00.000  <==  " + std::string(3 * 400, 'F');
  const std::string noPairs = "12:00:00.000  <==  02 80 00 00 82\r\n";
  struct Case {
    const char* name;
    Bytes bytes;
    const char* fault;
  };
  const Case cases[] = {
      {"truncated.pcapng", Bytes(good.file.begin(), good.file.end() - 9), "truncated"},
      {"magic.pcapng", Bytes{0x50, 0x4B, 0x03, 0x04, 0, 0, 0, 0}, "not a pcapng, pcap or DataLog"},
      {"frame.pcapng", oversize.file, "longer than a HART frame can be"},
      {"block.pcapng", bigBlock, "more than the 1 MiB"},
      {"line.csv", Bytes(longLine.begin(), longLine.end()), "more bytes than a HART frame"},
      {"nopairs.csv", Bytes(noPairs.begin(), noPairs.end()), "no HART request with its reply"},
      {"empty.pcapng", {}, "too short"},
  };
  for (const Case& c : cases) {
    const fs::path path = dir / c.name;
    test::WriteFile(path, std::string(c.bytes.begin(), c.bytes.end()));
    const auto index = ReplayIndex::Load(path);
    ASSERT_FALSE(index) << c.name;
    EXPECT_NE(index.error().find(path.string()), std::string::npos) << index.error();
    EXPECT_NE(index.error().find(c.fault), std::string::npos) << index.error();
  }
  // A 2 GB file is refused by its size, before a byte of it is read.
  const fs::path large = dir / "large.pcapng";
  test::WriteFile(large, "");
  fs::resize_file(large, std::uintmax_t{2} << 30);
  const auto index = ReplayIndex::Load(large);
  ASSERT_FALSE(index);
  EXPECT_NE(index.error().find("more than 1 GiB"), std::string::npos) << index.error();
  EXPECT_FALSE(ReplayIndex::Load(dir / "missing.pcapng"));
}

}  // namespace
}  // namespace qln
