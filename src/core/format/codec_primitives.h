// Primitive encodings of the binary record format: little-endian fixed-width
// numbers, u64 length prefixes, one-byte bools, tagged optionals and u32
// variant indexes. A record is walked twice by the same code: once into a
// ByteCounter to learn its exact size, then into a ByteWriter over a buffer of
// that size, so the two walks cannot disagree. ByteReader reads front to back
// and keeps the first error's text.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessarine::codec {

// A length prefix never reserves more than this many bytes of capacity in
// advance; beyond it a container grows only as elements actually arrive, so a
// corrupt count ends with the end-of-input error instead of exhausting memory.
inline constexpr uint64_t kMaxReservationBytes = uint64_t{1} << 20;

// How many elements of T a container may reserve for a claimed count.
template <typename T>
std::size_t reservation_for(uint64_t count) {
  return static_cast<std::size_t>(std::min<uint64_t>(count, kMaxReservationBytes / sizeof(T)));
}

// Sums the encoded size of everything put into it.
class ByteCounter {
 public:
  void put_u8(uint8_t) { size_ += 1; }
  void put_bool(bool) { size_ += 1; }
  void put_u32(uint32_t) { size_ += 4; }
  void put_u64(uint64_t) { size_ += 8; }
  void put_i64(int64_t) { size_ += 8; }
  void put_f64(double) { size_ += 8; }
  void put_raw(const uint8_t*, std::size_t n) { size_ += n; }
  void put_f32s(std::span<const float> v) { size_ += 4 * uint64_t{v.size()}; }
  void put_u32s(std::span<const uint32_t> v) { size_ += 4 * uint64_t{v.size()}; }
  void put_bools(std::span<const uint8_t> v) { size_ += v.size(); }

  uint64_t size() const { return size_; }

 private:
  uint64_t size_ = 0;
};

// Writes into a buffer sized by a ByteCounter walk of the same record. Running
// past the end would mean the two walks disagree: a broken invariant.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<uint8_t> out) : pos_(out.data()), end_(out.data() + out.size()) {}

  void put_u8(uint8_t v) { put_le(v); }
  void put_bool(bool v) { put_le(static_cast<uint8_t>(v ? 1 : 0)); }
  void put_u32(uint32_t v) { put_le(v); }
  void put_u64(uint64_t v) { put_le(v); }
  void put_i64(int64_t v) { put_le(static_cast<uint64_t>(v)); }
  void put_f64(double v) { put_le(std::bit_cast<uint64_t>(v)); }
  void put_raw(const uint8_t* data, std::size_t n) {
    uint8_t* dst = claim(n);
    if (n != 0) std::memcpy(dst, data, n);
  }
  void put_f32s(std::span<const float> v) { put_array(v); }
  void put_u32s(std::span<const uint32_t> v) { put_array(v); }
  // Tombstone bytes hold 0 or 1 in memory; anything non-zero is written as true.
  void put_bools(std::span<const uint8_t> v) {
    uint8_t* dst = claim(v.size());
    for (uint8_t b : v) *dst++ = b != 0 ? 1 : 0;
  }

  // True when exactly the whole buffer was written.
  bool finished() const { return pos_ == end_; }

 private:
  uint8_t* claim(std::size_t n);

  template <typename T>
  void put_le(T v) {
    uint8_t* dst = claim(sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) dst[i] = static_cast<uint8_t>(v >> (8 * i));
  }

  template <typename T>
  void put_array(std::span<const T> v) {
    static_assert(sizeof(T) == 4);
    uint8_t* dst = claim(4 * v.size());
    if constexpr (std::endian::native == std::endian::little) {
      if (!v.empty()) std::memcpy(dst, v.data(), 4 * v.size());
    } else {
      for (T x : v) {
        const auto bits = std::bit_cast<uint32_t>(x);
        for (int i = 0; i < 4; ++i) *dst++ = static_cast<uint8_t>(bits >> (8 * i));
      }
    }
  }

  uint8_t* pos_;
  uint8_t* end_;
};

// Reads primitives from the front of a byte slice. Every read checks that
// enough bytes remain. The first failure is kept as the decoding error's text
// and every read returns false from then on.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes)
      : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool get_u8(uint8_t& v) { return get_le(v); }
  bool get_u32(uint32_t& v) { return get_le(v); }
  bool get_u64(uint64_t& v) { return get_le(v); }
  bool get_i64(int64_t& v);
  bool get_f64(double& v);
  bool get_bool(bool& v);
  // An optional's tag byte: 0 absent, 1 present.
  bool get_option_tag(bool& present);
  // A u32 variant index below `variant_count`.
  bool get_variant_index(uint32_t& index, uint32_t variant_count);
  // A u64 length, then that many bytes of valid UTF-8.
  bool get_string(std::string& out);

  // Sequences of fixed-width elements: the count, then the elements. The
  // whole run must be present before anything is allocated, which bounds
  // the allocation by the input's own size.
  bool get_u8s(std::vector<uint8_t>& out);
  bool get_f32s(std::vector<float>& out);
  bool get_u32s(std::vector<uint32_t>& out);
  bool get_bools(std::vector<uint8_t>& out);  // 0/1 per element

  // Points `data` at the next n bytes and consumes them.
  bool take(uint64_t n, const uint8_t*& data);
  // The same for `count` elements of `width` bytes each, without overflow.
  bool take_elements(uint64_t count, std::size_t width, const uint8_t*& data);

  // Records `message` as the error (unless one is already kept); returns false.
  bool fail(std::string message);
  bool fail_end_of_input();

  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  template <typename T>
  bool get_le(T& v) {
    const uint8_t* p;
    if (!take(sizeof(T), p)) return false;
    T out = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) out |= static_cast<T>(T{p[i]} << (8 * i));
    v = out;
    return true;
  }

  template <typename T>
  bool get_array(std::vector<T>& out);

  const uint8_t* pos_;
  const uint8_t* end_;
  bool failed_ = false;
  std::string error_;
};

// The UTF-8 check of decoded strings. Returns an empty string for valid
// input, otherwise the error text ("invalid utf-8 sequence of {} bytes from
// index {}" or "incomplete utf-8 byte sequence from index {}").
std::string utf8_error(std::span<const uint8_t> bytes);

}  // namespace tessarine::codec
