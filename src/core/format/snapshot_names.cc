#include "core/format/snapshot_names.h"

#include <openssl/evp.h>

#include "core/base/fatal.h"

namespace tessarine {
namespace {

// The longest file name most file systems accept, in bytes.
constexpr std::size_t kMaxFileNameBytes = 255;
// The longest stem that leaves room for ".tsr.tmp".
constexpr std::size_t kMaxStemBytes =
    kMaxFileNameBytes - kSnapshotSuffix.size() - kTemporarySuffix.size();

constexpr char kEscapedPrefix = '%';
constexpr std::string_view kHashedPrefix = "%~";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kLowerHexDigits[] = "0123456789abcdef";

bool is_ordinary_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

bool is_ordinary_name(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.size() > kMaxStemBytes) return false;
  for (unsigned char c : name) {
    if (!is_ordinary_byte(c)) return false;
  }
  return true;  // "." and ".." start with a dot and are excluded above
}

std::string escaped_stem(std::string_view name) {
  std::string out(1, kEscapedPrefix);
  for (unsigned char c : name) {
    if (is_ordinary_byte(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    }
  }
  return out;
}

std::string hashed_stem(std::string_view name) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(name.data(), name.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    fatal("SHA-256 of a collection name failed");
  }
  std::string out(kHashedPrefix);
  for (unsigned int i = 0; i < length; ++i) {
    out += kLowerHexDigits[digest[i] >> 4];
    out += kLowerHexDigits[digest[i] & 0xF];
  }
  return out;
}

int upper_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> unescape(std::string_view body) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '%') {
      out += body[i];
      continue;
    }
    if (i + 2 >= body.size()) return std::nullopt;
    const int high = upper_hex_value(body[i + 1]);
    const int low = upper_hex_value(body[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace

std::string snapshot_file_name(std::string_view collection_name) {
  std::string stem;
  if (is_ordinary_name(collection_name)) {
    stem = collection_name;
  } else {
    stem = escaped_stem(collection_name);
    if (stem.size() > kMaxStemBytes) stem = hashed_stem(collection_name);
  }
  return stem + std::string(kSnapshotSuffix);
}

std::optional<std::string> collection_name_from_file_name(std::string_view file_name) {
  if (file_name.size() <= kSnapshotSuffix.size() || !file_name.ends_with(kSnapshotSuffix)) {
    return std::nullopt;
  }
  const std::string_view stem = file_name.substr(0, file_name.size() - kSnapshotSuffix.size());
  std::optional<std::string> name;
  if (stem.starts_with(kHashedPrefix)) return std::nullopt;
  if (stem.front() == kEscapedPrefix) {
    name = unescape(stem.substr(1));
  } else {
    name = std::string(stem);
  }
  // Only the canonical spelling of a name maps back to it.
  if (!name || snapshot_file_name(*name) != file_name) return std::nullopt;
  return name;
}

}  // namespace tessarine
