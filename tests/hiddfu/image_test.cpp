// The image format and the zav-mkimage tool.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/wait.h>

#include "hiddfu/image.h"
#include "tests/common/temp_dir.h"

namespace {

using hiddfu::FirmwareVersion;

std::array<std::uint8_t, hiddfu::kImageHeaderSize> HeaderOf(const std::string& image) {
  std::array<std::uint8_t, hiddfu::kImageHeaderSize> h{};
  std::memcpy(h.data(), image.data(), h.size());
  return h;
}

// Every header byte counts: a change anywhere makes the header invalid or its signature
// wrong, and only the key that signed it verifies it.
TEST(ImageFormat, HeaderRoundTripsAndEveryHeaderByteIsSigned) {
  hiddfu::ImageHeader fields;
  fields.version = {3, 1, 4, 1};
  fields.product = 0x0102;
  fields.hardwareRevision = 7;
  fields.securityCounter = 0x01020304;
  const hiddfu::SigningKey& key = hiddfu::DemoSigningKey();
  const std::string image = hiddfu::MakeImageBytes("payload bytes", fields, key);
  ASSERT_EQ(image.size(), 128u + 13u);
  std::string why;
  const auto header = hiddfu::DecodeHeader(HeaderOf(image), &why);
  ASSERT_TRUE(header) << why;
  EXPECT_EQ(header->version, fields.version);
  EXPECT_EQ(header->payloadSize, 13u);
  EXPECT_EQ(header->product, 0x0102);
  EXPECT_EQ(header->hardwareRevision, 7);
  EXPECT_EQ(header->securityCounter, 0x01020304u);
  EXPECT_TRUE(hiddfu::SignedBy(HeaderOf(image), key.Public()));
  EXPECT_FALSE(hiddfu::SignedBy(HeaderOf(image), hiddfu::SigningKey::Generate().Public()));

  for (std::size_t at = 0; at < hiddfu::kImageHeaderSize; ++at) {
    for (std::uint8_t flip : {0x01, 0x80}) {
      auto bytes = HeaderOf(image);
      bytes[at] ^= flip;
      EXPECT_FALSE(hiddfu::DecodeHeader(bytes, &why) && hiddfu::SignedBy(bytes, key.Public()))
          << "byte " << at << " changed unnoticed";
    }
  }
}

TEST(ImageFormat, VersionsParseStrictly) {
  EXPECT_EQ(FirmwareVersion::Parse("1.2.0.7"), (FirmwareVersion{1, 2, 0, 7}));
  EXPECT_EQ(FirmwareVersion::Parse("2"), (FirmwareVersion{2, 0, 0, 0}));
  EXPECT_EQ(FirmwareVersion::Parse("65535.0.0.1")->ToString(), "65535.0.0.1");
  for (const char* bad : {"", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "1.a", "-1", " 1"}) {
    EXPECT_FALSE(FirmwareVersion::Parse(bad)) << bad;
  }
}

class MkImage : public testing::Test {
 protected:
  // Runs the tool; returns its exit status and keeps its standard output.
  int Run(const std::string& args) {
    const std::string out = (dir_.path() / "stdout").string();
    const int status =
        std::system((std::string(ZAV_MKIMAGE) + " " + args + " >" + out + " 2>&1").c_str());
    std::ifstream in(out);
    output_.assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string P(const char* name) const { return (dir_.path() / name).string(); }

  TempDir dir_{"zav-mkimage"};
  std::string output_;
};

const std::string kKey = std::string("--key ") + ZAV_DEMO_SIGNING_KEY + " ";

TEST_F(MkImage, WrapsAPayloadIntoASignedImageTheLibraryAccepts) {
  std::ofstream(P("payload")) << std::string(100000, 'q');
  ASSERT_EQ(Run(kKey + "--version 1.2.0.7 --product 0x0203 --hardware 4 --counter 9 " +
                P("payload") + " " + P("fw.bin")),
            0)
      << output_;
  std::string error;
  hiddfu::ImageRequirements demoKey;
  demoKey.trustedKey = hiddfu::DemoSigningKey().Public();
  const auto image = hiddfu::CheckImageFile(P("fw.bin"), &error, demoKey);
  ASSERT_TRUE(image) << error;
  EXPECT_EQ(image->header.payloadSize, 100000u);
  EXPECT_EQ(image->header.version, (FirmwareVersion{1, 2, 0, 7}));

  ASSERT_EQ(Run("--inspect " + P("fw.bin") + " --pubkey " + ZAV_DEMO_PUBLIC_KEY_FILE), 0)
      << output_;
  EXPECT_NE(output_.find("version 1.2.0.7\nproduct 0x0203\nhardware revision 4\nsecurity "
                         "counter 9\npayload 100000 bytes\n"),
            std::string::npos)
      << output_;
  EXPECT_NE(output_.find("signature valid"), std::string::npos) << output_;

  ASSERT_EQ(Run(kKey + "--version 2.0 --fill 64K " + P("filled.bin")), 0) << output_;
  const auto filled = hiddfu::CheckImageFile(P("filled.bin"), &error, demoKey);
  ASSERT_TRUE(filled) << error;
  EXPECT_EQ(filled->header.payloadSize, 65536u);
  EXPECT_EQ(filled->header.product, hiddfu::kMarloDongle);
  EXPECT_EQ(filled->header.sha256, hiddfu::FilledPayloadDigest(65536, 1));
}

// --compress stores the payload as a stream under the same signed digest; --inspect checks
// it by decoding it and shows the ratio; an unknown architecture makes no image.
TEST_F(MkImage, CompressesWithTheFilterOfTheArchitecture) {
  std::string payload;
  for (int i = 0; payload.size() < 200000; ++i)
    payload += "\x00\xb5" + std::to_string(i % 300) + "\x4b\xf0";
  std::ofstream(P("payload"), std::ios::binary) << payload;
  ASSERT_EQ(Run(kKey + "--version 1.2.0.7 --compress --arch arm-thumb " + P("payload") + " " +
                P("fw.bin")),
            0)
      << output_;
  std::string error;
  const auto image = hiddfu::CheckImageFile(P("fw.bin"), &error);
  ASSERT_TRUE(image) << error;
  EXPECT_EQ(image->header.format, hiddfu::kCompressedFormatVersion);
  EXPECT_EQ(image->header.filter, hiddfu::BranchFilter::kArmThumb);
  EXPECT_EQ(image->header.payloadSize, payload.size());
  EXPECT_LT(image->header.storedSize, payload.size() / 4);
  ASSERT_EQ(Run("--inspect " + P("fw.bin")), 0) << output_;
  EXPECT_NE(output_.find("format 3\n"), std::string::npos) << output_;
  EXPECT_NE(output_.find("compression lzma2, branch filter arm-thumb, dictionary 64 KiB"),
            std::string::npos)
      << output_;
  EXPECT_NE(output_.find("compression ratio 0."), std::string::npos) << output_;

  EXPECT_EQ(Run(kKey + "--version 1.2 --compress --arch riscv " + P("payload") + " " + P("x.bin")),
            2);
  EXPECT_EQ(Run(kKey + "--version 1.2 --arch arm " + P("payload") + " " + P("x.bin")), 2)
      << "--arch without --compress";
  EXPECT_FALSE(std::filesystem::exists(P("x.bin")));
}

// The vendor's key need not lie on disk in the clear: encrypted, with its passphrase from a
// file or a descriptor (never the command line), or in another program's keeping, which
// signs what it gets on its input. Each image is checked with the public key; a failure
// names its cause and leaves no image.
TEST_F(MkImage, SignsWithAnEncryptedKeyOrThroughAnotherProgram) {
  const std::string openssl = ZAV_OPENSSL;
  std::ofstream(P("pass")) << "correct horse\n";
  std::ofstream(P("wrong")) << "wrong horse\n";
  ASSERT_EQ(
      std::system((openssl + " genpkey -algorithm ed25519 -aes-256-cbc -pass file:" + P("pass") +
                   " -out " + P("enc.pem") + " && " + openssl + " pkey -in " + P("enc.pem") +
                   " -passin file:" + P("pass") + " -out " + P("key.pem") + " && " + openssl +
                   " pkey -in " + P("key.pem") + " -pubout -out " + P("key.pub") + " && " +
                   openssl + " genpkey -algorithm ed25519 -out " + P("other.pem"))
                      .c_str()),
      0);
  const std::string version = " --version 1.2.0.7 --fill 4K ";
  const auto signer = [&](const char* key) {
    return "--sign-with '" + openssl + " pkeyutl -sign -inkey " + P(key) +
           " -rawin -in /dev/stdin' --pubkey " + P("key.pub");
  };
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"--key " + P("enc.pem") + " --passphrase-file " + P("pass"), 0, ""},
      {"--key " + P("enc.pem") + " --passphrase-fd 3", 0, ""},
      {signer("key.pem"), 0, ""},
      {"--key " + P("enc.pem"), 1, "holds the key encrypted: its passphrase is needed"},
      {"--key " + P("enc.pem") + " --passphrase-file " + P("wrong"), 1,
       "the passphrase does not decrypt the key"},
      {"--key " + P("enc.pem") + " --passphrase 'correct horse'", 2, "usage:"},
      {signer("other.pem"), 1, "the signature does not verify with " + P("key.pub")},
      {"--sign-with 'exit 3' --pubkey " + P("key.pub"), 1, "failed (exit status 3)"},
      {"--sign-with 'echo short' --pubkey " + P("key.pub"), 1,
       "answered 6 bytes, not a 64-byte signature"},
      {"--sign-with 'cat' ", 2, "usage:"},
  };
  hiddfu::ImageRequirements vendorKey;
  std::string error;
  vendorKey.trustedKey = hiddfu::LoadPublicKey(P("key.pub"), &error);
  ASSERT_TRUE(vendorKey.trustedKey) << error;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    std::filesystem::remove(P("fw.bin"));
    EXPECT_EQ(Run(c.args + version + P("fw.bin") + " 3<" + P("pass")), c.status) << output_;
    EXPECT_NE(output_.find(c.message), std::string::npos) << output_;
    EXPECT_EQ(hiddfu::CheckImageFile(P("fw.bin"), &error, vendorKey).has_value(), c.status == 0)
        << error;
    EXPECT_EQ(std::filesystem::exists(P("fw.bin")), c.status == 0);
  }
}

TEST_F(MkImage, RefusesBadInputWithoutLeavingAnImage) {
  EXPECT_EQ(Run(""), 2);
  EXPECT_EQ(Run("--version 1 --fill 1K " + P("b")), 2) << "no key";
  EXPECT_EQ(Run(kKey + "--version 1.x " + P("a") + " " + P("b")), 2);
  EXPECT_EQ(Run(kKey + "--version 1 --fill 0 " + P("b")), 2);
  EXPECT_EQ(Run(kKey + "--version 1 --product 65536 --fill 1K " + P("b")), 2);
  EXPECT_EQ(Run(kKey + "--version 1 --counter -1 --fill 1K " + P("b")), 2);
  EXPECT_EQ(Run("--key " + P("missing") + " --version 1 --fill 1K " + P("b")), 1);
  EXPECT_EQ(Run(kKey + "--version 1 " + P("missing") + " " + P("b")), 1);
  std::ofstream(P("empty"));
  EXPECT_EQ(Run(kKey + "--version 1 " + P("empty") + " " + P("b")), 1);
  EXPECT_FALSE(std::filesystem::exists(P("b")));
  std::ofstream(P("same")) << "firmware";
  EXPECT_EQ(Run(kKey + "--version 1 " + P("same") + " " + P("same")), 1);
  std::ifstream in(P("same"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "firmware") << "payload kept";
  EXPECT_EQ(Run("--inspect " + P("same")), 1);
  EXPECT_NE(output_.find("image header invalid"), std::string::npos) << output_;
}

}  // namespace
