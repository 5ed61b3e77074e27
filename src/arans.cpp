#include "src/arans.hpp"

#include <algorithm>
#include <new>

#include "src/bit_coder.hpp"
#include "src/decision_bound.hpp"
#include "src/leb128.hpp"

namespace vdx::arans {

const char* message(AransError error) {
  switch (error) {
    case AransError::Truncated:
      return "Stream truncated";
    case AransError::InconsistentLength:
      return "Inconsistent or oversized length in stream";
  }
  return "Unknown arans error";
}

namespace {

// Inputs shorter than this are stored as they are.
constexpr size_t kMinCodedInput = 6;
// From this many input bytes on, the whole previous byte is the context.
constexpr size_t kWideContextInput = 16384;
constexpr unsigned kMaxContextBits = 8;
constexpr uint64_t kMaxPairs = kMaxCoefficients;
constexpr unsigned kDecisionsPerByte = 8;

// First cell of the 255-node bit tree that codes the byte after `prev`.
inline size_t context_base(unsigned prev, unsigned context_bits) {
  return static_cast<size_t>((prev >> (8 - context_bits)) << 8);
}

std::vector<BitModel> fresh_table(unsigned context_bits) {
  return std::vector<BitModel>(size_t{256} << context_bits);
}

}  // namespace

std::vector<uint8_t> encode_byte_plane(std::span<const uint8_t> plane, unsigned context_bits) {
  if (plane.empty()) return {};
  std::vector<BitModel> table = fresh_table(context_bits);
  RansBitEncoder encoder(plane.size() * kDecisionsPerByte);
  RansBitEncoder::Cursor cursor = encoder.reserve(plane.size() * kDecisionsPerByte);
  unsigned prev = 0;
  for (uint8_t value : plane) {
    BitModel* tree = table.data() + context_base(prev, context_bits);
    unsigned node = 1;
    for (unsigned k = 8; k-- > 0;) {
      const unsigned bit = (value >> k) & 1;
      cursor.put(bit, tree[node]);
      node = 2 * node + bit;
    }
    prev = value;
  }
  encoder.commit(cursor);
  return encoder.finish();
}

Result<std::vector<uint8_t>, AransError> decode_byte_plane(std::span<const uint8_t> coded,
                                                           size_t count,
                                                           unsigned context_bits) {
  if (count == 0) return std::vector<uint8_t>{};
  std::optional<RansBitDecoder> decoder = RansBitDecoder::open(coded);
  if (!decoder) return fail(AransError::Truncated);
  // Eight decisions per byte: a count beyond what the range can deliver
  // would end in a missing word (decision_bound.hpp), so say so up front.
  if (count > max_decodable_decisions(coded.size()) / kDecisionsPerByte) {
    return fail(AransError::Truncated);
  }
  std::vector<uint8_t> plane;
  try {
    plane.resize(std::max<size_t>(count, 8));
  } catch (const std::bad_alloc&) {
    return fail(AransError::InconsistentLength);
  }
  std::vector<BitModel> table = fresh_table(context_bits);
  // A local copy keeps the state in registers: the byte stores below may
  // alias anything, and would otherwise send it through memory.
  RansBitDecoder local = *decoder;
  uint8_t* const out = plane.data();
  unsigned prev = 0;
  for (size_t i = 0; i < count; ++i) {
    BitModel* tree = table.data() + context_base(prev, context_bits);
    prev = local.decode_tree<kDecisionsPerByte>(tree) - 256;
    out[i] = static_cast<uint8_t>(prev);
    // A cut stream is refused within one interval of its cut.
    if ((i & 4095) == 4095 && local.truncated()) return fail(AransError::Truncated);
  }
  if (local.truncated()) return fail(AransError::Truncated);
  plane.resize(count);
  return plane;
}

std::vector<uint8_t> encode(std::span<const uint8_t> input) {
  const size_t n = input.size();
  if (n < kMinCodedInput) return std::vector<uint8_t>(input.begin(), input.end());
  const size_t pairs = n >> 1;
  std::vector<uint8_t> low(pairs), high(pairs);
  for (size_t i = 0; i < pairs; ++i) {
    low[i] = input[2 * i];
    high[i] = input[2 * i + 1];
  }
  const unsigned context_bits = n < kWideContextInput ? 3 : kMaxContextBits;
  const std::vector<uint8_t> coded_a = encode_byte_plane(low, context_bits);
  const std::vector<uint8_t> coded_b = encode_byte_plane(high, context_bits);

  std::vector<uint8_t> out;
  out.reserve(coded_a.size() + coded_b.size() + 16);
  out.push_back(static_cast<uint8_t>(n & 1));
  out.push_back(static_cast<uint8_t>(context_bits));
  append_leb128(out, pairs);
  append_leb128(out, coded_a.size());
  out.insert(out.end(), coded_a.begin(), coded_a.end());
  out.insert(out.end(), coded_b.begin(), coded_b.end());
  if (n & 1) out.push_back(input[n - 1]);
  return out;
}

namespace {

Result<uint64_t, AransError> read_length(std::span<const uint8_t> stream, size_t& pos) {
  const Leb128Read read = read_leb128(stream, pos);
  switch (read.status) {
    case Leb128Status::Ok:
      pos = read.next;
      return read.value;
    case Leb128Status::Truncated:
      return fail(AransError::Truncated);
    case Leb128Status::TooLong:
      break;
  }
  return fail(AransError::InconsistentLength);
}

}  // namespace

Result<std::vector<uint8_t>, AransError> decode(std::span<const uint8_t> stream) {
  const size_t n = stream.size();
  if (n < kMinCodedInput) return std::vector<uint8_t>(stream.begin(), stream.end());
  const unsigned context_bits = stream[1];
  if (context_bits > kMaxContextBits) return fail(AransError::InconsistentLength);
  size_t pos = 2;
  ASSIGN_OR_RETURN(const uint64_t pairs, read_length(stream, pos));
  if (pairs > kMaxPairs) return fail(AransError::InconsistentLength);
  ASSIGN_OR_RETURN(const uint64_t length_a, read_length(stream, pos));
  // end_a = pos + length_a must fit in 32 bits; compared so that a length
  // near 2^64 cannot wrap the sum around.
  if (length_a > UINT32_MAX - pos) return fail(AransError::InconsistentLength);
  const size_t end_a = pos + static_cast<size_t>(length_a);
  const size_t odd = stream[0] & 1;
  const size_t end_b = n - odd;
  if (end_a > end_b) return fail(AransError::Truncated);

  ASSIGN_OR_RETURN(const std::vector<uint8_t> low,
                   decode_byte_plane(stream.subspan(pos, end_a - pos), pairs, context_bits));
  ASSIGN_OR_RETURN(const std::vector<uint8_t> high,
                   decode_byte_plane(stream.subspan(end_a, end_b - end_a), pairs, context_bits));
  std::vector<uint8_t> out;
  try {
    out.resize(2 * pairs + odd);
  } catch (const std::bad_alloc&) {
    return fail(AransError::InconsistentLength);
  }
  for (size_t i = 0; i < pairs; ++i) {
    out[2 * i] = low[i];
    out[2 * i + 1] = high[i];
  }
  if (odd) out[2 * pairs] = stream[n - 1];
  return out;
}

}  // namespace vdx::arans
