// arans::decode on arbitrary bytes: one result or one error, and whatever
// decodes survives encode and decode unchanged. The output can never exceed
// what the bytes could carry (eight decisions per byte, decision_bound.hpp).
#include "src/arans.hpp"
#include "src/decision_bound.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace vdx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  auto decoded = arans::decode(in);
  if (!decoded.ok()) {
    FUZZ_CHECK(size >= 6);
    return 0;
  }
  const std::vector<uint8_t>& out = *decoded;
  if (size < 6) {
    FUZZ_CHECK(out == std::vector<uint8_t>(in.begin(), in.end()));
    return 0;
  }
  FUZZ_CHECK(out.size() <= 2 * (max_decodable_decisions(size) / 8) + 1);
  FUZZ_CHECK((out.size() & 1) == (data[0] & 1));

  const std::vector<uint8_t> again = arans::encode(out);
  auto redecoded = arans::decode(again);
  FUZZ_CHECK(redecoded.ok());
  FUZZ_CHECK(*redecoded == out);
  return 0;
}
