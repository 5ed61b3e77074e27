#include "src/bit_coder.hpp"

#include <algorithm>
#include <cstring>

namespace vdx {
namespace {

// The range the encoder's arithmetic relies on, checked once at compile
// time: from 2048, every reachable probability stays in [kMin, kMax], and
// there next() agrees with the clamped rule p ± step, clamped to [1, 4095].
constexpr bool probabilities_stay_in_range() {
  for (uint32_t p = BitModel::kMin; p <= BitModel::kMax; ++p) {
    for (unsigned bit = 0; bit < 2; ++bit) {
      uint32_t reference = bit ? p - (p >> kAdaptShift) : p + ((kProbTotal - p) >> kAdaptShift);
      reference = std::clamp<uint32_t>(reference, 1, 4095);
      const uint32_t got = BitModel::next(p, bit);
      if (got != reference || got < BitModel::kMin || got > BitModel::kMax) return false;
    }
  }
  return BitModel::kInitial >= BitModel::kMin && BitModel::kInitial <= BitModel::kMax;
}
static_assert(probabilities_stay_in_range());

// Encoder state before a symbol of frequency f is at most f·2^20 - 1, since
// x_max = (L / M)·2^16·f with L = 2^16, M = 4096 and 16-bit output.
static_assert(kSymbolCodings.of[4081].bound == 4081u << 20);
static_assert(kSymbolCodings.of[4081].reciprocal == 4520152921761714ull);  // ⌊2^64 / 4081⌋ + 1
static_assert(kSymbolCodings.of[2048].reciprocal == uint64_t{1} << 53);   // 2^64 / 2048
// A 1 at p = 15: f = 4081, start 15.
static_assert(kSymbolCodings.of[(1 << kProbBits) | 15].reciprocal == 4520152921761714ull &&
              kSymbolCodings.of[(1 << kProbBits) | 15].cofrequency == 15 &&
              kSymbolCodings.of[(1 << kProbBits) | 15].start == 15);
static_assert(kProbabilityUpdates.next[2048] == 2176 &&           // 0: 2048 + 2048 / 16
              kProbabilityUpdates.next[(1 << kProbBits) | 2048] == 1920);  // 1: 2048 - 128

}  // namespace

RansBitEncoder::RansBitEncoder(size_t expected_decisions)
    : records_(expected_decisions ? new uint16_t[expected_decisions] : nullptr),
      capacity_(expected_decisions) {}

void RansBitEncoder::grow(size_t min_capacity) {
  const size_t capacity = std::max({size_t{1024}, capacity_ * 2, min_capacity});
  std::unique_ptr<uint16_t[]> bigger(new uint16_t[capacity]);
  if (count_) std::memcpy(bigger.get(), records_.get(), count_ * sizeof(uint16_t));
  records_ = std::move(bigger);
  capacity_ = capacity;
}

RansBitEncoder::Cursor RansBitEncoder::reserve(size_t count) {
  if (capacity_ - count_ < count) grow(count_ + count);
  reserved_end_ = count_ + count;
  return Cursor(records_.get() + count_);
}

void RansBitEncoder::commit(Cursor cursor) {
  const size_t end = static_cast<size_t>(cursor.next_ - records_.get());
  assert(end >= count_ && end <= reserved_end_);
  (void)reserved_end_;
  count_ = end;
}

std::vector<uint8_t> RansBackwardPass::output(size_t prefix) const {
  assert(next_ == 0);
  const size_t word_count = static_cast<size_t>(words_end_ - words_);
  std::vector<uint8_t> out(prefix + 4 + 2 * word_count);
  store_u32le(out.data() + prefix, x_);
  // Host order is little-endian (byte_io.hpp), so the words copy as they are.
  if (word_count) std::memcpy(out.data() + prefix + 4, words_, 2 * word_count);
  return out;
}

std::vector<uint8_t> RansBitEncoder::finish(size_t prefix) {
  RansBackwardPass pass(records_.get(), count_);
  pass.code_down_to(0);
  count_ = 0;
  return pass.output(prefix);
}

}  // namespace vdx
