// Compressed images for the tests, made byte by byte so that a test can also make the ones
// zav-mkimage never would: a damaged or cut stream, a header that names other sizes.
#pragma once

#include <cstdint>
#include <string>

#include "hiddfu/compression.h"
#include "hiddfu/image.h"

// A payload that compresses as firmware does: runs of similar words among varied ones.
inline std::string CompressiblePayload(std::size_t size, std::uint32_t seed = 1) {
  std::string payload;
  payload.reserve(size);
  std::uint32_t state = seed * 2654435761u + 1;
  while (payload.size() < size) {
    state = state * 1103515245u + 12345u;
    const unsigned word = (state >> 16) % 64;
    payload += "\x00\xb5\x01\x4b"[word % 4];
    payload += static_cast<char>(word);
    payload += static_cast<char>((state >> 8) & 0x0F);
    payload += static_cast<char>(0xE0 | (word & 7));
  }
  payload.resize(size);
  return payload;
}

inline std::string Compress(const std::string& payload,
                            hiddfu::BranchFilter filter = hiddfu::BranchFilter::kNone) {
  hiddfu::StreamEncoder encoder(filter, hiddfu::kMaxDictionary);
  std::string stream;
  const hiddfu::ByteSink append = [&](const std::uint8_t* data, std::size_t n) {
    stream.append(reinterpret_cast<const char*>(data), n);
    return true;
  };
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  if (!encoder.Feed(bytes, payload.size(), append) || !encoder.Finish(append))
    return {};
  return stream;
}

// The header of a compressed image of `payload`, as zav-mkimage makes it.
inline hiddfu::ImageHeader CompressedHeader(
    const std::string& payload, const std::string& stream, hiddfu::FirmwareVersion version,
    hiddfu::BranchFilter filter = hiddfu::BranchFilter::kNone) {
  hiddfu::ImageHeader h;
  h.version = version;
  h.format = hiddfu::kCompressedFormatVersion;
  h.method = hiddfu::Method::kLzma2;
  h.filter = filter;
  h.dictionary = hiddfu::kMaxDictionary;
  h.payloadSize = static_cast<std::uint32_t>(payload.size());
  h.storedSize = static_cast<std::uint32_t>(stream.size());
  hiddfu::Sha256 sha;
  sha.Update(payload.data(), payload.size());
  h.sha256 = sha.Final();
  return h;
}

// The header signed with the demo key, followed by `stored`.
inline std::string SignedImage(const hiddfu::ImageHeader& header, const std::string& stored) {
  const hiddfu::HeaderBytes bytes = hiddfu::SignHeader(header, hiddfu::DemoSigningKey());
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()) + stored;
}
