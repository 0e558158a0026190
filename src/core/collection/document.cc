#include "core/collection/document.h"

#include <algorithm>
#include <string>

#include "core/base/fatal.h"
#include "core/base/prefetch.h"

namespace tessarine {

void request_metadata_entries(const Metadata& metadata) {
  constexpr std::size_t kEntries = 8;
  if (metadata.empty()) return;
  // The first entry's slot, and those after it, up to the table's end.
  const auto* slot = reinterpret_cast<const char*>(&*metadata.begin());
  const std::size_t bytes = std::min(metadata.bucket_count(), kEntries) * sizeof(*metadata.begin());
  for (std::size_t offset = 0; offset < bytes; offset += 64) prefetch_line(slot + offset);
}

namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr int kGroupLengths[5] = {8, 4, 4, 4, 12};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The character (a whole UTF-8 sequence) that starts at byte `pos`.
std::string_view char_at(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t len = 1;
  if (lead >= 0xF0) {
    len = 4;
  } else if (lead >= 0xE0) {
    len = 3;
  } else if (lead >= 0xC0) {
    len = 2;
  }
  return text.substr(pos, len);
}

Status invalid_character(std::string_view original, std::size_t pos) {
  return Status::InvalidArgument(
      "invalid character: expected an optional prefix of `urn:uuid:` followed by "
      "[0-9a-fA-F-], found `" +
      std::string(char_at(original, pos)) + "` at " + std::to_string(pos));
}

Uuid from_hex_digits(std::string_view digits) {
  Uuid id;
  for (std::size_t i = 0; i < 16; ++i) {
    id.bytes[i] =
        static_cast<uint8_t>(hex_value(digits[2 * i]) * 16 + hex_value(digits[2 * i + 1]));
  }
  return id;
}

}  // namespace

Uuid generate_uuid_v4() {
  Uuid id;
  fill_random_bytes(id.bytes.data(), id.bytes.size(), "uuid");
  id.bytes[6] = static_cast<uint8_t>((id.bytes[6] & 0x0F) | 0x40);
  id.bytes[8] = static_cast<uint8_t>((id.bytes[8] & 0x3F) | 0x80);
  return id;
}

Result<Uuid> parse_uuid(std::string_view text) {
  // Strip the optional wrapper; `offset` maps positions back to `text`.
  std::string_view body = text;
  std::size_t offset = 0;
  bool wrapped = false;
  if (body.substr(0, kUrnPrefix.size()) == kUrnPrefix) {
    body.remove_prefix(kUrnPrefix.size());
    offset = kUrnPrefix.size();
    wrapped = true;
  } else if (!body.empty() && body.front() == '{') {
    if (body.size() < 2 || body.back() != '}')
      return Status::InvalidArgument("failed to parse a UUID");
    body = body.substr(1, body.size() - 2);
    offset = 1;
    wrapped = true;
  }

  // The first byte that is neither a hex digit nor a hyphen.
  std::size_t hyphens = 0;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '-') {
      ++hyphens;
    } else if (hex_value(body[i]) < 0) {
      return invalid_character(text, offset + i);
    }
  }

  if (hyphens == 0) {
    if (wrapped) return Status::InvalidArgument("failed to parse a UUID");
    if (body.size() != 32) {
      return Status::InvalidArgument(
          "invalid length: expected length 32 for simple format, found " +
          std::to_string(body.size()));
    }
    return from_hex_digits(body);
  }

  if (hyphens + 1 != 5) {
    return Status::InvalidArgument("invalid group count: expected 5, found " +
                                   std::to_string(hyphens + 1));
  }
  std::string digits;
  digits.reserve(32);
  std::size_t start = 0;
  for (int group = 0; group < 5; ++group) {
    std::size_t end = body.find('-', start);
    if (end == std::string_view::npos) end = body.size();
    const std::size_t length = end - start;
    if (length != static_cast<std::size_t>(kGroupLengths[group])) {
      return Status::InvalidArgument("invalid group length in group " + std::to_string(group) +
                                     ": expected " + std::to_string(kGroupLengths[group]) +
                                     ", found " + std::to_string(length));
    }
    digits.append(body.substr(start, length));
    start = end + 1;
  }
  return from_hex_digits(digits);
}

std::string format_uuid(const Uuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[id.bytes[i] >> 4]);
    out.push_back(kHex[id.bytes[i] & 0x0F]);
  }
  return out;
}

Document Document::create(std::string text, Metadata metadata) {
  return Document{generate_uuid_v4(), std::move(text), std::move(metadata)};
}

}  // namespace tessarine
