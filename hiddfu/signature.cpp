#include "hiddfu/signature.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace hiddfu {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct MdFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdFree>;

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Never asks for a passphrase on the terminal: an encrypted key fails to load.
int NoPassphrase(char*, int, int, void*) {
  return 0;
}

// The passphrase a key file is decrypted with, and whether the file asked for one.
struct PassphraseRequest {
  const std::optional<std::string>* passphrase;
  bool asked = false;
  bool read = false;  // a key came out of the file
};

int GivePassphrase(char* buffer, int size, int, void* user) {
  auto& request = *static_cast<PassphraseRequest*>(user);
  request.asked = true;
  const std::optional<std::string>& passphrase = *request.passphrase;
  if (!passphrase || passphrase->size() > static_cast<std::size_t>(size))
    return 0;
  std::memcpy(buffer, passphrase->data(), passphrase->size());
  return static_cast<int>(passphrase->size());
}

// Reads one PEM object from a file with `read`; the error names the file and the problem.
template <typename Read>
Pkey ReadPem(const std::string& path, Read read, const char* what, std::string* error) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "re"));
  if (!file) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  Pkey key(read(file.get()));
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    *error = path + " holds no Ed25519 " + what + " in PEM form";
    return nullptr;
  }
  return key;
}

PublicKey RawPublic(EVP_PKEY* key) {
  PublicKey raw{};
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key, raw.data(), &size) != 1 || size != raw.size())
    std::abort();  // an Ed25519 key always has one
  return raw;
}

}  // namespace

struct SigningKey::Key {
  Pkey pkey;
};

bool VerifySignature(const PublicKey& key, std::span<const std::uint8_t> message,
                     const Signature& signature) {
  Pkey pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  MdContext ctx(EVP_MD_CTX_new());
  return pkey && ctx &&
         EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

std::optional<PublicKey> ParsePublicKeyHex(std::string_view hex) {
  PublicKey key{};
  if (hex.size() != 2 * key.size())
    return std::nullopt;
  auto digit = [](char c) {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int high = digit(hex[2 * i]);
    const int low = digit(hex[2 * i + 1]);
    if (high < 0 || low < 0)
      return std::nullopt;
    key[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return key;
}

std::optional<PublicKey> LoadPublicKey(const std::string& pemPath, std::string* error) {
  Pkey key = ReadPem(
      pemPath, [](std::FILE* f) { return PEM_read_PUBKEY(f, nullptr, NoPassphrase, nullptr); },
      "public key", error);
  if (!key)
    return std::nullopt;
  return RawPublic(key.get());
}

SigningKey::SigningKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey& SigningKey::operator=(SigningKey&&) noexcept = default;
SigningKey::~SigningKey() = default;

std::optional<SigningKey> SigningKey::Load(const std::string& pemPath, std::string* error,
                                           const std::optional<std::string>& passphrase) {
  PassphraseRequest request{&passphrase};
  Pkey key = ReadPem(
      pemPath,
      [&](std::FILE* f) {
        EVP_PKEY* read = PEM_read_PrivateKey(f, nullptr, GivePassphrase, &request);
        request.read = read != nullptr;
        return read;
      },
      "private key", error);
  if (request.asked && !request.read) {
    *error = passphrase ? pemPath + ": the passphrase does not decrypt the key"
                        : pemPath + " holds the key encrypted: its passphrase is needed";
  }
  if (!key)
    return std::nullopt;
  return SigningKey(std::make_unique<Key>(Key{std::move(key)}));
}

Signer::Signer(const SigningKey& key)
    : sign_([&key](std::span<const std::uint8_t> message, std::string*) {
        return std::optional<Signature>(key.Sign(message));
      }) {}

SigningKey SigningKey::Generate() {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key)
    std::abort();  // out of memory or entropy: nothing sensible to go on with
  return SigningKey(std::make_unique<Key>(Key{std::move(key)}));
}

Signature SigningKey::Sign(std::span<const std::uint8_t> message) const {
  Signature signature{};
  std::size_t size = signature.size();
  MdContext ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_->pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &size, message.data(), message.size()) != 1 ||
      size != signature.size())
    std::abort();  // an Ed25519 key signs any message
  return signature;
}

PublicKey SigningKey::Public() const {
  return RawPublic(key_->pkey.get());
}

}  // namespace hiddfu
