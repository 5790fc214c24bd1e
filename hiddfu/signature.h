// Ed25519 signatures of image headers: the vendor signs with its private key; the dongle
// checks with the public key it holds, and the library with the one its executable provides.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace hiddfu {

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

bool VerifySignature(const PublicKey& key, std::span<const std::uint8_t> message,
                     const Signature& signature);

// 64 hex digits, as the build hands a key to the code; nullopt for anything else.
std::optional<PublicKey> ParsePublicKeyHex(std::string_view hex);

// An Ed25519 public key from a PEM file.
std::optional<PublicKey> LoadPublicKey(const std::string& pemPath, std::string* error);

// An Ed25519 private key: loaded from a PEM file, or made at random (a key nobody trusts).
class SigningKey {
 public:
  // A file that holds the key encrypted needs its `passphrase`; one that holds it in the
  // clear takes none. Nothing is asked on a terminal.
  static std::optional<SigningKey> Load(const std::string& pemPath, std::string* error,
                                        const std::optional<std::string>& passphrase = {});
  static SigningKey Generate();

  SigningKey(SigningKey&&) noexcept;
  SigningKey& operator=(SigningKey&&) noexcept;
  ~SigningKey();

  Signature Sign(std::span<const std::uint8_t> message) const;
  PublicKey Public() const;

 private:
  struct Key;
  explicit SigningKey(std::unique_ptr<Key> key);
  std::unique_ptr<Key> key_;
};

// Whoever makes the signature of an image header: a key in memory, or anything else that
// answers a signature for the bytes, a hardware token's tool for one. A failure says why.
class Signer {
 public:
  using Sign = std::function<std::optional<Signature>(std::span<const std::uint8_t> message,
                                                      std::string* error)>;
  Signer(const SigningKey& key);  // implicit: a key is a signer; it must outlive the signer
  explicit Signer(Sign sign) : sign_(std::move(sign)) {}

  std::optional<Signature> operator()(std::span<const std::uint8_t> message,
                                      std::string* error) const {
    return sign_(message, error);
  }

 private:
  Sign sign_;
};

}  // namespace hiddfu
