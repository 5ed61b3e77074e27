// Writes the seed corpus of every fuzz target into <dir>/<target>/, all of
// it made by the codec's own encoders: real containers of every wavelet and
// coder, their payloads for the decoder targets, and round-trip inputs of
// each sample kind. Deterministic, a few hundred small files.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "src/arans.hpp"
#include "src/cmodel.hpp"
#include "src/compressor.hpp"
#include "src/container.hpp"
#include "src/deflate.hpp"
#include "src/frame/chunk_codec.hpp"
#include "tests/fuzz/band_lengths_input.hpp"
#include "tests/fuzz/h5_filter_input.hpp"
#include "tests/fuzz/round_trip_input.hpp"
#include "wavelet/dwt.hpp"

namespace fs = std::filesystem;
using namespace vdx;
using Bytes = std::vector<uint8_t>;

namespace {

class CorpusWriter {
 public:
  explicit CorpusWriter(fs::path root) : root_(std::move(root)) {}

  void add(const std::string& target, std::span<const uint8_t> bytes) {
    const fs::path dir = root_ / target;
    fs::create_directories(dir);
    const fs::path file = dir / ("seed_" + std::to_string(count_++));
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

 private:
  fs::path root_;
  size_t count_ = 0;
};

std::vector<float> tones(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i);
    x[i] = std::sin(t * 0.07f) + 0.4f * std::sin(t * 0.5f) + noise(rng);
  }
  return x;
}

// Band lengths exactly as the decoder derives them from the header.
std::vector<uint32_t> band_lengths(WaveletMethod method, size_t n, uint8_t levels) {
  const wavelet::DwtHandle dwt = wavelet::create_dwt(method);
  size_t length = std::max(n, dwt->filter_length());
  std::vector<uint32_t> lengths(size_t{levels} + 1);
  for (uint8_t level = 0; level < levels; ++level) {
    const auto [a, d] = dwt->forward_sizes(length);
    lengths[level + 1] = static_cast<uint32_t>(d);
    length = a;
  }
  lengths[0] = static_cast<uint32_t>(length);
  return lengths;
}

void add_containers(CorpusWriter& out) {
  constexpr WaveletMethod kMethods[] = {WaveletMethod::Cdf53, WaveletMethod::Cdf97,
                                        WaveletMethod::Db4, WaveletMethod::Sym4};
  constexpr EntropyCoder kCoders[] = {EntropyCoder::Deflate, EntropyCoder::Arans,
                                      EntropyCoder::Cmodel};
  uint32_t seed = 1;
  for (WaveletMethod m : kMethods) {
    for (EntropyCoder coder : kCoders) {
      for (size_t n : {1, 5, 33, 120, 700}) {
        for (uint8_t scale : {6, 12}) {
          CodecOptions o;
          o.method = m, o.coder = coder, o.scale = scale;
          o.cutoff = static_cast<CutoffLevel>(seed % 3);
          const std::vector<float> x = tones(n, seed++);
          auto made = compress_samples(x, o);
          if (!made.ok()) continue;
          const Bytes& container = *made;
          out.add("fuzz_decompress_container", container);
          // As a chunk of one line, and of one row of a 2-D dataset.
          const unsigned line[] = {static_cast<unsigned>(n)};
          const unsigned row[] = {1, static_cast<unsigned>(n)};
          out.add("fuzz_h5_filter_decode", fuzz::format_h5_filter_input(seed % 2, line, container));
          out.add("fuzz_h5_filter_decode", fuzz::format_h5_filter_input(0, row, container));
          out.add("fuzz_parse_header", std::span(container).first(kHeaderSize));
          const std::span<const uint8_t> payload = std::span(container).subspan(kHeaderSize);
          if (coder == EntropyCoder::Cmodel) {
            const auto lengths = band_lengths(m, n, container[12]);
            out.add("fuzz_coefficient_stream", fuzz::format_band_lengths(lengths, payload));
          } else if (coder == EntropyCoder::Arans) {
            out.add("fuzz_arans_decode", payload);
          } else {
            Bytes limited{static_cast<uint8_t>(seed % 8)};
            limited.insert(limited.end(), payload.begin(), payload.end());
            out.add("fuzz_deflate_decompress", limited);
          }
        }
      }
    }
  }
}

// Byte strings around the arans coder's size thresholds (6 bytes: stored;
// 16384: wider context), and deflate streams of repetitive and random data.
void add_byte_strings(CorpusWriter& out) {
  std::mt19937 rng(99);
  for (size_t n : {0, 1, 5, 6, 7, 20, 301, 16383, 16384, 16385}) {
    Bytes x(n);
    for (auto& b : x) b = static_cast<uint8_t>(rng() % 7 == 0 ? rng() : 0);
    out.add("fuzz_arans_decode", arans::encode(x));
    auto deflated = deflate_compress(x);
    if (!deflated.ok()) continue;
    Bytes limited{static_cast<uint8_t>(n % 8)};
    limited.insert(limited.end(), deflated->begin(), deflated->end());
    out.add("fuzz_deflate_decompress", limited);
  }
}

// Band lists the pipeline never makes: empty bands, width 16, -32768.
void add_band_lists(CorpusWriter& out) {
  const std::vector<std::vector<int16_t>> lists[] = {
      {},
      {{}},
      {{1, 0, -2}, {0, 0}},
      {{-32768, 32767, 0, 0, 0, 1}, {}, {5}},
      {std::vector<int16_t>(3000, 0), std::vector<int16_t>(50, -1)},
  };
  for (const auto& list : lists) {
    std::vector<std::span<const int16_t>> views(list.begin(), list.end());
    std::vector<uint32_t> lengths;
    for (const auto& band : list) lengths.push_back(static_cast<uint32_t>(band.size()));
    out.add("fuzz_coefficient_stream",
            fuzz::format_band_lengths(lengths, CoefficientStream::encode(views)));
  }
}

void add_round_trips(CorpusWriter& out) {
  std::mt19937 rng(5);
  uint32_t variant = 0;
  for (auto kind : {fuzz::SampleKind::RawFloat, fuzz::SampleKind::Int8, fuzz::SampleKind::Walk,
                    fuzz::SampleKind::OffsetInt16}) {
    for (size_t bytes : {4, 40, 400, 4000}) {
      Bytes body(bytes);
      if (kind == fuzz::SampleKind::RawFloat) {
        const std::vector<float> x = tones(bytes / 4, variant);
        std::memcpy(body.data(), x.data(), bytes);
      } else {
        for (size_t i = 0; i < bytes; ++i) {
          body[i] = static_cast<uint8_t>(std::lround(40 * std::sin(0.05 * i)) + rng() % 5);
        }
      }
      CodecOptions o;
      o.method = static_cast<WaveletMethod>(variant % 4);
      o.coder = static_cast<EntropyCoder>(variant % 3);
      o.cutoff = static_cast<CutoffLevel>(variant / 4 % 3);
      o.scale = static_cast<uint8_t>(6 + variant % 7);
      if (variant % 5 == 4) o.has_quant_multiplier = true, o.quant_multiplier = 300.0f;
      ++variant;
      out.add("fuzz_round_trip", fuzz::format_round_trip(o, kind, 32, body));
      if (bytes >= 400) {
        // Far too large for any normalised signal: the compressor lowers it.
        o.has_quant_multiplier = true, o.quant_multiplier = 1e6f;
        out.add("fuzz_round_trip", fuzz::format_round_trip(o, kind, 32, body));
      }
    }
  }
}

// Chunks of every sample type in both layouts, with kept runs (a gap, a
// padded tail, a line of nothing else) and bare float32 lines.
void add_chunks(CorpusWriter& out) {
  const std::vector<float> x = tones(600, 11);
  for (uint8_t t = 0; t < 8; ++t) {
    const auto type = static_cast<SampleType>(t);
    std::vector<uint8_t> chunk;
    for (size_t i = 0; i < x.size(); ++i) {
      const double v = i >= 450 ? 0.0 : (t < 2 ? x[i] : 60.0 * x[i] + (t % 2 ? 100.0 : 0.0));
      auto append = [&](auto sample) {
        const auto* p = reinterpret_cast<const uint8_t*>(&sample);
        chunk.insert(chunk.end(), p, p + sizeof sample);
      };
      switch (type) {
        case SampleType::Float32: append(i == 7 ? NAN : static_cast<float>(v)); break;
        case SampleType::Float64: append(i == 7 ? -INFINITY : v); break;
        case SampleType::Int8: append(static_cast<int8_t>(v)); break;
        case SampleType::Uint8: append(static_cast<uint8_t>(v)); break;
        case SampleType::Int16: append(static_cast<int16_t>(v)); break;
        case SampleType::Uint16: append(static_cast<uint16_t>(v)); break;
        case SampleType::Int32: append(static_cast<int32_t>(v)); break;
        case SampleType::Uint32: append(static_cast<uint32_t>(v)); break;
      }
    }
    for (int32_t axis : {-1, 0}) {
      ChunkSettings settings;
      settings.axis = axis;
      settings.options.coder = t % 3 == 0 ? EntropyCoder::Deflate : EntropyCoder::Cmodel;
      const uint64_t shape[2] = {axis == 0 ? 150u : 4u, axis == 0 ? 4u : 150u};
      auto frame = encode_chunk(chunk.data(), type, shape, settings);
      if (!frame.ok()) continue;
      out.add("fuzz_decode_chunk", *frame);
      // As HDF5 hands it to the filter, with the dataset's chunk shape.
      const unsigned dims[2] = {static_cast<unsigned>(shape[0]), static_cast<unsigned>(shape[1])};
      out.add("fuzz_h5_filter_decode", fuzz::format_h5_filter_input(t, dims, *frame));
    }
  }
  ChunkSettings one_line;
  auto bare = encode_chunk(x.data(), SampleType::Float32, std::vector<uint64_t>{300}, one_line);
  if (bare.ok()) out.add("fuzz_decode_chunk", *bare);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output dir>\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  fs::remove_all(root);
  CorpusWriter out(root);
  add_containers(out);
  add_byte_strings(out);
  add_band_lists(out);
  add_round_trips(out);
  add_chunks(out);
  return 0;
}
