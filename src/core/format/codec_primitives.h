// Primitive encodings of the binary record format: little-endian fixed-width
// numbers, u64 length prefixes, one-byte bools, tagged optionals and u32
// variant indexes. A record is walked twice by the same code: once into a
// ByteCounter to learn its exact size, then into a ByteWriter over a buffer of
// that size, so the two walks cannot disagree; or once into a ChunkWriter,
// which streams it in pieces of a size the receiver chooses. ByteReader reads front to back
// and keeps the first error's text.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/base/fatal.h"

namespace tessarine::codec {

// Runs of fixed-width values are copied with memcpy where the host's byte
// order is the format's; other hosts convert value by value.
inline constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

// A struct whose bytes are its u32 fields back to back, so that a run of it
// is encoded as the run of its fields (a posting: doc id, term frequency).
template <typename T>
concept U32Record = std::is_trivially_copyable_v<T> && sizeof(T) % 4 == 0 &&
                    std::has_unique_object_representations_v<T>;

// A length prefix never reserves more than this many bytes of capacity in
// advance; beyond it a container grows only as elements actually arrive, so a
// corrupt count ends with the end-of-input error instead of exhausting memory.
inline constexpr uint64_t kMaxReservationBytes = uint64_t{1} << 20;

// How many elements of T a container may reserve for a claimed count.
template <typename T>
std::size_t reservation_for(uint64_t count) {
  return static_cast<std::size_t>(std::min<uint64_t>(count, kMaxReservationBytes / sizeof(T)));
}

// Stores v little-endian at dst; returns the byte after it.
template <typename T>
uint8_t* store_le(uint8_t* dst, T v) {
  if constexpr (kLittleEndianHost) {
    std::memcpy(dst, &v, sizeof(T));
  } else {
    for (std::size_t i = 0; i < sizeof(T); ++i) dst[i] = static_cast<uint8_t>(v >> (8 * i));
  }
  return dst + sizeof(T);
}

// Runs of fixed-width values stored at dst as the format encodes them; each
// returns the byte after the run. Both writers store through these.
inline uint8_t* store_bytes(uint8_t* dst, std::span<const uint8_t> run) {
  if (!run.empty()) std::memcpy(dst, run.data(), run.size());
  return dst + run.size();
}
// Tombstone bytes hold 0 or 1 in memory; anything non-zero is written as true.
inline uint8_t* store_bools(uint8_t* dst, std::span<const uint8_t> run) {
  for (uint8_t b : run) *dst++ = b != 0 ? 1 : 0;
  return dst;
}
// Four-byte values (floats or u32) little-endian.
template <typename T>
uint8_t* store_words(uint8_t* dst, std::span<const T> run) {
  static_assert(sizeof(T) == 4);
  if constexpr (kLittleEndianHost) {
    if (!run.empty()) std::memcpy(dst, run.data(), 4 * run.size());
    return dst + 4 * run.size();
  } else {
    for (T x : run) dst = store_le(dst, std::bit_cast<uint32_t>(x));
    return dst;
  }
}
template <U32Record T>
uint8_t* store_u32_records(uint8_t* dst, std::span<const T> run) {
  if constexpr (kLittleEndianHost) {
    if (!run.empty()) std::memcpy(dst, run.data(), sizeof(T) * run.size());
    return dst + sizeof(T) * run.size();
  } else {
    for (const T& record : run) {
      uint32_t words[sizeof(T) / 4];
      std::memcpy(words, &record, sizeof(T));
      for (uint32_t w : words) dst = store_le(dst, w);
    }
    return dst;
  }
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
  template <U32Record T>
  void put_u32_records(std::span<const T> v) {
    size_ += sizeof(T) * uint64_t{v.size()};
  }

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
  void put_raw(const uint8_t* data, std::size_t n) { store_bytes(claim(n), {data, n}); }
  void put_f32s(std::span<const float> v) { store_words(claim(4 * v.size()), v); }
  void put_u32s(std::span<const uint32_t> v) { store_words(claim(4 * v.size()), v); }
  void put_bools(std::span<const uint8_t> v) { store_bools(claim(v.size()), v); }
  template <U32Record T>
  void put_u32_records(std::span<const T> v) {
    store_u32_records(claim(sizeof(T) * v.size()), v);
  }

  // True when exactly the whole buffer was written.
  bool finished() const { return pos_ == end_; }

 private:
  uint8_t* claim(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) [[unlikely]] {
      fatal("record encoding wrote more bytes than its computed size");
    }
    uint8_t* at = pos_;
    pos_ += n;
    return at;
  }

  template <typename T>
  void put_le(T v) {
    store_le(claim(sizeof(T)), v);
  }

  uint8_t* pos_;
  uint8_t* end_;
};

// Receives a record streamed through a ChunkWriter, one buffer at a time.
class ChunkChannel {
 public:
  virtual ~ChunkChannel() = default;
  // The next buffer to fill, of at least 8 bytes.
  virtual std::span<uint8_t> take_buffer() = 0;
  // Hands back the buffer last taken, of which the first `used` bytes hold
  // the record's next bytes.
  virtual void hand_over(std::size_t used) = 0;
  // Called once, after the last buffer was handed over.
  virtual void end() {}
};

// Writes the bytes a ByteWriter would write, into a channel's buffers: each
// is handed over when the next value does not fit, and runs are split
// between buffers at element boundaries. No counting walk is needed first.
class ChunkWriter {
 public:
  explicit ChunkWriter(ChunkChannel& channel) : channel_(channel) { next_buffer(); }

  void put_u8(uint8_t v) { put_le(v); }
  void put_bool(bool v) { put_le(static_cast<uint8_t>(v ? 1 : 0)); }
  void put_u32(uint32_t v) { put_le(v); }
  void put_u64(uint64_t v) { put_le(v); }
  void put_i64(int64_t v) { put_le(static_cast<uint64_t>(v)); }
  void put_f64(double v) { put_le(std::bit_cast<uint64_t>(v)); }
  void put_raw(const uint8_t* data, std::size_t n) {
    put_run(std::span<const uint8_t>(data, n), 1, store_bytes);
  }
  void put_f32s(std::span<const float> v) { put_run(v, 4, store_words<float>); }
  void put_u32s(std::span<const uint32_t> v) { put_run(v, 4, store_words<uint32_t>); }
  void put_bools(std::span<const uint8_t> v) { put_run(v, 1, store_bools); }
  template <U32Record T>
  void put_u32_records(std::span<const T> v) {
    put_run(v, sizeof(T), store_u32_records<T>);
  }

  // Hands over the last, partly filled buffer and ends the channel's stream.
  void finish() {
    channel_.hand_over(static_cast<std::size_t>(pos_ - begin_));
    channel_.end();
  }

 private:
  void next_buffer() {
    const std::span<uint8_t> buffer = channel_.take_buffer();
    if (buffer.size() < 8) fatal("record chunk smaller than one value");
    begin_ = pos_ = buffer.data();
    end_ = buffer.data() + buffer.size();
  }

  template <typename T>
  void put_le(T v) {
    if (static_cast<std::size_t>(end_ - pos_) < sizeof(T)) {
      channel_.hand_over(static_cast<std::size_t>(pos_ - begin_));
      next_buffer();
    }
    pos_ = store_le(pos_, v);
  }

  // Writes `v` in as many pieces as buffers need, each piece whole elements
  // of `width` encoded bytes.
  template <typename T>
  void put_run(std::span<const T> v, std::size_t width,
               uint8_t* (*store)(uint8_t*, std::span<const T>)) {
    while (!v.empty()) {
      const std::size_t fit = static_cast<std::size_t>(end_ - pos_) / width;
      if (fit == 0) {
        // A fresh buffer too small for one element would never make progress.
        if (pos_ == begin_) fatal("record chunk smaller than one value");
        channel_.hand_over(static_cast<std::size_t>(pos_ - begin_));
        next_buffer();
        continue;
      }
      const std::size_t count = std::min(fit, v.size());
      pos_ = store(pos_, v.first(count));
      v = v.subspan(count);
    }
  }

  ChunkChannel& channel_;
  uint8_t* begin_ = nullptr;
  uint8_t* pos_ = nullptr;
  uint8_t* end_ = nullptr;
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
  // `count` records of u32 fields (no count prefix: the caller read it).
  template <U32Record T>
  bool get_u32_records(uint64_t count, std::vector<T>& out);

  // How many elements to reserve for a claimed count of elements that take
  // at least `min_encoded_bytes` each: never more than the remaining input
  // could hold, so a corrupt count cannot make a large allocation.
  std::size_t reservation(uint64_t count, std::size_t min_encoded_bytes) const {
    return static_cast<std::size_t>(
        std::min<uint64_t>(count, static_cast<uint64_t>(end_ - pos_) / min_encoded_bytes));
  }

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
  // The value stored little-endian at p.
  template <typename T>
  static T load_le(const uint8_t* p) {
    T out = 0;
    if constexpr (kLittleEndianHost) {
      std::memcpy(&out, p, sizeof(T));
    } else {
      for (std::size_t i = 0; i < sizeof(T); ++i) out |= static_cast<T>(T{p[i]} << (8 * i));
    }
    return out;
  }

  template <typename T>
  bool get_le(T& v) {
    const uint8_t* p = nullptr;
    if (!take(sizeof(T), p)) return false;
    v = load_le<T>(p);
    return true;
  }

  template <typename T>
  bool get_array(std::vector<T>& out);

  const uint8_t* pos_;
  const uint8_t* end_;
  bool failed_ = false;
  std::string error_;
};

template <U32Record T>
bool ByteReader::get_u32_records(uint64_t count, std::vector<T>& out) {
  const uint8_t* data = nullptr;
  if (!take_elements(count, sizeof(T), data)) return false;
  out.resize(static_cast<std::size_t>(count));
  if constexpr (kLittleEndianHost) {
    if (count != 0) std::memcpy(out.data(), data, sizeof(T) * out.size());
  } else {
    for (T& record : out) {
      uint32_t words[sizeof(T) / 4];
      for (uint32_t& w : words) {
        w = load_le<uint32_t>(data);
        data += 4;
      }
      std::memcpy(&record, words, sizeof(T));
    }
  }
  return true;
}

// The UTF-8 check of decoded strings. Returns an empty string for valid
// input, otherwise the error text ("invalid utf-8 sequence of {} bytes from
// index {}" or "incomplete utf-8 byte sequence from index {}").
std::string utf8_error(std::span<const uint8_t> bytes);

}  // namespace tessarine::codec
