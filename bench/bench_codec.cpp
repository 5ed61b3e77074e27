// The whole codec: compress_samples and decompress_container on 1 Mi samples,
// every wavelet with every coder, default scale and cutoff.
//
// Signals: "tones" (three tones plus Gaussian noise, generated) always, and
// "file" when VERDALIX_BENCH_SIGNAL names a raw little-endian float32 file
// (scripts/bench.sh writes SciPy's ECG recording there); shorter files are
// tiled to 1 Mi samples.
//
// VERDALIX_BENCH_SAMPLES, a comma-separated list of sample counts, runs
// those lengths instead of 1 Mi; the length is then the name's last part.
//
// Counters:
//   MB/s         float32 input bytes (4 per sample) per second, 10^6 bytes
//   samples/s    samples per second
//   decisions/s  binary decisions of the coefficient stream per second,
//                counted exactly from the container's bands (cmodel), or 8
//                per coefficient byte (arans); absent for deflate
//   peak/input   largest heap in use during one call above what was in use
//                before it, over the float32 input size (operator new only:
//                zlib's own state, about 270 KB, comes from malloc)
//
//   bench_codec --benchmark_min_time=0.5
//
// `bench_codec --count-decisions FILE...` prints, per container file, its
// coder id and decision count (bench/compare.py uses it for decisions/s).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "src/cmodel.hpp"
#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/decompressor.hpp"
#include "wavelet/dwt.hpp"

// ---- heap accounting: every operator new carries its size in front --------

namespace {

std::atomic<size_t> heap_in_use{0};
std::atomic<size_t> heap_peak{0};
constexpr size_t kPrefix = alignof(std::max_align_t);

void note_allocation(size_t size) {
  const size_t now = heap_in_use.fetch_add(size, std::memory_order_relaxed) + size;
  size_t peak = heap_peak.load(std::memory_order_relaxed);
  while (now > peak && !heap_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

}  // namespace

[[gnu::noinline]] void* operator new(size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kPrefix));
  if (!block) throw std::bad_alloc();
  std::memcpy(block, &size, sizeof size);
  note_allocation(size);
  return block + kPrefix;
}
[[gnu::noinline]] void* operator new[](size_t size) { return ::operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}
// Not inlined: seen inside a caller, free() on memory from a new-expression
// looks to the compiler like a mismatched pair.
[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (!p) return;
  auto* block = static_cast<unsigned char*>(p) - kPrefix;
  size_t size;
  std::memcpy(&size, block, sizeof size);
  heap_in_use.fetch_sub(size, std::memory_order_relaxed);
  std::free(block);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept { ::operator delete(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { ::operator delete(p); }
[[gnu::noinline]] void operator delete[](void* p, size_t) noexcept { ::operator delete(p); }

namespace {

using vdx::EntropyCoder;
using vdx::WaveletMethod;

constexpr size_t kSamples = size_t{1} << 20;

struct Signal {
  std::string name;
  std::vector<float> samples;
  std::string length;  // "/<length>" when the lengths were chosen, else empty
};

std::vector<size_t> lengths() {
  const char* list = std::getenv("VERDALIX_BENCH_SAMPLES");
  if (!list) return {kSamples};
  std::vector<size_t> out;
  for (const char* at = list; *at;) {
    char* end;
    const unsigned long long n = std::strtoull(at, &end, 10);
    if (end == at || n == 0) {
      std::fprintf(stderr, "bad VERDALIX_BENCH_SAMPLES=%s\n", list);
      std::exit(1);
    }
    out.push_back(static_cast<size_t>(n));
    at = *end == ',' ? end + 1 : end;
  }
  return out;
}

std::vector<float> noisy_tones(size_t n) {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(0.6 * std::sin(t * 0.0031) + 0.3 * std::sin(t * 0.047 + 1.0) +
                              0.1 * std::sin(t * 0.71 + 2.0)) +
           noise(rng);
  }
  return x;
}

// Raw float32 samples of `path`, tiled to n; empty when unreadable.
std::vector<float> tiled_file(const char* path, size_t n) {
  std::vector<float> raw;
  if (FILE* f = std::fopen(path, "rb")) {
    float buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, sizeof(float), 4096, f)) > 0) {
      raw.insert(raw.end(), buffer, buffer + got);
    }
    std::fclose(f);
  }
  if (raw.empty()) return raw;
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = raw[i % raw.size()];
  return x;
}

std::vector<Signal> signals() {
  std::vector<Signal> out;
  const bool chosen = std::getenv("VERDALIX_BENCH_SAMPLES") != nullptr;
  for (size_t n : lengths()) {
    std::string suffix;
    if (chosen) suffix.append("/").append(std::to_string(n));
    out.push_back({"tones", noisy_tones(n), suffix});
    if (const char* path = std::getenv("VERDALIX_BENCH_SIGNAL")) {
      std::vector<float> x = tiled_file(path, n);
      if (x.empty()) {
        std::fprintf(stderr, "cannot read VERDALIX_BENCH_SIGNAL=%s\n", path);
        std::exit(1);
      }
      out.push_back({"file", std::move(x), suffix});
    }
  }
  return out;
}

const char* name_of(WaveletMethod m) {
  switch (m) {
    case WaveletMethod::Cdf53: return "cdf53";
    case WaveletMethod::Cdf97: return "cdf97";
    case WaveletMethod::Db4: return "db4";
    case WaveletMethod::Sym4: return "sym4";
  }
  return "?";
}

const char* name_of(EntropyCoder c) {
  switch (c) {
    case EntropyCoder::Deflate: return "deflate";
    case EntropyCoder::Arans: return "arans";
    default: return "cmodel";
  }
}

// Binary decisions the container's payload holds: decoded again and counted
// band by band with the widths the stream declares.
// The container must be valid.
uint64_t decisions_in(const std::vector<uint8_t>& container) {
  auto header = vdx::parse_header(container);
  if (!header.ok()) std::abort();
  auto checked = vdx::check_container(*header, container);
  if (!checked.ok()) std::abort();
  const uint8_t coder = header->coder_id;
  const auto dwt = vdx::wavelet::create_dwt(header->method);
  std::vector<uint32_t> lengths(size_t{header->levels} + 1);
  size_t length = std::max<size_t>(header->sample_count, dwt->filter_length());
  for (size_t level = 0; level < header->levels; ++level) {
    const auto [approximation, details] = dwt->forward_sizes(length);
    lengths[level + 1] = static_cast<uint32_t>(details);
    length = approximation;
  }
  lengths[0] = static_cast<uint32_t>(length);
  uint64_t coefficients = 0;
  for (uint32_t l : lengths) coefficients += l;
  if (coder == 1) return 16 * coefficients;  // arans: 8 per byte, 2 bytes each
  if (coder == 0) return 0;                  // deflate makes no binary decisions
  auto bands = vdx::CoefficientStream::decode(checked->payload, lengths);
  if (!bands.ok()) std::abort();
  const uint8_t* widths = checked->payload.data() + 1;
  uint64_t decisions = 0;
  for (size_t i = 0; i < bands->size(); ++i) {
    decisions += vdx::CoefficientStream::decision_count((*bands)[i], widths[i]);
  }
  return decisions;
}

void report(benchmark::State& state, size_t n, uint64_t decisions, size_t peak) {
  using benchmark::Counter;
  const double runs = static_cast<double>(state.iterations());
  state.counters["MB"] = Counter(4.0 * double(n) * runs / 1e6, Counter::kIsRate);
  state.counters["samples"] = Counter(double(n) * runs, Counter::kIsRate);
  if (decisions) state.counters["decisions"] = Counter(double(decisions) * runs, Counter::kIsRate);
  state.counters["peak/input"] = double(peak) / (4.0 * double(n));
}

// Peak heap above the level at the start of each call, the largest over calls.
struct PeakTracker {
  size_t largest = 0;
  size_t base = 0;
  void start() {
    base = heap_in_use.load();
    heap_peak.store(base);
  }
  void stop() { largest = std::max(largest, heap_peak.load() - base); }
};

void compress(benchmark::State& state, const Signal* signal, vdx::CodecOptions options) {
  std::vector<uint8_t> container;
  PeakTracker peak;
  for (auto _ : state) {
    peak.start();
    auto result = vdx::compress_samples(signal->samples, options);
    peak.stop();
    if (!result.ok()) {
      state.SkipWithError("compress failed");
      return;
    }
    container = std::move(result).value();
  }
  state.counters["ratio"] = 4.0 * double(signal->samples.size()) / double(container.size());
  report(state, signal->samples.size(), decisions_in(container), peak.largest);
}

void decompress(benchmark::State& state, const Signal* signal, vdx::CodecOptions options) {
  auto container = vdx::compress_samples(signal->samples, options);
  if (!container.ok()) {
    state.SkipWithError("compress failed");
    return;
  }
  PeakTracker peak;
  for (auto _ : state) {
    peak.start();
    auto samples = vdx::decompress_container(*container);
    peak.stop();
    if (!samples.ok()) {
      state.SkipWithError("decompress failed");
      return;
    }
    benchmark::DoNotOptimize(samples);
  }
  report(state, signal->samples.size(), decisions_in(*container), peak.largest);
}

// One line per file: "<path> <coder id> <decisions>"; exit 1 when a file is
// unreadable or not a valid container.
int count_decisions(int count, char** paths) {
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(paths[i], "rb")) {
      uint8_t buffer[65536];
      size_t got;
      while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
      }
      std::fclose(f);
    }
    auto header = vdx::parse_header(bytes);
    if (!header.ok() || !vdx::check_container(*header, bytes).ok()) {
      std::fprintf(stderr, "%s: not a valid container\n", paths[i]);
      return 1;
    }
    std::printf("%s %u %llu\n", paths[i], unsigned{header->coder_id},
                static_cast<unsigned long long>(decisions_in(bytes)));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--count-decisions") == 0) {
    return count_decisions(argc - 2, argv + 2);
  }
  benchmark::Initialize(&argc, argv);
  static const std::vector<Signal> all = signals();
  for (const Signal& signal : all) {
    for (auto method : {WaveletMethod::Cdf97, WaveletMethod::Cdf53, WaveletMethod::Db4,
                        WaveletMethod::Sym4}) {
      for (auto coder : {EntropyCoder::Cmodel, EntropyCoder::Arans, EntropyCoder::Deflate}) {
        vdx::CodecOptions options;
        options.method = method;
        options.coder = coder;
        const std::string suffix =
            signal.name + "/" + name_of(method) + "/" + name_of(coder) + signal.length;
        benchmark::RegisterBenchmark(("compress/" + suffix).c_str(), compress, &signal, options)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("decompress/" + suffix).c_str(), decompress, &signal,
                                     options)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
