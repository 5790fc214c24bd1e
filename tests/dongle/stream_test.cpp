// The dongle's side of compressed images, sent to it report by report: it takes a stream
// only where it decodes one, and a stream that does not decode to the payload its header
// signed never makes a slot verified.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/common/compressed_image.h"
#include "tests/dongle/raw_host.h"
#include "tests/hiddfu/fixture.h"

namespace {

namespace proto = hiddfu::proto;

class Stream : public DeviceTest {
 protected:
  // The header parts, then START for it in `form`: the start's status.
  int Start(RawHost& host, const hiddfu::ImageHeader& header, proto::Form form) {
    const hiddfu::HeaderBytes bytes = hiddfu::SignHeader(header, hiddfu::DemoSigningKey());
    for (std::uint8_t part = 0; part < proto::kHeaderParts; ++part) {
      proto::HeaderRequest request{part, {}};
      std::copy_n(bytes.begin() + part * proto::kHeaderPartSize, proto::kHeaderPartSize,
                  request.bytes.begin());
      if (host.Status(request) != proto::kOk)
        return -1;
    }
    hiddfu::Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    proto::StartRequest start{sha.Final(), 8};
    start.form = form;
    return host.Status(start);
  }

  // Every data report of `stored`, one at a time (the window is the host's business).
  void SendAll(RawHost& host, const std::string& stored) {
    for (std::size_t i = 0; i * proto::kDataPayload < stored.size(); ++i) {
      proto::Data data;
      data.sequence = static_cast<std::uint8_t>(i % proto::kSequenceModulus);
      const std::string part = stored.substr(i * proto::kDataPayload, proto::kDataPayload);
      std::copy(part.begin(), part.end(), data.payload.begin());
      ASSERT_TRUE(host.Send(proto::Encode(data)));
      host.Drain();
    }
  }

  const std::string payload_ = CompressiblePayload(40000);
  const std::string stream_ = Compress(payload_);
};

TEST_F(Stream, IsTakenOnlyWhereTheDongleDecodesIt) {
  const hiddfu::ImageHeader compressed = CompressedHeader(payload_, stream_, kNewVersion);
  VirtualDongle::SetDecoder(VirtualDongle::kNoDecoder);
  {
    RawHost host;
    ASSERT_TRUE(host);
    EXPECT_EQ(Start(host, compressed, proto::Form::kStream), proto::kCannotDecode);
    EXPECT_EQ(Start(host, compressed, static_cast<proto::Form>(7)), proto::kCannotDecode);
    EXPECT_EQ(Start(host, compressed, proto::Form::kPayload), proto::kOk) << "decoded by the host";
  }
  VirtualDongle::SetDecoder({});
  RawHost host;
  ASSERT_TRUE(host);
  hiddfu::ImageHeader stored;  // a stream of an image that is not compressed
  stored.version = kNewVersion;
  stored.payloadSize = 100;
  EXPECT_EQ(Start(host, stored, proto::Form::kStream), proto::kCannotDecode);
}

TEST_F(Stream, ThatDoesNotDecodeToItsPayloadNeverVerifies) {
  std::string damaged = stream_;
  damaged[damaged.size() / 3] ^= 0x40;
  hiddfu::ImageHeader cut = CompressedHeader(payload_, stream_, kNewVersion);
  cut.storedSize -= 10;
  hiddfu::ImageHeader smaller = CompressedHeader(payload_, stream_, kNewVersion);
  smaller.payloadSize = 30000;  // the stream would write beyond it
  const std::pair<hiddfu::ImageHeader, std::string> cases[] = {
      {CompressedHeader(payload_, stream_, kNewVersion), damaged},
      {cut, stream_.substr(0, stream_.size() - 10)},
      {smaller, stream_}};
  for (const auto& [header, stored] : cases) {
    RawHost host;
    ASSERT_TRUE(host);
    ASSERT_EQ(Start(host, header, proto::Form::kStream), proto::kOk);
    SendAll(host, stored);
    EXPECT_EQ(host.Status(proto::VerifyRequest{}), proto::kBadStream);
    EXPECT_EQ(host.Status(proto::ActivateRequest{}), proto::kNotVerified);
    EXPECT_FALSE(VirtualDongle::GetSlot(1).verified);
  }
  // The same dongle then takes the good stream.
  RawHost host;
  ASSERT_TRUE(host);
  ASSERT_EQ(Start(host, CompressedHeader(payload_, stream_, kNewVersion), proto::Form::kStream),
            proto::kOk);
  SendAll(host, stream_);
  EXPECT_EQ(host.Status(proto::VerifyRequest{}), proto::kOk);
  EXPECT_TRUE(VirtualDongle::GetSlot(1).verified);
}

}  // namespace
