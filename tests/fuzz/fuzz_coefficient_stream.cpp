// CoefficientStream::decode with band lengths taken from the input
// (band_lengths_input.hpp): decode and decode_flat agree, every band has the
// length asked for, and decoded bands survive encode and decode unchanged.
#include "src/cmodel.hpp"
#include "tests/fuzz/band_lengths_input.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace vdx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto input = fuzz::parse_band_lengths(std::span(data, size));
  if (!input) return 0;
  const std::span<const uint32_t> lengths = input->band_lengths;

  auto bands = CoefficientStream::decode(input->stream, lengths);
  auto flat = CoefficientStream::decode_flat(input->stream, lengths);
  FUZZ_CHECK(bands.ok() == flat.ok());
  if (!bands.ok()) {
    FUZZ_CHECK(bands.error() == flat.error());
    return 0;
  }
  FUZZ_CHECK(bands->size() == lengths.size());
  std::vector<int16_t> joined;
  std::vector<std::span<const int16_t>> views;
  for (size_t i = 0; i < lengths.size(); ++i) {
    FUZZ_CHECK((*bands)[i].size() == lengths[i]);
    joined.insert(joined.end(), (*bands)[i].begin(), (*bands)[i].end());
    views.emplace_back((*bands)[i]);
  }
  FUZZ_CHECK(joined == *flat);

  const std::vector<uint8_t> again = CoefficientStream::encode(views);
  auto redecoded = CoefficientStream::decode(again, lengths);
  FUZZ_CHECK(redecoded.ok());
  FUZZ_CHECK(*redecoded == *bands);
  return 0;
}
