// AES-256-GCM sealing of snapshot payloads and log records under a key
// given as 64 hex characters. Sealed form: 12-byte nonce, ciphertext, 16-byte tag.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/status.h"

namespace tessarine {

class EncryptionKey {
 public:
  // Trims Unicode white space, then reads 32 bytes from 64 hex digits.
  // Errors: "encryption key must be 64 hex characters (32 bytes), got {}",
  // "invalid hex at position {}: invalid digit found in string".
  static Result<std::shared_ptr<const EncryptionKey>> from_hex(std::string_view text);

  // nonce || ciphertext || tag, with a fresh random 96-bit nonce.
  std::vector<uint8_t> encrypt(std::span<const uint8_t> plaintext) const;

  // Errors (kInvalidData): "encrypted data too short: {} bytes (minimum 28)",
  // "decryption failed: wrong key or corrupted data".
  Result<std::vector<uint8_t>> decrypt(std::span<const uint8_t> sealed) const;

  ~EncryptionKey();  // wipes the key material
  EncryptionKey(const EncryptionKey&) = delete;
  EncryptionKey& operator=(const EncryptionKey&) = delete;

 private:
  EncryptionKey() = default;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tessarine
