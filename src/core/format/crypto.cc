#include "core/format/crypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <string>

#include "core/base/fatal.h"

namespace tessarine {
namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kKeyHexLength = 2 * kKeySize;
// EVP update calls take an int length; larger inputs go through in pieces.
constexpr std::size_t kMaxUpdateChunk = std::size_t{1} << 30;

// The 32 raw key bytes, overwritten with zeros (in a way the compiler may not
// elide) when released.
struct ZeroizeKey {
  std::array<uint8_t, kKeySize> bytes{};
  ~ZeroizeKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

bool is_white_space(UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE); }

// Strips leading and trailing characters with the Unicode White_Space
// property. Characters are decoded from windows of at most four bytes so the
// text may be of any length; an invalid UTF-8 sequence ends the trimming.
std::string_view trim_white_space(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const int32_t window = static_cast<int32_t>(std::min<std::size_t>(4, end - begin));
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(bytes + begin, i, window, c);
    if (!is_white_space(c)) break;
    begin += static_cast<std::size_t>(i);
  }
  while (end > begin) {
    const int32_t window = static_cast<int32_t>(std::min<std::size_t>(4, end - begin));
    int32_t i = window;
    UChar32 c;
    U8_PREV(bytes + end - window, 0, i, c);
    if (!is_white_space(c)) break;
    end -= static_cast<std::size_t>(window - i);
  }
  return text.substr(begin, end - begin);
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void encryption_failed() { fatal("AES-GCM encryption should not fail"); }

Status decryption_failed() {
  // Leave no stale entries for other OpenSSL users in the process (Python's
  // ssl module reads the same per-thread queue).
  ERR_clear_error();
  return Status::InvalidData("decryption failed: wrong key or corrupted data");
}

// Runs EVP_CipherUpdate over `size` bytes in pieces that fit its int length.
bool cipher_update(EVP_CIPHER_CTX* ctx, uint8_t* out, const uint8_t* in, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t chunk = std::min(size - done, kMaxUpdateChunk);
    int written = 0;
    if (EVP_CipherUpdate(ctx, out + done, &written, in + done, static_cast<int>(chunk)) != 1 ||
        static_cast<std::size_t>(written) != chunk) {
      return false;
    }
    done += chunk;
  }
  return true;
}

}  // namespace

// The cipher context is initialised with the key once, which computes the AES
// round keys and the GCM hashing key; each call works on its own copy
// (EVP_CIPHER_CTX_copy) so calls never share mutable state.
struct EncryptionKey::State {
  ZeroizeKey key;
  CipherCtx keyed;
};

EncryptionKey::~EncryptionKey() = default;

bool EncryptionKey::same_key_as(const EncryptionKey& other) const {
  return CRYPTO_memcmp(state_->key.bytes.data(), other.state_->key.bytes.data(), kKeySize) == 0;
}

Result<std::shared_ptr<const EncryptionKey>> EncryptionKey::from_hex(std::string_view text) {
  const std::string_view hex = trim_white_space(text);
  if (hex.size() != kKeyHexLength) {
    return Status::InvalidArgument("encryption key must be 64 hex characters (32 bytes), got " +
                                   std::to_string(hex.size()));
  }
  auto state = std::make_unique<State>();
  for (std::size_t i = 0; i < kKeySize; ++i) {
    const int high = hex_digit_value(hex[2 * i]);
    const int low = hex_digit_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) {
      return Status::InvalidArgument("invalid hex at position " + std::to_string(2 * i) +
                                     ": invalid digit found in string");
    }
    state->key.bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }

  state->keyed.reset(EVP_CIPHER_CTX_new());
  if (!state->keyed || EVP_EncryptInit_ex(state->keyed.get(), EVP_aes_256_gcm(), nullptr,
                                          state->key.bytes.data(), nullptr) != 1) {
    fatal("could not set up the AES-256-GCM key");
  }
  std::shared_ptr<EncryptionKey> key(new EncryptionKey());
  key->state_ = std::move(state);
  return std::shared_ptr<const EncryptionKey>(std::move(key));
}

namespace {

CipherCtx copy_keyed_context(const EVP_CIPHER_CTX* keyed) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), keyed) != 1) {
    fatal("could not copy the AES-256-GCM key context");
  }
  return ctx;
}

}  // namespace

std::vector<uint8_t> EncryptionKey::encrypt(std::span<const uint8_t> plaintext) const {
  std::vector<uint8_t> sealed(kSealOverhead + plaintext.size());
  if (!plaintext.empty())
    std::copy(plaintext.begin(), plaintext.end(), sealed.begin() + kNonceSize);
  encrypt_in_place(sealed);
  return sealed;
}

void EncryptionKey::encrypt_in_place(std::span<uint8_t> sealed) const {
  if (sealed.size() < kSealOverhead) fatal("no room for the AES-GCM nonce and tag");
  const std::size_t n = sealed.size() - kSealOverhead;
  Sealer sealer = begin_sealing(sealed.first(kNonceSize));
  sealer.seal(sealed.subspan(kNonceSize, n));
  sealer.finish(sealed.last(kTagSize));
}

struct EncryptionKey::Sealer::Context {
  CipherCtx ctx;
};

EncryptionKey::Sealer::Sealer(std::unique_ptr<Context> context) : context_(std::move(context)) {}
EncryptionKey::Sealer::Sealer(Sealer&&) noexcept = default;
EncryptionKey::Sealer::~Sealer() = default;

EncryptionKey::Sealer EncryptionKey::begin_sealing(std::span<uint8_t> nonce) const {
  if (nonce.size() != kNonceSize) fatal("AES-GCM nonce room of the wrong size");
  fill_random_bytes(nonce.data(), kNonceSize, "an AES-GCM nonce");
  auto context = std::make_unique<Sealer::Context>();
  context->ctx = copy_keyed_context(state_->keyed.get());
  if (EVP_EncryptInit_ex(context->ctx.get(), nullptr, nullptr, nullptr, nonce.data()) != 1) {
    encryption_failed();
  }
  return Sealer(std::move(context));
}

void EncryptionKey::Sealer::seal(std::span<uint8_t> piece) {
  if (!cipher_update(context_->ctx.get(), piece.data(), piece.data(), piece.size())) {
    encryption_failed();
  }
}

void EncryptionKey::Sealer::finish(std::span<uint8_t> tag) {
  if (tag.size() != kTagSize) fatal("AES-GCM tag room of the wrong size");
  int final_length = 0;
  if (EVP_EncryptFinal_ex(context_->ctx.get(), tag.data(), &final_length) != 1 ||
      final_length != 0 ||
      EVP_CIPHER_CTX_ctrl(context_->ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag.data()) != 1) {
    encryption_failed();
  }
}

Result<std::vector<uint8_t>> EncryptionKey::decrypt(std::span<const uint8_t> sealed) const {
  if (sealed.size() < kSealOverhead) {
    return Status::InvalidData("encrypted data too short: " + std::to_string(sealed.size()) +
                               " bytes (minimum " + std::to_string(kSealOverhead) + ")");
  }
  const std::size_t n = sealed.size() - kSealOverhead;
  const uint8_t* nonce = sealed.data();
  const uint8_t* ciphertext = nonce + kNonceSize;
  std::array<uint8_t, kTagSize> tag;
  std::copy_n(ciphertext + n, kTagSize, tag.begin());

  CipherCtx ctx = copy_keyed_context(state_->keyed.get());
  if (EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) != 1) {
    return decryption_failed();
  }
  std::vector<uint8_t> plaintext(n);
  // OpenSSL compares the tag in constant time in the final step; the
  // plaintext produced before it is wiped unless the tag verifies.
  int final_length = 0;
  if (!cipher_update(ctx.get(), plaintext.data(), ciphertext, n) ||
      EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + n, &final_length) != 1) {
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return decryption_failed();
  }
  return plaintext;
}

}  // namespace tessarine
