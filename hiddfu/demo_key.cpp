// Images signed with the demo key pair that the build makes (cmake/ZavSigning.cmake), for
// the demo catalogue, the tests and the benchmarks. Not part of the update library: nothing
// in it refers to this file.
#include <cstdio>
#include <cstdlib>

#include "hiddfu/image.h"

#ifndef ZAV_DEMO_SIGNING_KEY
#error "ZAV_DEMO_SIGNING_KEY must name the build's demo private key"
#endif

namespace hiddfu {

const SigningKey& DemoSigningKey() {
  static const SigningKey* key = [] {
    std::string error;
    auto loaded = SigningKey::Load(ZAV_DEMO_SIGNING_KEY, &error);
    if (!loaded) {
      std::fprintf(stderr, "the build's demo signing key: %s\n", error.c_str());
      std::abort();  // the build made it; without it no image can be made
    }
    return new SigningKey(std::move(*loaded));  // never destroyed: threads may outlive main()
  }();
  return *key;
}

bool WriteFilledImage(const std::string& outPath, FirmwareVersion version, std::uint64_t size,
                      std::uint32_t seed, std::string* error) {
  ImageHeader fields;
  fields.version = version;
  return WriteFilledImage(outPath, fields, size, seed, DemoSigningKey(), error);
}

std::string MakeImageBytes(std::string_view payload, FirmwareVersion version) {
  ImageHeader fields;
  fields.version = version;
  return MakeImageBytes(payload, fields, DemoSigningKey());
}

}  // namespace hiddfu
