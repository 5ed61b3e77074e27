// Entropy coders on realistic input: the quantised CDF 9/7 bands (scale 11,
// cutoff low) of a noisy multi-tone signal, and their flat int16 bytes.
// Counters: "decisions" is binary decisions per second (coefficient stream:
// one zero flag per value, sign and magnitude bits per nonzero value; arans:
// eight per byte), "int16_bytes" the int16 input (2 bytes per coefficient).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "src/arans.hpp"
#include "src/cmodel.hpp"
#include "src/deflate.hpp"
#include "src/quantizer.hpp"
#include "wavelet/dwt.hpp"

namespace {

struct Workload {
  std::vector<std::vector<int16_t>> bands;
  std::vector<std::span<const int16_t>> views;
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> flat_bytes;
  size_t coefficients = 0;
  uint64_t cmodel_decisions = 0;
  std::vector<uint8_t> cmodel_stream, arans_stream, deflate_stream;
};

std::vector<float> noisy_tones(size_t n) {
  std::mt19937 rng(2024);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<float> signal(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    signal[i] = static_cast<float>(0.6 * std::sin(t * 0.0031) + 0.3 * std::sin(t * 0.047 + 1.0) +
                                   0.1 * std::sin(t * 0.71 + 2.0)) +
                noise(rng);
  }
  // Normalised to 0..1 and centred, as the pipeline does before the transform.
  float lo = signal[0], hi = signal[0];
  for (float v : signal) lo = std::min(lo, v), hi = std::max(hi, v);
  double sum = 0;
  for (float& v : signal) sum += (v = (v - lo) / (hi - lo));
  const float mean = static_cast<float>(sum / static_cast<double>(n));
  for (float& v : signal) v -= mean;
  return signal;
}

const Workload& workload(size_t samples) {
  static std::map<size_t, Workload> cache;
  auto [it, inserted] = cache.try_emplace(samples);
  Workload& w = it->second;
  if (!inserted) return w;
  const auto dwt = vdx::wavelet::create_dwt(vdx::WaveletMethod::Cdf97);
  auto levels = dwt->decompose(noisy_tones(samples), 8);
  if (!levels.ok()) std::abort();
  const float multiplier = 2048.0f;  // scale 11
  const uint16_t threshold = vdx::cutoff_threshold(11, vdx::CutoffLevel::Low);
  auto quantise = [&](const std::vector<float>& band, bool detail) {
    std::vector<int16_t> q(band.size());
    vdx::quantize_band(band, multiplier, q);
    if (detail) vdx::apply_cutoff(q, threshold);
    w.bands.push_back(std::move(q));
  };
  quantise(levels->back().approximation, false);
  for (const auto& level : *levels) quantise(level.details, true);
  for (const auto& band : w.bands) {
    w.views.emplace_back(band);
    w.lengths.push_back(static_cast<uint32_t>(band.size()));
    w.coefficients += band.size();
    w.cmodel_decisions += vdx::CoefficientStream::decision_count(
        band, vdx::CoefficientStream::band_width(band));
    const size_t at = w.flat_bytes.size();
    w.flat_bytes.resize(at + 2 * band.size());
    std::memcpy(w.flat_bytes.data() + at, band.data(), 2 * band.size());
  }
  w.cmodel_stream = vdx::CoefficientStream::encode(w.views);
  w.arans_stream = vdx::arans::encode(w.flat_bytes);
  w.deflate_stream = vdx::deflate_compress(w.flat_bytes).value();
  return w;
}

void report(benchmark::State& state, const Workload& w, uint64_t decisions, size_t coded) {
  using benchmark::Counter;
  if (decisions) {
    state.counters["decisions"] =
        Counter(static_cast<double>(decisions), Counter::kIsIterationInvariantRate);
  }
  state.counters["int16_bytes"] =
      Counter(static_cast<double>(2 * w.coefficients), Counter::kIsIterationInvariantRate);
  state.counters["coded_bits_per_coef"] = 8.0 * static_cast<double>(coded) /
                                          static_cast<double>(w.coefficients);
}

void BM_CmodelEncode(benchmark::State& state) {
  const Workload& w = workload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(vdx::CoefficientStream::encode(w.views));
  report(state, w, w.cmodel_decisions, w.cmodel_stream.size());
}

void BM_CmodelDecode(benchmark::State& state) {
  const Workload& w = workload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto decoded = vdx::CoefficientStream::decode_flat(w.cmodel_stream, w.lengths);
    if (!decoded.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
  report(state, w, w.cmodel_decisions, w.cmodel_stream.size());
}

void BM_AransEncode(benchmark::State& state) {
  const Workload& w = workload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(vdx::arans::encode(w.flat_bytes));
  report(state, w, 8 * w.flat_bytes.size(), w.arans_stream.size());
}

void BM_AransDecode(benchmark::State& state) {
  const Workload& w = workload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto decoded = vdx::arans::decode(w.arans_stream);
    if (!decoded.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
  report(state, w, 8 * w.flat_bytes.size(), w.arans_stream.size());
}

void BM_DeflateCompress(benchmark::State& state) {
  const Workload& w = workload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(vdx::deflate_compress(w.flat_bytes));
  report(state, w, 0, w.deflate_stream.size());
}

void BM_DeflateDecompress(benchmark::State& state) {
  const Workload& w = workload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto inflated = vdx::deflate_decompress(w.deflate_stream);
    if (!inflated.ok()) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(inflated);
  }
  report(state, w, 0, w.deflate_stream.size());
}

constexpr int64_t kSmall = 64 << 10;
constexpr int64_t kLarge = 4 << 20;

}  // namespace

BENCHMARK(BM_CmodelEncode)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CmodelDecode)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AransEncode)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AransDecode)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateCompress)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateDecompress)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
