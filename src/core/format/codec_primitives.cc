#include "core/format/codec_primitives.h"

#include <unicode/utf8.h>

namespace tessarine::codec {
namespace {

// Whether a byte can begin a multi-byte UTF-8 sequence: an ill-formed run
// that starts with one of these and reaches the end of the input is an
// incomplete sequence rather than an invalid one.
bool is_multibyte_lead(uint8_t b) { return b >= 0xC2 && b <= 0xF4; }

}  // namespace

bool ByteReader::fail(std::string message) {
  if (!failed_) {
    failed_ = true;
    error_ = std::move(message);
  }
  return false;
}

bool ByteReader::fail_end_of_input() { return fail("io error: unexpected end of file"); }

bool ByteReader::take(uint64_t n, const uint8_t*& data) {
  if (failed_) return false;
  if (static_cast<uint64_t>(end_ - pos_) < n) return fail_end_of_input();
  data = pos_;
  pos_ += n;
  return true;
}

bool ByteReader::take_elements(uint64_t count, std::size_t width, const uint8_t*& data) {
  if (failed_) return false;
  if (count > static_cast<uint64_t>(end_ - pos_) / width) return fail_end_of_input();
  return take(count * width, data);
}

bool ByteReader::get_i64(int64_t& v) {
  uint64_t bits;
  if (!get_u64(bits)) return false;
  v = static_cast<int64_t>(bits);
  return true;
}

bool ByteReader::get_f64(double& v) {
  uint64_t bits;
  if (!get_u64(bits)) return false;
  v = std::bit_cast<double>(bits);
  return true;
}

bool ByteReader::get_bool(bool& v) {
  uint8_t b;
  if (!get_u8(b)) return false;
  if (b > 1) {
    return fail("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(b));
  }
  v = b == 1;
  return true;
}

bool ByteReader::get_option_tag(bool& present) {
  uint8_t tag;
  if (!get_u8(tag)) return false;
  if (tag > 1) return fail("tag for enum is not valid, found " + std::to_string(tag));
  present = tag == 1;
  return true;
}

bool ByteReader::get_variant_index(uint32_t& index, uint32_t variant_count) {
  if (!get_u32(index)) return false;
  if (index >= variant_count) {
    return fail("invalid value: integer `" + std::to_string(index) +
                "`, expected variant index 0 <= i < " + std::to_string(variant_count));
  }
  return true;
}

bool ByteReader::get_string(std::string& out) {
  uint64_t length;
  const uint8_t* data = nullptr;
  if (!get_u64(length) || !take(length, data)) return false;
  std::span<const uint8_t> bytes(data, static_cast<std::size_t>(length));
  if (std::string error = utf8_error(bytes); !error.empty()) {
    return fail("string is not valid utf8: " + error);
  }
  out.assign(reinterpret_cast<const char*>(data), bytes.size());
  return true;
}

template <typename T>
bool ByteReader::get_array(std::vector<T>& out) {
  static_assert(sizeof(T) == 4);
  uint64_t count;
  const uint8_t* data = nullptr;
  if (!get_u64(count) || !take_elements(count, sizeof(T), data)) return false;
  out.resize(static_cast<std::size_t>(count));
  if constexpr (kLittleEndianHost) {
    if (count != 0) std::memcpy(out.data(), data, static_cast<std::size_t>(count) * 4);
  } else {
    for (std::size_t i = 0; i < out.size(); ++i, data += 4) {
      out[i] = std::bit_cast<T>(load_le<uint32_t>(data));
    }
  }
  return true;
}

bool ByteReader::get_f32s(std::vector<float>& out) { return get_array(out); }
bool ByteReader::get_u32s(std::vector<uint32_t>& out) { return get_array(out); }

bool ByteReader::get_u8s(std::vector<uint8_t>& out) {
  uint64_t count;
  const uint8_t* data = nullptr;
  if (!get_u64(count) || !take(count, data)) return false;
  out.assign(data, data + count);
  return true;
}

bool ByteReader::get_bools(std::vector<uint8_t>& out) {
  uint64_t count;
  const uint8_t* data = nullptr;
  if (!get_u64(count)) return false;
  // Read as the record's elements would be: a short run fails at its end, a
  // bad byte fails where it stands, whichever comes first.
  const uint64_t available = std::min<uint64_t>(count, static_cast<uint64_t>(end_ - pos_));
  const uint8_t* start = pos_;
  for (uint64_t i = 0; i < available; ++i) {
    if (start[i] > 1) {
      pos_ = start + i + 1;
      return fail("invalid u8 while decoding bool, expected 0 or 1, found " +
                  std::to_string(start[i]));
    }
  }
  if (!take(count, data)) return false;
  out.assign(data, data + count);
  return true;
}

std::string utf8_error(std::span<const uint8_t> bytes) {
  const uint8_t* s = bytes.data();
  const std::size_t length = bytes.size();
  std::size_t i = 0;
  while (i < length) {
    // Runs of ASCII, 32 bytes at a time, then eight.
    while (i + 32 <= length) {
      uint64_t words[4];
      std::memcpy(words, s + i, 32);
      if (((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ull) != 0) break;
      i += 32;
    }
    while (i + 8 <= length) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= length) break;
    const std::size_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c >= 0) continue;
    // ICU consumed the maximal ill-formed subpart.
    if (i == length && is_multibyte_lead(s[start])) {
      return "incomplete utf-8 byte sequence from index " + std::to_string(start);
    }
    return "invalid utf-8 sequence of " + std::to_string(i - start) + " bytes from index " +
           std::to_string(start);
  }
  return {};
}

}  // namespace tessarine::codec
