// AES-256-GCM sealing of snapshot payloads and log records under a key
// given as 64 hex characters. Sealed form: 12-byte nonce, ciphertext, 16-byte tag
// (96-bit nonce used directly as the IV, 128-bit tag, no associated data).
//
// Thread safety: a key is immutable after from_hex; encrypt and decrypt may
// run on any number of threads at once with the same key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/base/status.h"

namespace tessarine {

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
// Bytes a sealed string has beyond its plaintext; also the smallest sealed string.
inline constexpr std::size_t kSealOverhead = kNonceSize + kTagSize;

class EncryptionKey {
 public:
  // Trims Unicode white space, then reads 32 bytes from 64 hex digits.
  // Errors (kInvalidArgument):
  // "encryption key must be 64 hex characters (32 bytes), got {}" (UTF-8 byte length),
  // "invalid hex at position {}: invalid digit found in string" (byte offset of the pair).
  static Result<std::shared_ptr<const EncryptionKey>> from_hex(std::string_view text);

  // nonce || ciphertext || tag, with a fresh random 96-bit nonce. A failing
  // entropy source or a plaintext beyond the GCM limit (2^36 bytes) is fatal.
  std::vector<uint8_t> encrypt(std::span<const uint8_t> plaintext) const;

  // encrypt without a copy: `sealed` holds kNonceSize bytes of room, the
  // plaintext, then kTagSize bytes of room; the nonce and tag are written
  // into the rooms and the plaintext is replaced by its ciphertext.
  void encrypt_in_place(std::span<uint8_t> sealed) const;

  class Sealer;
  // A sealer of one message given piece by piece; see Sealer.
  Sealer begin_sealing(std::span<uint8_t> nonce) const;

  // Errors (kInvalidData): "encrypted data too short: {} bytes (minimum 28)",
  // "decryption failed: wrong key or corrupted data". No plaintext is returned
  // unless the tag verifies.
  Result<std::vector<uint8_t>> decrypt(std::span<const uint8_t> sealed) const;

  // True when both hold the same key bytes (compared in constant time).
  bool same_key_as(const EncryptionKey& other) const;

  ~EncryptionKey();  // wipes the key material
  EncryptionKey(const EncryptionKey&) = delete;
  EncryptionKey& operator=(const EncryptionKey&) = delete;

 private:
  EncryptionKey() = default;
  struct State;
  std::unique_ptr<State> state_;
};

// Seals one message given in pieces, each encrypted in place as it comes:
// nonce, pieces and tag together are what encrypt_in_place makes of the
// whole. Used by one thread at a time.
class EncryptionKey::Sealer {
 public:
  ~Sealer();
  Sealer(Sealer&&) noexcept;
  Sealer& operator=(Sealer&&) = delete;

  // Replaces the next piece of plaintext by its ciphertext.
  void seal(std::span<uint8_t> piece);
  // Ends the message and writes its tag (kTagSize bytes).
  void finish(std::span<uint8_t> tag);

 private:
  friend class EncryptionKey;
  struct Context;
  explicit Sealer(std::unique_ptr<Context> context);
  std::unique_ptr<Context> context_;
};

}  // namespace tessarine
