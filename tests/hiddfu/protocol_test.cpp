// The messages as they lie in a report, byte for byte where docs/protocol.md places them: the
// library and the dongle share Encode and Decode, so only these tests see a field move.
#include <gtest/gtest.h>

#include "hiddfu/protocol.h"

namespace {

namespace proto = hiddfu::proto;
using proto::Report;

TEST(Protocol, CommandsLieWhereTheProtocolPlacesThem) {
  proto::HeaderRequest header{2, {}};
  header.bytes.fill(0xA5);
  Report r = proto::Encode(header, 0x11);
  EXPECT_EQ(r[0], 0x06);
  EXPECT_EQ(r[2], 0x11);
  EXPECT_EQ(r[3], 2);
  EXPECT_EQ(r[4], 0xA5);
  EXPECT_EQ(r[35], 0xA5);
  EXPECT_EQ(r[36], 0);
  EXPECT_TRUE(proto::Intact(r));

  proto::StartRequest start{{}, 64};
  start.headerDigest.fill(0x5A);
  r = proto::Encode(start, 0x12);
  EXPECT_EQ(r[0], 0x02);
  EXPECT_EQ(r[3], 0x5A);
  EXPECT_EQ(r[34], 0x5A);
  EXPECT_EQ(r[35], 64);
  EXPECT_EQ(proto::DecodeStartRequest(r), start);

  r = proto::Encode(proto::ConfirmRequest{1}, 0x13);
  EXPECT_EQ(r[0], 0x07);
  EXPECT_EQ(r[3], 1);
  for (const Report& bare :
       {proto::Encode(proto::InfoRequest{}, 1), proto::Encode(proto::VerifyRequest{}, 1),
        proto::Encode(proto::ActivateRequest{}, 1), proto::Encode(proto::AbortRequest{}, 1)})
    EXPECT_EQ(std::count(bare.begin() + 3, bare.end(), 0), 61) << int(bare[0]);
}

TEST(Protocol, TheInfoReplyCarriesEveryFieldInItsPlace) {
  proto::InfoReply info;
  info.activeSlot = 1;
  info.completion = 101;
  info.bootCount = 0x0203;
  info.capacity = 0x01000000;
  info.running = {1, 2, 0, 7};
  info.slotStates[1] = {{1, 2, 0, 7}, proto::kSlotBootable | proto::kSlotOnTrial};
  info.eraseBlock = 65536;
  info.eraseMs = 150;
  info.readMs = 32;
  info.restartMs = 500;
  info.product = 1;
  info.hardwareRevision = 2;
  info.securityCounter = 0x0A0B0C0D;
  const Report r = proto::Encode(info, 0x44);
  EXPECT_EQ(r[0], 0x41);
  EXPECT_EQ(r[2], 0x44);
  EXPECT_EQ(r[3], proto::kOk);
  EXPECT_EQ(r[4], proto::kProtocolVersion);
  EXPECT_EQ(r[5], 1);
  EXPECT_EQ(r[7], 101);
  EXPECT_EQ(hiddfu::Get16(&r[8]), 0x0203);
  EXPECT_EQ(hiddfu::Get32(&r[10]), 0x01000000u);
  EXPECT_EQ(hiddfu::Get16(&r[14]), 1);
  EXPECT_EQ(hiddfu::Get16(&r[20]), 7);
  EXPECT_EQ(hiddfu::Get16(&r[31]), 1);  // slot 1's version
  EXPECT_EQ(r[39], proto::kSlotBootable | proto::kSlotOnTrial);
  EXPECT_EQ(hiddfu::Get32(&r[40]), 65536u);
  EXPECT_EQ(hiddfu::Get16(&r[44]), 150);
  EXPECT_EQ(hiddfu::Get16(&r[48]), 500);
  EXPECT_EQ(hiddfu::Get16(&r[52]), 2);
  EXPECT_EQ(hiddfu::Get32(&r[54]), 0x0A0B0C0Du);
  const auto back = proto::DecodeInfoReply(r);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->securityCounter, info.securityCounter);
  EXPECT_EQ(back->slotStates[1].flags, info.slotStates[1].flags);
}

TEST(Protocol, RepliesAcknowledgementsAndData) {
  Report r = proto::Encode(proto::StartReply{.status = proto::kWorking, .work = {3, 9}}, 5);
  EXPECT_EQ(r[3], proto::kWorking);
  EXPECT_EQ(hiddfu::Get32(&r[4]), 3u);
  EXPECT_EQ(hiddfu::Get32(&r[8]), 9u);
  r = proto::Encode(proto::StartReply{.slot = 1, .window = 64, .capacity = 1u << 24}, 5);
  EXPECT_EQ(r[4], 1);
  EXPECT_EQ(r[5], 64);
  EXPECT_EQ(hiddfu::Get32(&r[6]), 1u << 24);
  r = proto::Encode(proto::VerifyReply{.status = proto::kIncomplete, .received = 77}, 5);
  EXPECT_EQ(hiddfu::Get32(&r[4]), 77u);
  EXPECT_EQ(proto::Encode(proto::ActivateReply{.slot = 1}, 5)[4], 1);
  EXPECT_EQ(proto::Encode(proto::ConfirmReply{.status = 33, .slot = 0}, 5)[3], 33);

  r = proto::Encode(proto::Acknowledgement{true, 12, 744});
  EXPECT_EQ(r[0], 0x51);
  EXPECT_EQ(hiddfu::Get32(&r[2]), 12u);
  EXPECT_EQ(hiddfu::Get32(&r[6]), 744u);

  proto::Data data;
  data.sequence = 130;  // kept modulo 128
  data.payload.fill(0xEE);
  r = proto::Encode(data);
  EXPECT_EQ(r[0], 0x80 | 2);
  EXPECT_EQ(r[2], 0xEE);
  EXPECT_EQ(r[63], 0xEE);
}

// Decode takes its own type, intact, and nothing else.
TEST(Protocol, DecodeRefusesOtherTypesAndDamagedReports) {
  Report r = proto::Encode(proto::ConfirmReply{.slot = 1}, 9);
  EXPECT_TRUE(proto::DecodeConfirmReply(r));
  EXPECT_FALSE(proto::DecodeActivateReply(r));
  EXPECT_FALSE(proto::DecodeInfoReply(r));
  EXPECT_FALSE(proto::DecodeConfirmRequest(r));
  r[20] ^= 1;
  EXPECT_FALSE(proto::DecodeConfirmReply(r));
  EXPECT_FALSE(proto::DecodeData(proto::Encode(proto::Acknowledgement{})));
  EXPECT_FALSE(proto::DecodeAcknowledgement(proto::Encode(proto::Data{})));
}

}  // namespace
