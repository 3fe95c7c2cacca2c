#include "hartip/hartip_codec.h"

#include <gtest/gtest.h>

#include "hartip/hartip_client.h"

namespace qln::hartip {
namespace {

using test::IpRequest;

TEST(HartIpCodec, ReassemblesMessagesSplitAndJoinedInTheStream) {
  const uint8_t body[5] = {1, 0, 0, 0x27, 0x10};
  std::vector<uint8_t> stream = IpRequest(0, 7, body);
  const std::vector<uint8_t> keepAlive = IpRequest(2, 8);
  stream.insert(stream.end(), keepAlive.begin(), keepAlive.end());

  StreamReassembler reassembler;
  // Three bytes first: no header yet.
  EXPECT_EQ(reassembler.Feed({stream.data(), 3}), 3u);
  EXPECT_FALSE(reassembler.Next());
  // The rest in one piece: both messages come out, in order, and nothing more.
  EXPECT_EQ(reassembler.Feed({stream.data() + 3, stream.size() - 3}), stream.size() - 3);
  const auto first = reassembler.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 13u);
  const auto second = reassembler.Next();
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, keepAlive);
  EXPECT_FALSE(reassembler.Next());
  EXPECT_FALSE(reassembler.Broken());
}

TEST(HartIpCodec, ByteCountOutsideEightTo512BreaksTheStreamAndBoundsTheBuffer) {
  for (uint16_t count : {0, 7, 513, 0xFFFF}) {
    StreamReassembler reassembler;
    reassembler.Feed(IpRequest(2, 1, {}, count));
    EXPECT_FALSE(reassembler.Next());
    EXPECT_TRUE(reassembler.Broken()) << count;
    EXPECT_EQ(reassembler.BadByteCount(), count);
  }
  // A 512-byte message is the longest taken; the buffer never holds more than one.
  StreamReassembler reassembler;
  std::vector<uint8_t> big = IpRequest(3, 1, std::vector<uint8_t>(504, 0));
  big.resize(600, 0xEE);
  EXPECT_EQ(reassembler.Feed(big), 512u);
  EXPECT_EQ(reassembler.Next()->size(), 512u);
}

TEST(HartIpCodec, ClassifiesRequestsAndRefusesMalformedOnes) {
  const uint8_t primary[5] = {1, 0, 0, 0x75, 0x30};
  Request r = ClassifyRequest(IpRequest(0, 5, primary), false);
  EXPECT_EQ(r.kind, RequestKind::SessionInitiate);
  EXPECT_TRUE(r.primaryMaster);
  EXPECT_EQ(r.inactivityMs, 30000u);
  EXPECT_EQ(r.status, kStatusSuccess);

  // A timer below the shortest is raised to it, with status 8 in the answer.
  const uint8_t shortTimer[5] = {0, 0, 0, 0, 10};
  r = ClassifyRequest(IpRequest(0, 6, shortTimer), false);
  EXPECT_FALSE(r.primaryMaster);
  EXPECT_EQ(r.inactivityMs, kMinInactivityMs);
  const auto answer = AnswerRequest(r);
  ASSERT_TRUE(answer);
  const std::vector<uint8_t> expected{1, 1, 0, 8, 0, 6, 0, 13, 0, 0, 0, 0x03, 0xE8};
  EXPECT_EQ(*answer, expected);
  // A timer above the longest is lowered to it, and a version-2 initiate answered in version 2.
  const uint8_t forever[5] = {1, 0xFF, 0xFF, 0xFF, 0xFF};
  r = ClassifyRequest(IpRequest(0, 7, forever, std::nullopt, 2), false);
  EXPECT_EQ(r.inactivityMs, kMaxInactivityMs);
  EXPECT_EQ(AnswerRequest(r)->at(0), 2);
  EXPECT_EQ(AnswerRequest(r)->at(3), kStatusSetToNearest);

  struct Case {
    std::vector<uint8_t> message;
    bool inSession;
    uint8_t status;
  };
  const uint8_t badMaster[5] = {2, 0, 0, 0, 0};
  const uint8_t incomplete[4] = {0x02, 0x80, 0x00, 0x00};  // no checksum
  const std::vector<Case> cases{
      {IpRequest(0, 1, {}), false, kStatusTooFewDataBytes},          // initiate, no body
      {IpRequest(0, 1, badMaster), false, kStatusInvalidSelection},  // master type 2
      {IpRequest(0, 1, primary), true, kStatusAccessRestricted},     // second initiate
      {IpRequest(2, 1), false, kStatusAccessRestricted},             // keep alive, no session
      {IpRequest(3, 1, incomplete), true, kStatusTooFewDataBytes},   // frame incomplete
      {IpRequest(9, 1), true, kStatusInvalidSelection},              // unknown message ID
      {IpRequest(2, 1, {}, std::nullopt, 3), true, kStatusVersionNotSupported},
      {IpRequest(2, 1, {}, 20), true, kStatusTooFewDataBytes},  // datagram shorter
      {IpRequest(4, 1, std::vector<uint8_t>{0, 0, 0, 0, 0}), false, kStatusAccessRestricted},
      {IpRequest(4, 1, std::vector<uint8_t>{0, 0}), true, kStatusTooFewDataBytes},  // no command
      {IpRequest(4, 1, std::vector<uint8_t>{0, 0, 0, 0, 1, 7, 0}), true,
       kStatusTooFewDataBytes},  // a second command cut short
      {IpRequest(5, 1, std::vector<uint8_t>{0}), true, kStatusTooFewDataBytes},  // audit log
  };
  for (const Case& c : cases) {
    r = ClassifyRequest(c.message, c.inSession);
    EXPECT_EQ(r.kind, RequestKind::Refuse);
    EXPECT_EQ(r.status, c.status) << int(c.message[2]);
    const auto error = AnswerRequest(r);
    ASSERT_TRUE(error);
    // An error: version 1, type 3, the request's ID and sequence number, header only.
    EXPECT_EQ(*error, (std::vector<uint8_t>{1, 3, c.message[2], c.status, 0, 1, 0, 8}));
  }
  // A host's own response or publish message is not answered.
  std::vector<uint8_t> response = IpRequest(2, 1);
  response[1] = 1;
  EXPECT_EQ(ClassifyRequest(response, true).kind, RequestKind::Ignore);
}

}  // namespace
}  // namespace qln::hartip
