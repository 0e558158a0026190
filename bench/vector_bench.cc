// Vector engine benchmark: HNSW build time, recall@10 and queries/s for
// ef_search 16 .. 256, with and without raw vectors, beside a brute-force
// scan measured in the same run; and distance-kernel throughput per metric as
// a ratio to a plain scalar loop, and the 384-d kernels as a share of the
// core's peak multiply-add rate, measured in the same run.
//
//   vector_bench [--quick] [--data PATH]
//
// Data are clustered synthetic vectors from a fixed seed (50,000 of dimension
// 128; 5,000 with --quick). --data is accepted for the common bench runner
// and ignored.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/base/float_order.h"
#include "core/distance/code_pair.h"
#include "core/distance/cpu_features.h"
#include "core/distance/distance.h"
#include "core/distance/fixed_query.h"
#include "core/distance/simd.h"
#include "core/distance/x86_intrinsics.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"
#include "core/quantization/scalar.h"

namespace tessarine {
namespace {

// Timings are CPU time of this thread, so other processes sharing the
// machine do not distort the ratios.
struct Clock {
  using time_point = double;
  static time_point now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
  }
};

double seconds_since(Clock::time_point start) { return Clock::now() - start; }

struct Options {
  bool quick = false;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      options.quick = true;
    } else if (std::strcmp(argv[i], "--data") == 0 && i + 1 < argc) {
      ++i;  // synthetic data only
    }
  }
  return options;
}

// Gaussian clusters: `clusters` centres, each vector a centre plus noise.
struct Dataset {
  std::size_t dim = 0;
  std::vector<float> base;
  std::vector<float> queries;
  std::size_t base_count() const { return base.size() / dim; }
  std::size_t query_count() const { return queries.size() / dim; }
  std::span<const float> base_row(std::size_t i) const { return {base.data() + i * dim, dim}; }
  std::span<const float> query_row(std::size_t i) const { return {queries.data() + i * dim, dim}; }
};

Dataset make_dataset(std::size_t n, std::size_t queries, std::size_t dim, std::size_t clusters) {
  std::mt19937_64 rng(20240607);
  std::normal_distribution<float> centre_dist(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 1.5f);
  std::vector<float> centres(clusters * dim);
  for (auto& x : centres) x = centre_dist(rng);
  const auto fill = [&](std::vector<float>& out, std::size_t count) {
    out.resize(count * dim);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t c = rng() % clusters;
      for (std::size_t j = 0; j < dim; ++j) out[i * dim + j] = centres[c * dim + j] + noise(rng);
    }
  };
  Dataset data;
  data.dim = dim;
  fill(data.base, n);
  fill(data.queries, queries);
  return data;
}

// Exact top 10 of every query by a full scan; also the scan's queries/s.
struct BruteForce {
  std::vector<std::vector<uint32_t>> truth;
  double queries_per_second = 0.0;
};

BruteForce brute_force(const Dataset& data, DistanceMetric metric, std::size_t k) {
  BruteForce out;
  std::vector<std::pair<float, uint32_t>> all(data.base_count());
  const auto start = Clock::now();
  for (std::size_t q = 0; q < data.query_count(); ++q) {
    for (uint32_t i = 0; i < data.base_count(); ++i) {
      all[i] = {distance_exact(metric, data.query_row(q), data.base_row(i)), i};
    }
    std::partial_sort(all.begin(), all.begin() + k, all.end(), [](const auto& a, const auto& b) {
      return total_order_less(a.first, b.first);
    });
    std::vector<uint32_t> ids;
    for (std::size_t i = 0; i < k; ++i) ids.push_back(all[i].second);
    out.truth.push_back(std::move(ids));
  }
  out.queries_per_second = data.query_count() / seconds_since(start);
  return out;
}

void bench_graph(const Dataset& data, DistanceMetric metric, bool raw, const BruteForce& exact) {
  HnswConfig config;  // defaults: m 16, m_max0 32, ef_construction 200
  config.distance_metric = metric;
  config.store_raw_vectors = raw;
  HnswIndex index(config, data.dim);
  auto start = Clock::now();
  for (uint32_t i = 0; i < data.base_count(); ++i) {
    const auto v = data.base_row(i);
    index.insert(i, v, QuantizedVector::quantize(v));
  }
  const double build = seconds_since(start);
  std::printf("\n%s vectors: build %.2f s (%.0f inserts/s), max level %llu\n",
              raw ? "raw" : "scalar-quantized", build, data.base_count() / build,
              static_cast<unsigned long long>(index.max_level));
  std::printf("  %-9s %-10s %-12s %s\n", "ef_search", "recall@10", "queries/s", "vs brute force");
  for (uint64_t ef : {16, 32, 64, 128, 256}) {
    index.config.ef_search = ef;
    std::size_t hits = 0;
    start = Clock::now();
    for (std::size_t q = 0; q < data.query_count(); ++q) {
      const auto found = knn_search(index, data.query_row(q), 10);
      const std::set<uint32_t> truth(exact.truth[q].begin(), exact.truth[q].end());
      for (const auto& [d, id] : found) hits += truth.count(id);
    }
    const double qps = data.query_count() / seconds_since(start);
    std::printf("  %-9llu %-10.4f %-12.0f %.1fx\n", static_cast<unsigned long long>(ef),
                static_cast<double>(hits) / (10.0 * data.query_count()), qps,
                qps / exact.queries_per_second);
  }
}

// ---- Kernel throughput ---------------------------------------------------

// The plain loops every kernel is compared with: one multiply-add per
// component, single precision, index order.
float plain_loop(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
  float dot = 0.0f, na = 0.0f, nb = 0.0f, sq = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    if (metric == DistanceMetric::Cosine) {
      na += a[i] * a[i];
      nb += b[i] * b[i];
    }
    if (metric == DistanceMetric::Euclidean) sq += (a[i] - b[i]) * (a[i] - b[i]);
  }
  switch (metric) {
    case DistanceMetric::Cosine:
      return 1.0f - dot / (std::sqrt(na) * std::sqrt(nb));
    case DistanceMetric::Euclidean:
      return sq;
    case DistanceMetric::DotProduct:
      return -dot;
  }
  return 0.0f;
}

template <typename Fn>
double calls_per_second(std::size_t calls, std::size_t rows, Fn fn) {
  volatile float sink = 0.0f;
  const auto start = Clock::now();
  for (std::size_t c = 0; c < calls; ++c) sink = sink + fn(c % rows);
  return calls / seconds_since(start);
}

void bench_kernels(const Dataset& data, bool quick) {
  const std::size_t rows = std::min<std::size_t>(1024, data.base_count());
  const std::size_t calls = quick ? 200000 : 2000000;
  const auto query = data.query_row(0);
  std::vector<QuantizedVector> coded;
  for (std::size_t i = 0; i < rows; ++i)
    coded.push_back(QuantizedVector::quantize(data.base_row(i)));
  const float norm_sq = sum_of_squares(query);
  std::printf("\nKernels (dimension %zu, %zu calls, active path: %s)\n", data.dim, calls,
              active_kernel_name());
  std::printf("  %-11s %-14s %-16s %-16s %s\n", "metric", "plain Mcalls/s", "exact dispatch",
              "exact portable", "asymmetric dispatch (vs portable)");
  const char* names[] = {"cosine", "euclidean", "dot_product"};
  for (DistanceMetric metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    const double plain = calls_per_second(
        calls, rows, [&](std::size_t r) { return plain_loop(metric, query, data.base_row(r)); });
    const double exact = calls_per_second(calls, rows, [&](std::size_t r) {
      return distance_exact(metric, query, data.base_row(r));
    });
    const double portable = calls_per_second(calls, rows, [&](std::size_t r) {
      return distance_exact_portable(metric, query, data.base_row(r));
    });
    const double asym = calls_per_second(calls, rows, [&](std::size_t r) {
      return distance_asym_prenorm(metric, query, coded[r].view(), norm_sq);
    });
    const double asym_portable = calls_per_second(calls, rows, [&](std::size_t r) {
      return distance_asym_prenorm_portable(metric, query, coded[r].view(), norm_sq);
    });
    std::printf("  %-11s %-14.2f %-16s %-16s %.2fx plain (%.2fx)\n",
                names[static_cast<int>(metric)], plain / 1e6,
                (std::to_string(exact / plain).substr(0, 4) + "x plain").c_str(),
                (std::to_string(portable / plain).substr(0, 4) + "x plain").c_str(), asym / plain,
                asym / asym_portable);
  }
}

// ---- Kernels against the machine's peak ------------------------------------

// Single-precision multiply-adds per second with twelve independent
// accumulators in registers: the most this core's FMA units retire, widest
// vectors the CPU offers.
__attribute__((target("avx512f"))) double peak_fma_avx512(std::size_t iterations) {
  __m512 acc[12];
  for (int i = 0; i < 12; ++i) acc[i] = _mm512_set1_ps(1.0f + i * 1e-3f);
  const __m512 x = _mm512_set1_ps(0.999999f), y = _mm512_set1_ps(1e-7f);
  const auto start = Clock::now();
  for (std::size_t n = 0; n < iterations; ++n) {
    for (int i = 0; i < 12; ++i) acc[i] = _mm512_fmadd_ps(acc[i], x, y);
  }
  const double elapsed = seconds_since(start);
  __m512 sum = acc[0];
  for (int i = 1; i < 12; ++i) sum = _mm512_add_ps(sum, acc[i]);
  volatile float sink = _mm512_reduce_add_ps(sum);
  (void)sink;
  return static_cast<double>(iterations) * 12 * 16 / elapsed;
}

__attribute__((target("avx2,fma"))) double peak_fma_avx2(std::size_t iterations) {
  __m256 acc[12];
  for (int i = 0; i < 12; ++i) acc[i] = _mm256_set1_ps(1.0f + i * 1e-3f);
  const __m256 x = _mm256_set1_ps(0.999999f), y = _mm256_set1_ps(1e-7f);
  const auto start = Clock::now();
  for (std::size_t n = 0; n < iterations; ++n) {
    for (int i = 0; i < 12; ++i) acc[i] = _mm256_fmadd_ps(acc[i], x, y);
  }
  const double elapsed = seconds_since(start);
  __m256 sum = acc[0];
  for (int i = 1; i < 12; ++i) sum = _mm256_add_ps(sum, acc[i]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, sum);
  volatile float sink = lanes[0];
  (void)sink;
  return static_cast<double>(iterations) * 12 * 8 / elapsed;
}

// The 384-dimensional kernels the search runs (sentence-embedding size), on
// vectors that stay in cache, as a share of the peak measured just before.
// Each call's multiply-adds are counted as the kernel must do them: one per
// component for a dot product, a squared distance and the 8-bit cosine with
// the stored vector's norm known; three per component (the dot product and
// both norms) for the exact cosine of two new vectors.
void bench_kernel_peak(bool quick) {
  constexpr std::size_t dim = 384;
  constexpr std::size_t rows = 32;  // 48 KiB of floats, 12 KiB of codes
  const std::size_t calls = quick ? 1000000 : 4000000;
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  std::vector<float> base(rows * dim);
  for (float& x : base) x = normal(rng);
  std::vector<float> query(dim);
  for (float& x : query) x = normal(rng);
  const auto row_of = [&](std::size_t r) { return std::span<const float>(&base[r * dim], dim); };
  std::vector<QuantizedVector> coded;
  std::vector<double> coded_norms;
  for (std::size_t r = 0; r < rows; ++r) {
    coded.push_back(QuantizedVector::quantize(row_of(r)));
    coded_norms.push_back(decoded_norm_sq(coded.back().view()));
  }
  const float query_norm = sum_of_squares(query);

  const std::size_t peak_iterations = quick ? 5000000 : 50000000;
  double peak = 0;
  const char* width = "none";
  if (cpu_has_avx512f()) {
    peak = peak_fma_avx512(peak_iterations);
    width = "AVX-512";
  } else if (cpu_has_avx2_fma()) {
    peak = peak_fma_avx2(peak_iterations);
    width = "AVX2";
  }
  std::printf(
      "\nKernels at dimension %zu against this core's peak (%s FMA, %.1f G multiply-adds/s "
      "measured; active path: %s)\n",
      dim, width, peak / 1e9, active_kernel_name());
  std::printf("  %-34s %-12s %-13s %s\n", "kernel", "Mcalls/s", "G mul-add/s", "of peak");
  // The best of five rounds: a round lasts milliseconds, and one slow round
  // says more about the machine's other jobs than about the kernel.
  const auto best_of = [&](auto kernel) {
    double best = 0;
    for (int round = 0; round < 5; ++round) {
      best = std::max(best, calls_per_second(calls, rows, kernel));
    }
    return best;
  };
  const auto report = [&](const char* name, double per_call, double calls_per_s) {
    const double rate = per_call * calls_per_s;
    std::printf("  %-34s %-12.2f %-13.2f %.0f%%\n", name, calls_per_s / 1e6, rate / 1e9,
                peak > 0 ? 100.0 * rate / peak : 0.0);
  };
  const double d = static_cast<double>(dim);
  report("exact dot product", d, best_of([&](std::size_t r) {
           return distance_exact(DistanceMetric::DotProduct, query, row_of(r));
         }));
  report("exact squared euclidean", d, best_of([&](std::size_t r) {
           return distance_exact(DistanceMetric::Euclidean, query, row_of(r));
         }));
  report("exact cosine (both norms summed)", 3 * d, best_of([&](std::size_t r) {
           return distance_exact(DistanceMetric::Cosine, query, row_of(r));
         }));
  report("8-bit dot product", d, best_of([&](std::size_t r) {
           return distance_asym_prenorm(DistanceMetric::DotProduct, query, coded[r].view(),
                                        query_norm);
         }));
  report("8-bit cosine, stored norm", d, best_of([&](std::size_t r) {
           return distance_asym_prenorm(DistanceMetric::Cosine, query, coded[r].view(), query_norm,
                                        coded_norms[r]);
         }));
  // What the walk over 8-bit codes uses where the machine has VNNI: the
  // query in fixed point, its dot products with the codes in integers.
  if (fixed_query_supported()) {
    const auto fixed = FixedQuery::from(query);
    report("8-bit cosine, fixed-point query", d, best_of([&](std::size_t r) {
             return distance_fixed(DistanceMetric::Cosine, *fixed, coded[r].view(), query_norm,
                                   coded_norms[r]);
           }));
    report("8-bit dot product, fixed-point query", d, best_of([&](std::size_t r) {
             return distance_fixed(DistanceMetric::DotProduct, *fixed, coded[r].view(), query_norm,
                                   coded_norms[r]);
           }));
  }
  // The widest kernels called directly, without the dispatching entry
  // points' feature test and metric switch.
  if (cpu_has_avx512f()) {
    report("exact dot product, AVX-512 kernel", d,
           best_of([&](std::size_t r) { return avx512_dot_product_f32(query, row_of(r)); }));
    report("8-bit cosine, AVX-512 kernel", d, best_of([&](std::size_t r) {
             return avx512_cosine_asym_known_norm(query, coded[r].view(), query_norm,
                                                  coded_norms[r]);
           }));
  }
  // The neighbour selection's comparison of two stored vectors: from the
  // codes' integer sums, and (as it was done before) decoding the candidate
  // and taking the exact cosine against an already decoded neighbour.
  std::vector<CodedVector> with_stats;
  for (const auto& c : coded) with_stats.push_back(CodedVector::of(c.view()));
  const CodedVector& first = with_stats.front();
  const std::vector<float> first_decoded = coded.front().view().decode();
  const float first_norm = exact_norm_sq(first_decoded);
  std::vector<float> decoded(dim);
  report("8-bit pair cosine, from codes", d, best_of([&](std::size_t r) {
           return distance_between_codes(DistanceMetric::Cosine, first, with_stats[r]);
         }));
  report("8-bit pair cosine, decoded", d, best_of([&](std::size_t r) {
           coded[r].view().decode_into(decoded);
           return distance_exact(DistanceMetric::Cosine, decoded, first_decoded,
                                 exact_norm_sq(decoded), first_norm);
         }));
}

}  // namespace
}  // namespace tessarine

int main(int argc, char** argv) {
  using namespace tessarine;
  const Options options = parse(argc, argv);
  const std::size_t n = options.quick ? 5000 : 50000;
  const std::size_t queries = options.quick ? 100 : 500;
  const std::size_t dim = 128;
  const Dataset data = make_dataset(n, queries, dim, n / 50);
  std::printf(
      "vector_bench: %zu clustered vectors of dimension %zu, %zu queries, cosine, "
      "m 16, ef_construction 200\n",
      n, dim, queries);
  const BruteForce exact = brute_force(data, DistanceMetric::Cosine, 10);
  std::printf("brute-force scan: %.0f queries/s\n", exact.queries_per_second);
  bench_graph(data, DistanceMetric::Cosine, true, exact);
  bench_graph(data, DistanceMetric::Cosine, false, exact);
  bench_kernels(data, options.quick);
  bench_kernel_peak(options.quick);
  return 0;
}
