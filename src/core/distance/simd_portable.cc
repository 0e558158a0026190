// Portable reference kernels. Every wide kernel is tested against these.
#include <cstddef>

#include "core/distance/simd.h"
#include "core/distance/simd_constants.h"

namespace tessarine {

float cosine_similarity_portable(std::span<const float> a, std::span<const float> b) {
  float dot = 0.0f, na = 0.0f, nb = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  return cosine_from_sums(dot, na, nb);
}

float cosine_known_norms_portable(std::span<const float> a, std::span<const float> b, float na,
                                  float nb) {
  return cosine_from_sums(dot_product_portable(a, b), na, nb);
}

float dot_product_portable(std::span<const float> a, std::span<const float> b) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

float euclidean_sq_portable(std::span<const float> a, std::span<const float> b) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

float sum_of_squares(std::span<const float> v) {
  float sum = 0.0f;
  for (float x : v) sum += x * x;
  return sum;
}

namespace {

// Walks query and codes in blocks of 8: each block's terms are summed in
// single precision from 0 and the block sum is added to a double total; the
// tail terms go straight into the double total. `term(q, decoded)` gives one
// term and `tail_term` the same in double precision.
template <typename Term, typename TailTerm>
double blocked_sum(std::span<const float> query, const QuantizedView& view, Term term,
                   TailTerm tail_term) {
  const std::size_t n = query.size();
  const std::size_t blocked = n - n % 8;
  double total = 0.0;
  for (std::size_t i = 0; i < blocked; i += 8) {
    float block = 0.0f;
    for (std::size_t j = i; j < i + 8; ++j) {
      block += term(query[j], view.codes[j] * view.scale + view.min);
    }
    total += block;
  }
  for (std::size_t i = blocked; i < n; ++i) {
    total += tail_term(query[i], view.codes[i] * view.scale + view.min);
  }
  return total;
}

}  // namespace

float dot_product_asym(std::span<const float> query, const QuantizedView& view) {
  return static_cast<float>(blocked_sum(
      query, view, [](float q, float x) { return q * x; },
      [](double q, double x) { return q * x; }));
}

float euclidean_distance_sq_asym(std::span<const float> query, const QuantizedView& view) {
  return static_cast<float>(blocked_sum(
      query, view,
      [](float q, float x) {
        const float d = q - x;
        return d * d;
      },
      [](double q, double x) {
        const double d = q - x;
        return d * d;
      }));
}

float cosine_similarity_asym_prenorm(std::span<const float> query, const QuantizedView& view,
                                     float query_norm_sq) {
  if (kCosineEpsilonF > query_norm_sq || view.scale == 0.0f) return 0.0f;
  const double dot = blocked_sum(
      query, view, [](float q, float x) { return q * x; },
      [](double q, double x) { return q * x; });
  const double norm = blocked_sum(
      query, view, [](float, float x) { return x * x; }, [](double, double x) { return x * x; });
  return cosine_asym_from_sums(dot, norm, query_norm_sq);
}

double decoded_norm_sq_portable(const QuantizedView& view) {
  // blocked_sum's order, without a query.
  const std::size_t n = view.codes.size();
  const std::size_t blocked = n - n % 8;
  double total = 0.0;
  for (std::size_t i = 0; i < blocked; i += 8) {
    float block = 0.0f;
    for (std::size_t j = i; j < i + 8; ++j) {
      const float x = view.codes[j] * view.scale + view.min;
      block += x * x;
    }
    total += block;
  }
  for (std::size_t i = blocked; i < n; ++i) {
    const double x = view.codes[i] * view.scale + view.min;
    total += x * x;
  }
  return total;
}

float cosine_similarity_asym_known_norm(std::span<const float> query, const QuantizedView& view,
                                        float query_norm_sq, double stored_norm_sq) {
  if (kCosineEpsilonF > query_norm_sq || view.scale == 0.0f) return 0.0f;
  const double dot = blocked_sum(
      query, view, [](float q, float x) { return q * x; },
      [](double q, double x) { return q * x; });
  return cosine_asym_from_sums(dot, stored_norm_sq, query_norm_sq);
}

}  // namespace tessarine
