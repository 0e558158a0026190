// Reads a 2-D float16 .npy file (the data directory's sentence embeddings)
// into float32 rows, for the C++ benchmarks that run on the real vectors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace tessarine::bench {

struct F16Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<float> values;  // rows * cols, row-major
};

// IEEE 754 binary16 to binary32, subnormals and infinities included.
inline float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  uint32_t exponent = (h >> 10) & 0x1fu;
  uint32_t mantissa = h & 0x3ffu;
  uint32_t bits;
  if (exponent == 0x1f) {
    bits = sign | 0x7f800000u | (mantissa << 13);
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {  // subnormal: normalise
    exponent = 113;
    while ((mantissa & 0x400u) == 0) {
      mantissa <<= 1;
      --exponent;
    }
    bits = sign | (exponent << 23) | ((mantissa & 0x3ffu) << 13);
  }
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

// The first `max_rows` rows of a C-ordered little-endian '<f2' array of two
// dimensions; nothing when the file is missing or not such an array.
inline std::optional<F16Matrix> read_f16_npy(const std::string& path, std::size_t max_rows) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) return std::nullopt;
  std::size_t header_length = 0;
  if (magic[6] == 1) {
    unsigned char b[2];
    if (!in.read(reinterpret_cast<char*>(b), 2)) return std::nullopt;
    header_length = b[0] | (b[1] << 8);
  } else {
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char*>(b), 4)) return std::nullopt;
    header_length = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::size_t>(b[3]) << 24);
  }
  std::string header(header_length, '\0');
  if (!in.read(header.data(), static_cast<std::streamsize>(header_length))) return std::nullopt;
  if (header.find("'<f2'") == std::string::npos ||
      header.find("'fortran_order': False") == std::string::npos) {
    return std::nullopt;
  }
  const std::size_t shape = header.find("'shape': (");
  if (shape == std::string::npos) return std::nullopt;
  F16Matrix m;
  char* end = nullptr;
  m.rows = std::strtoull(header.c_str() + shape + 10, &end, 10);
  if (end == nullptr || *end != ',') return std::nullopt;
  m.cols = std::strtoull(end + 1, nullptr, 10);
  if (m.rows == 0 || m.cols == 0) return std::nullopt;
  m.rows = std::min(m.rows, max_rows);
  std::vector<uint16_t> raw(m.rows * m.cols);
  if (!in.read(reinterpret_cast<char*>(raw.data()),
               static_cast<std::streamsize>(raw.size() * sizeof(uint16_t)))) {
    return std::nullopt;
  }
  m.values.resize(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) m.values[i] = half_to_float(raw[i]);
  return m;
}

}  // namespace tessarine::bench
