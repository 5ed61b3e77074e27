// Adaptive binary rANS coder shared by the coefficient stream model and the
// byte-plane coder: 12-bit adaptive probabilities, a 32-bit state kept in
// [2^16, 2^32) and 16-bit little-endian renormalisation words.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "src/byte_io.hpp"

namespace vdx {

inline constexpr unsigned kProbBits = 12;
inline constexpr uint32_t kProbTotal = 1u << kProbBits;  // 4096
inline constexpr unsigned kAdaptShift = 4;
inline constexpr uint32_t kRansLow = 1u << 16;  // L: the state's lower bound

// Probability (in 1/4096) that the next decision coded with this cell is 0.
struct BitModel {
  static constexpr uint16_t kInitial = 2048;
  // Starting from 2048, next() never leaves [15, 4081]: below 16 the down-step
  // p >> 4 is 0, and above 4080 the up-step (4096 - p) >> 4 is 0. So the
  // clamps to [1, 4095] never act and every coding frequency is at least 15.
  static constexpr uint16_t kMin = 15;
  static constexpr uint16_t kMax = 4081;

  uint16_t p = kInitial;

  // Decision 0: p += (4096 - p) >> 4.  Decision 1: p -= p >> 4.
  // Both are p += (t - p) >> 4 with an arithmetic shift, t = 4096 for 0 and
  // t = 15 for 1, since floor((15 - p) / 16) = -floor(p / 16).
  static constexpr uint16_t next(uint32_t p, unsigned bit) {
    const int32_t target = static_cast<int32_t>(4096 - (4081 & (0u - bit)));
    return static_cast<uint16_t>(static_cast<int32_t>(p) +
                                 ((target - static_cast<int32_t>(p)) >> kAdaptShift));
  }
  void update(unsigned bit) { p = next(p, bit); }
};

// The next probability of a cell, looked up by the encoder's record of a
// decision: entry (bit << 12) | p is BitModel::next(p, bit). 16 KiB, so it
// stays in the L1 cache beside the cells; one load replaces five
// arithmetic steps in the modelling loops.
struct ProbabilityUpdates {
  uint16_t next[2 * kProbTotal] = {};
  constexpr ProbabilityUpdates() {
    for (uint32_t bit = 0; bit < 2; ++bit) {
      for (uint32_t p = 0; p < kProbTotal; ++p) next[(bit << kProbBits) | p] = BitModel::next(p, bit);
    }
  }
};
inline constexpr ProbabilityUpdates kProbabilityUpdates;

// BitModel::next(p, bit) by one load.
inline uint32_t updated_probability(uint32_t p, unsigned bit) {
  return kProbabilityUpdates.next[(bit << kProbBits) | p];
}

// What the backward pass needs of a record (the decision in bit 12, the
// probability p of a 0 in bits 0..11), looked up in one place instead of
// derived per decision: the symbol's frequency f (p for a 0, 4096 - p for a
// 1) as the renormalisation bound f·2^20 and as M - f, its start (0 for a 0,
// p for a 1), and the reciprocal that divides by f.
//
// Exact x / f without a division: r = floor(2^64 / f) + 1 (for a power of
// two, 2^64 / f exactly) gives q = hi64(x·r) = floor(x / f) for every
// 32-bit x and 2 <= f < 4096. With e = r·f - 2^64 in [0, f],
// x·r / 2^64 = x/f + x·e / (f·2^64), and x·e < 2^32·2^12 < 2^64 keeps the
// error below 1/f, too little to carry past the next integer.
struct SymbolCoding {
  uint64_t reciprocal = 0;
  uint32_t bound = 0;  // f·2^20: the state must be below it before coding
  uint16_t cofrequency = 0;  // M - f
  uint16_t start = 0;
};

// 128 KiB indexed by the record; only probabilities 15..4081 occur, and the
// backward pass reads entries well ahead of its state's dependency chain.
struct SymbolCodings {
  SymbolCoding of[2 * kProbTotal] = {};
  constexpr SymbolCodings() {
    for (uint32_t record = 0; record < 2 * kProbTotal; ++record) {
      const uint32_t p = record & (kProbTotal - 1);
      const uint32_t bit = record >> kProbBits;
      const uint32_t f = bit ? kProbTotal - p : p;
      if (f < 2 || f >= kProbTotal) continue;  // never recorded
      of[record].reciprocal = ~uint64_t{0} / f + 1;
      of[record].bound = f << (32 - kProbBits);
      of[record].cofrequency = static_cast<uint16_t>(kProbTotal - f);
      of[record].start = static_cast<uint16_t>(bit ? p : 0);
    }
  }
};
inline constexpr SymbolCodings kSymbolCodings;

// The backward rANS pass over recorded decisions (see RansBitEncoder),
// resumable: code_down_to(i) codes the records from the last one not yet
// coded down to index i. A caller may interleave it with the modelling of
// the records before i, which shares nothing with it, so that the two
// overlap in the core: the pass waits on its state's dependency chain and
// leaves issue slots that the modelling fills.
//
// rANS encodes last-first, like a stack: the decoder pops the decisions in
// the order they were recorded. Every decision emits at most one word, so
// the k-th emitted word can sit at index count - 1 - k of the record array,
// which has already been read; emission runs towards the front and leaves
// the words in the order the decoder reads them.
class RansBackwardPass {
 public:
  RansBackwardPass(uint16_t* records, size_t count)
      : records_(records), words_end_(records + count), words_(records + count), next_(count) {}

  size_t next() const { return next_; }

  void code_down_to(size_t index) {
    uint32_t x = x_;
    uint16_t* words = words_;
    for (size_t i = next_; i > index;) {
      const SymbolCoding& symbol = kSymbolCodings.of[records_[--i]];
      // x >= 2^16 throughout, so x >> 16 < 2^16 <= f·2^20: one word at most.
      if (x >= symbol.bound) {
        *--words = static_cast<uint16_t>(x);
        x >>= 16;
      }
      __extension__ using u128 = unsigned __int128;
      const auto q = static_cast<uint32_t>((static_cast<u128>(x) * symbol.reciprocal) >> 64);
      // x = C(s, x) = ⌊x/f⌋·M + (x mod f) + start = x + ⌊x/f⌋·(M - f) + start
      x = x + q * uint32_t{symbol.cofrequency} + symbol.start;
    }
    x_ = x;
    words_ = words;
    next_ = index;
  }

  // Once every record is coded: the state as u32 LE, then the words in
  // decoding order, preceded by `prefix` bytes left for the caller to fill.
  std::vector<uint8_t> output(size_t prefix) const;

 private:
  uint16_t* records_;
  uint16_t* words_end_;
  uint16_t* words_;
  size_t next_;
  uint32_t x_ = kRansLow;
};

// Records decisions in a forward modelling pass; finish() then runs rANS
// over them backwards. A record is 16 bits: the decision in bit 12 and the
// probability p it was coded under in bits 0..11; finish() looks up the
// symbol's frequency, start and reciprocal by it (kSymbolCodings).
class RansBitEncoder {
 public:
  // `expected_decisions` sizes the record once; more decisions still fit.
  explicit RansBitEncoder(size_t expected_decisions = 0);

  // Records `bit` coded under probability `p` (the cell's value before its
  // update); the caller updates its cell.
  void put(unsigned bit, uint32_t p) {
    if (count_ == capacity_) grow(count_ + 1);
    records_[count_++] = make_record(bit, p);
  }
  void put(unsigned bit, BitModel& cell) {
    const uint32_t p = cell.p;
    put(bit, p);
    cell.p = kProbabilityUpdates.next[make_record(bit, p)];
  }
  size_t decisions() const { return count_; }

  // Hot loops record through a cursor held in a local: no capacity check
  // and no counter in memory per decision. reserve() makes room for exactly
  // `count` more decisions; commit() takes back the cursor after at most
  // that many puts.
  class Cursor {
   public:
    void put(unsigned bit, uint32_t p) { *next_++ = make_record(bit, p); }
    // p is read once into a register: the record store could alias the
    // cell, and a second load would wait for it.
    void put(unsigned bit, BitModel& cell) {
      const uint16_t record = make_record(bit, cell.p);
      *next_++ = record;
      cell.p = kProbabilityUpdates.next[record];
    }

   private:
    friend class RansBitEncoder;
    explicit Cursor(uint16_t* next) : next_(next) {}
    uint16_t* next_;
  };
  Cursor reserve(size_t count);
  void commit(Cursor cursor);

  // A cursor at record `index` of a reserved range, for callers that model
  // parts of the stream out of order (each part must be written before the
  // backward pass reaches it); commit() takes the cursor of the last part.
  Cursor cursor_at(size_t index) {
    assert(index <= reserved_end_);
    return Cursor(records_.get() + index);
  }
  // The backward pass over the records reserved so far, for a caller that
  // interleaves it with modelling; finish() runs it in one go.
  RansBackwardPass backward_pass() { return RansBackwardPass(records_.get(), reserved_end_); }

  // The coded bytes (state as u32 LE, then the words in decoding order),
  // preceded by `prefix` bytes left for the caller to fill. Consumes the
  // record: the words are written over it.
  std::vector<uint8_t> finish(size_t prefix = 0);

  static uint16_t make_record(unsigned bit, uint32_t p) {
    assert(p >= BitModel::kMin && p <= BitModel::kMax);
    return static_cast<uint16_t>((bit << kProbBits) | p);
  }

 private:
  void grow(size_t min_capacity);

  std::unique_ptr<uint16_t[]> records_;
  size_t count_ = 0;
  size_t capacity_ = 0;
  size_t reserved_end_ = 0;  // for the check in commit()
};

// bit = a >= b; when it is set, v takes v1 (and w takes w1). Conditional
// moves on the flags of the one compare: a decision is as unpredictable as
// the data, so a branch on it would mispredict that often.
inline unsigned pick_if_at_least(uint32_t a, uint32_t b, uint32_t& v, uint32_t v1) {
#if defined(__GNUC__) && defined(__x86_64__)
  unsigned bit = 0;
  __asm__(
      "cmpl %[b], %[a]\n\t"
      "setae %b[bit]\n\t"
      "cmovael %[v1], %[v]"
      : [v] "+r"(v), [bit] "+r"(bit)
      : [a] "r"(a), [b] "r"(b), [v1] "r"(v1)
      : "cc");
  return bit;
#else
  const unsigned bit = a >= b;
  v = bit ? v1 : v;
  return bit;
#endif
}

inline unsigned pick_if_at_least(uint32_t a, uint32_t b, uint32_t& v, uint32_t v1, uint32_t& w,
                                 uint32_t w1) {
#if defined(__GNUC__) && defined(__x86_64__)
  unsigned bit = 0;
  __asm__(
      "cmpl %[b], %[a]\n\t"
      "setae %b[bit]\n\t"
      "cmovael %[v1], %[v]\n\t"
      "cmovael %[w1], %[w]"
      : [v] "+r"(v), [w] "+r"(w), [bit] "+r"(bit)
      : [a] "r"(a), [b] "r"(b), [v1] "r"(v1), [w1] "r"(w1)
      : "cc");
  return bit;
#else
  const unsigned bit = pick_if_at_least(a, b, v, v1);
  w = bit ? w1 : w;
  return bit;
#endif
}

// Decodes decisions from a coded range. A word that is needed but missing
// sets truncated(); from then on the decisions are meaningless (the decoder
// never reads past its range) and the caller reports the stream truncated.
class RansBitDecoder {
 public:
  // No value when the range is shorter than the 4-byte state.
  static std::optional<RansBitDecoder> open(std::span<const uint8_t> coded) {
    if (coded.size() < 4) return std::nullopt;
    return RansBitDecoder(coded);
  }

  // The next decision coded with probability p of a 0.
  unsigned decode(uint32_t p) {
    const uint32_t slot = x_ & (kProbTotal - 1);
    const uint32_t high = x_ >> kProbBits;
    // Both successors are computed from x and one is kept by a conditional
    // move: the chain from one decision to the next is a shift, a multiply,
    // an add and the move, never a branch on the decision.
    // 0: x = p·⌊x/M⌋ + slot.  1: x = (M-p)·⌊x/M⌋ + slot - p.
    uint32_t x = p * high + slot;
    const unsigned bit = pick_if_at_least(slot, p, x, (kProbTotal - p) * high + (slot - p));
    x_ = x;
    if (x_ < kRansLow) [[unlikely]] refill();
    return bit;
  }

  // decode(p), and with it a choice the caller prepared: `pick` holds what
  // it wants after a 0 and becomes `if_one` after a 1. The choice rides on
  // the compare that makes the decision, so a caller that picks its next
  // probability this way waits for nothing after it.
  unsigned decode_pick(uint32_t p, uint32_t& pick, uint32_t if_one) {
    const uint32_t slot = x_ & (kProbTotal - 1);
    const uint32_t high = x_ >> kProbBits;
    uint32_t x = p * high + slot;
    const unsigned bit =
        pick_if_at_least(slot, p, x, (kProbTotal - p) * high + (slot - p), pick, if_one);
    x_ = x;
    if (x_ < kRansLow) [[unlikely]] refill();
    return bit;
  }

  // decode(p) for a cell whose probability the caller keeps in a register:
  // both updates are ready before the decision, so p's own chain from one
  // use to the next is no longer than the state's.
  unsigned decode_update(uint32_t& p) {
    uint32_t next = BitModel::next(p, 0);
    const unsigned bit = decode_pick(p, next, BitModel::next(p, 1));
    p = next;
    return bit;
  }
  unsigned get(BitModel& cell) {
    const unsigned bit = decode(cell.p);
    cell.update(bit);
    return bit;
  }

  // Decodes Depth decisions down a bit tree whose node n (1 at the root)
  // has its cell at tree[n] and its children at 2n and 2n + 1; returns the
  // leaf, 2^Depth + the value read most significant bit first. The depth is
  // a constant, so the walk is unrolled.
  template <unsigned Depth>
  uint32_t decode_tree(BitModel* tree) {
    if constexpr (Depth == 0) {
      return 1;
    } else {
      uint32_t node = 1;
      uint32_t p = tree[1].p;
#pragma GCC unroll 16
      for (unsigned level = 1; level < Depth; ++level) {
        // Both children's cells are fetched (one 32-bit load) before the
        // decision is known and picked by it, so the load is off the chain
        // from one decision to the next.
        uint32_t children;
        std::memcpy(&children, &tree[2 * node], sizeof children);
        uint32_t next = children & 0xFFFF;
        const unsigned bit = decode_pick(p, next, children >> 16);
        tree[node].p = static_cast<uint16_t>(updated_probability(p, bit));
        node = 2 * node + bit;
        p = next;
      }
      const unsigned bit = decode(p);
      tree[node].p = static_cast<uint16_t>(updated_probability(p, bit));
      return 2 * node + bit;
    }
  }

  bool truncated() const { return truncated_; }
  uint32_t state() const { return x_; }
  // Bytes of the range not consumed so far.
  size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

 private:
  explicit RansBitDecoder(std::span<const uint8_t> coded)
      : x_(load_u32le(coded.data())),
        pos_(coded.data() + 4),
        end_(coded.data() + coded.size()) {}

  // Inline, like decode(), so that a decoder copied into a local keeps its
  // state in registers through a hot loop.
  void refill() {
    // Only a foreign initial state below 2^16 can need more than one word
    // (a state of 0 shifts in a word that is itself below 2^16).
    while (x_ < kRansLow) {
      if (end_ - pos_ < 2) {
        truncated_ = true;
        x_ = kRansLow;  // any valid state: what follows is discarded
        return;
      }
      x_ = (x_ << 16) | load_u16le(pos_);
      pos_ += 2;
    }
  }

  uint32_t x_;
  const uint8_t* pos_;
  const uint8_t* end_;
  bool truncated_ = false;
};

}  // namespace vdx
