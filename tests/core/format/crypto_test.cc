#include "core/format/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tessarine {
namespace {

constexpr char kHexKey[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::vector<uint8_t> bytes_from_hex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::shared_ptr<const EncryptionKey> key_from(std::string_view hex) {
  auto key = EncryptionKey::from_hex(hex);
  EXPECT_TRUE(key.ok()) << key.status().message();
  return key.ok() ? *key : nullptr;
}

TEST(EncryptionKeyTest, AcceptsKeysWithSurroundingUnicodeWhiteSpace) {
  const std::string hex = kHexKey;
  for (const std::string& text : {
           "  " + hex + "  \n",
           "\t\r\v\f" + hex,
           "\u3000\u00a0\u0085" + hex + "\u2028\u202f\u205f\u1680\u2000\u200a\u2029",
       }) {
    EXPECT_TRUE(EncryptionKey::from_hex(text).ok()) << text;
  }
}

TEST(EncryptionKeyTest, RejectsBadKeyTextsWithExactMessages) {
  const std::string hex = kHexKey;
  std::string inner_space = hex;
  inner_space[11] = ' ';
  std::string zz_sixth_pair = hex;
  zz_sixth_pair.replace(10, 2, "zz");
  std::string plus_pair = hex;
  plus_pair.replace(20, 2, "+f");
  std::string plus_second = hex;
  plus_second[63] = '+';
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string length_message = "encryption key must be 64 hex characters (32 bytes), got ";
  const std::string hex_message = "invalid hex at position ";
  const std::string digit_message = ": invalid digit found in string";
  const std::vector<Case> cases = {
      {hex.substr(0, 63), length_message + "63"},
      {hex + "0", length_message + "65"},
      // 63 ASCII characters and one two-byte character: 64 characters, 65 bytes.
      {hex.substr(0, 63) + "\u00e9", length_message + "65"},
      {"", length_message + "0"},
      {" \n\u3000", length_message + "0"},
      // A stray byte that is not UTF-8 stops the trimming and counts.
      {hex + "\xc2", length_message + "65"},
      {inner_space, hex_message + "10" + digit_message},
      {zz_sixth_pair, hex_message + "10" + digit_message},
      {plus_pair, hex_message + "20" + digit_message},
      {plus_second, hex_message + "62" + digit_message},
      {hex.substr(0, 62) + "\u00e9", hex_message + "62" + digit_message},
      {"0x" + hex.substr(2), hex_message + "0" + digit_message},
  };
  for (const Case& c : cases) {
    auto key = EncryptionKey::from_hex(c.text);
    ASSERT_FALSE(key.ok()) << c.text;
    EXPECT_EQ(key.status().code(), ErrorCode::kInvalidArgument);
    EXPECT_EQ(key.status().message(), c.message) << c.text;
  }
}

TEST(EncryptionKeyTest, HexCaseDoesNotMatter) {
  const std::string lower = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";
  const std::string upper = "ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789";
  const std::string mixed = "aBcDeF0123456789AbCdEf0123456789abcdef0123456789ABCDEF0123456789";
  auto sealed = key_from(lower)->encrypt(bytes_of("payload"));
  for (const auto& text : {upper, mixed}) {
    auto opened = key_from(text)->decrypt(sealed);
    ASSERT_TRUE(opened.ok()) << text;
    EXPECT_EQ(*opened, bytes_of("payload"));
  }
}

// Test cases 13 to 15 of the NIST AES-GCM test vectors (AES-256, 96-bit IV, no AAD),
// assembled into the sealed form nonce || ciphertext || tag.
TEST(EncryptionKeyTest, OpensKnownAnswerVectors) {
  struct Vector {
    const char* key;
    const char* iv;
    const char* plaintext;
    const char* ciphertext;
    const char* tag;
  };
  const std::vector<Vector> vectors = {
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "00000000000000000000000000000000",
       "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
       "cafebabefacedbaddecaf888",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
       "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
       "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
       "b094dac5d93471bdec1a502270e3cc6c"},
  };
  for (const Vector& v : vectors) {
    auto key = key_from(v.key);
    std::vector<uint8_t> sealed = bytes_from_hex(v.iv);
    for (auto part : {bytes_from_hex(v.ciphertext), bytes_from_hex(v.tag)}) {
      sealed.insert(sealed.end(), part.begin(), part.end());
    }
    auto opened = key->decrypt(sealed);
    ASSERT_TRUE(opened.ok()) << v.ciphertext << ": " << opened.status().message();
    EXPECT_EQ(*opened, bytes_from_hex(v.plaintext));
  }
}

TEST(EncryptionKeyTest, SealsEmptyPlaintextInTwentyEightBytes) {
  auto key = key_from(kHexKey);
  auto sealed = key->encrypt({});
  EXPECT_EQ(sealed.size(), 28u);
  auto opened = key->decrypt(sealed);
  ASSERT_TRUE(opened.ok());
  EXPECT_TRUE(opened->empty());
}

TEST(EncryptionKeyTest, TwoSealsOfTheSamePlaintextDifferAndBothOpen) {
  auto key = key_from(kHexKey);
  const auto plaintext = bytes_of("the same plaintext");
  auto first = key->encrypt(plaintext);
  auto second = key->encrypt(plaintext);
  EXPECT_EQ(first.size(), plaintext.size() + 28);
  EXPECT_NE(first, second);
  EXPECT_NE(std::vector<uint8_t>(first.begin(), first.begin() + 12),
            std::vector<uint8_t>(second.begin(), second.begin() + 12));
  for (const auto& sealed : {first, second}) {
    auto opened = key->decrypt(sealed);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(*opened, plaintext);
  }
}

TEST(EncryptionKeyTest, RejectsTooShortInput) {
  auto key = key_from(kHexKey);
  for (std::size_t size : {0u, 1u, 27u}) {
    auto opened = key->decrypt(std::vector<uint8_t>(size, 0));
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.status().code(), ErrorCode::kInvalidData);
    EXPECT_EQ(opened.status().message(),
              "encrypted data too short: " + std::to_string(size) + " bytes (minimum 28)");
  }
}

TEST(EncryptionKeyTest, WrongKeyFlippedByteOrCutTagFailToOpen) {
  auto key = key_from(kHexKey);
  const std::string other_hex(64, 'f');
  auto other = key_from(other_hex);
  const auto sealed = key->encrypt(bytes_of("sixteen byte msg"));
  const std::string message = "decryption failed: wrong key or corrupted data";

  auto wrong_key = other->decrypt(sealed);
  ASSERT_FALSE(wrong_key.ok());
  EXPECT_EQ(wrong_key.status().message(), message);

  for (std::size_t i = 0; i < sealed.size(); ++i) {  // nonce, ciphertext and tag
    auto flipped = sealed;
    flipped[i] ^= 0x01;
    auto opened = key->decrypt(flipped);
    ASSERT_FALSE(opened.ok()) << "byte " << i;
    EXPECT_EQ(opened.status().code(), ErrorCode::kInvalidData);
    EXPECT_EQ(opened.status().message(), message);
  }
  auto cut = key->decrypt(std::span(sealed).first(sealed.size() - 1));
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.status().message(), message);
}

TEST(EncryptionKeyTest, OneKeySealsAndOpensOnManyThreads) {
  auto key = key_from(kHexKey);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::vector<uint8_t> plaintext(static_cast<std::size_t>(i), static_cast<uint8_t>(t));
        auto opened = key->decrypt(key->encrypt(plaintext));
        if (!opened.ok() || *opened != plaintext) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tessarine
