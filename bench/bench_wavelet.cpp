// Wavelet transforms: single-level forward and inverse, full decomposition and
// reconstruction, for each wavelet at 4 Ki, 64 Ki, 1 Mi and 16 Mi samples.
// "GB/s" counts float32 input bytes (4·n) per second, in 10^9 bytes.
//
//   bench_wavelet --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "wavelet/dwt.hpp"
#include "wavelet/filter_bank_dwt.hpp"
#include "wavelet/util.hpp"

namespace {

using vdx::WaveletMethod;
using vdx::wavelet::DwtHandle;
using vdx::wavelet::FilterBankImplementation;

std::vector<float> signal(size_t n) {
  std::mt19937 rng(12345);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = std::sin(0.001f * static_cast<float>(i)) + noise(rng);
  return x;
}

// The transforms under test; the last one is the portable filter bank, which
// the factory only picks on processors without SSE4.2.
DwtHandle transform(int id) {
  switch (id) {
    case 0: return vdx::wavelet::create_dwt(WaveletMethod::Cdf53);
    case 1: return vdx::wavelet::create_dwt(WaveletMethod::Cdf97);
    case 2: return vdx::wavelet::create_dwt(WaveletMethod::Db4);
    case 3: return vdx::wavelet::create_dwt(WaveletMethod::Sym4);
    default:
      return vdx::wavelet::create_filter_bank_dwt(vdx::wavelet::kDb4Coefficients,
                                                  FilterBankImplementation::Portable);
  }
}


// Levels until a band would fall below the filter length, as a full
// decomposition of the codec goes.
size_t full_levels(const vdx::wavelet::MultiLevelDwt& t, size_t n) {
  return static_cast<size_t>(std::floor(std::log2(double(n) / double(t.filter_length()))));
}

void report(benchmark::State& state, size_t n) {
  state.counters["GB/s"] = benchmark::Counter(
      double(n) * sizeof(float) * double(state.iterations()) / 1e9, benchmark::Counter::kIsRate);
}

void forward(benchmark::State& state) {
  const DwtHandle t = transform(static_cast<int>(state.range(0)));
  const size_t n = static_cast<size_t>(state.range(1));
  const std::vector<float> x = signal(n);
  const auto [a, d] = t->forward_sizes(n);
  std::vector<float> approximation(a), details(d);
  for (auto _ : state) {
    auto status = t->forward(x, approximation, details);
    benchmark::DoNotOptimize(status);
    benchmark::ClobberMemory();
  }
  report(state, n);
}

void inverse(benchmark::State& state) {
  const DwtHandle t = transform(static_cast<int>(state.range(0)));
  const size_t n = static_cast<size_t>(state.range(1));
  const std::vector<float> x = signal(n);
  const auto [a, d] = t->forward_sizes(n);
  std::vector<float> approximation(a), details(d);
  if (!t->forward(x, approximation, details).ok()) state.SkipWithError("forward failed");
  // Filter banks add into the output; the repeated sums change no timing.
  std::vector<float> y(t->inverse_size(a, d));
  for (auto _ : state) {
    auto status = t->inverse(approximation, details, y);
    benchmark::DoNotOptimize(status);
    benchmark::ClobberMemory();
  }
  report(state, n);
}

void decompose(benchmark::State& state) {
  const DwtHandle t = transform(static_cast<int>(state.range(0)));
  const size_t n = static_cast<size_t>(state.range(1));
  const std::vector<float> x = signal(n);
  const size_t levels = full_levels(*t, n);
  for (auto _ : state) {
    auto result = t->decompose(x, levels);
    if (!result.ok()) state.SkipWithError(result.error().message().c_str());
    benchmark::DoNotOptimize(result);
  }
  state.counters["levels"] = double(levels);
  report(state, n);
}

void reconstruct(benchmark::State& state) {
  const DwtHandle t = transform(static_cast<int>(state.range(0)));
  const size_t n = static_cast<size_t>(state.range(1));
  const std::vector<float> x = signal(n);
  const size_t levels = full_levels(*t, n);
  auto decomposed = t->decompose(x, levels);
  if (!decomposed.ok()) {
    state.SkipWithError(decomposed.error().message().c_str());
    return;
  }
  std::vector<std::span<const float>> details;
  for (const auto& level : *decomposed) details.emplace_back(level.details);
  for (auto _ : state) {
    auto y = t->reconstruct(decomposed->back().approximation, details);
    if (!y.ok()) state.SkipWithError(y.error().message().c_str());
    benchmark::DoNotOptimize(y);
  }
  state.counters["levels"] = double(levels);
  report(state, n);
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int id = 0; id < 5; ++id) {
    for (int64_t n : {int64_t{4} << 10, int64_t{64} << 10, int64_t{1} << 20, int64_t{16} << 20}) {
      b->Args({id, n});
    }
  }
  b->ArgNames({"wavelet", "n"});
}

}  // namespace

BENCHMARK(forward)->Apply(sizes);
BENCHMARK(inverse)->Apply(sizes);
BENCHMARK(decompose)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(reconstruct)->Apply(sizes)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("wavelets", "0 cdf53, 1 cdf97, 2 db4, 3 sym4, 4 db4 portable");
  benchmark::AddCustomContext(
      "filter bank",
      vdx::wavelet::has_feature(vdx::wavelet::kFeatureSse42) ? "sse4.2" : "portable");
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
