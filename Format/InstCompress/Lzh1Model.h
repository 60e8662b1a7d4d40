// The adaptive model of the LZH1 stream, shared by the decoder and the
// encoder in the tool so both sides update the code identically.
//
// 314 symbols: literal bytes 0..255 and match lengths 3..60 (256..313).
// The tree lives in flat slot arrays kept in non-decreasing weight order;
// siblings always sit in the slot pair (2m, 2m + 1), so a slot's parity is
// the code bit that leads to it.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kq::lzh1 {

inline constexpr uint32_t kRingSize = 4096;
inline constexpr uint32_t kRingMask = kRingSize - 1;
inline constexpr uint32_t kMaxMatch = 60;
inline constexpr uint32_t kMinMatch = 3;
inline constexpr uint32_t kFirstWrite = kRingSize - kMaxMatch;         // 4036: spaces before it
inline constexpr uint32_t kSymbols = 256 + kMaxMatch - kMinMatch + 1;  // 314
inline constexpr uint32_t kSlots = 2 * kSymbols - 1;                   // 627; child >= this is a leaf
inline constexpr uint32_t kRoot = kSlots - 1;                          // 626
inline constexpr uint16_t kRebuildWeight = 0x8000;

inline constexpr uint32_t SymbolOfLength(uint32_t length) {
    return length + 253;
}
inline constexpr uint32_t LengthOfSymbol(uint32_t symbol) {
    return symbol - 253;
}

// Indexed by the first 8 bits of an offset code: the offset's upper 6 bits,
// and the length of the prefix code those 8 bits begin with.
struct OffsetTables {
    std::array<uint8_t, 256> high{};
    std::array<uint8_t, 256> length{};
};

consteval OffsetTables MakeOffsetTables() {
    // Code length, count of upper values with that length.
    constexpr uint8_t kGroups[6][2] = {{3, 1}, {4, 3}, {5, 8}, {6, 12}, {7, 24}, {8, 16}};
    OffsetTables t;
    unsigned index = 0;
    unsigned value = 0;
    for (const auto& group : kGroups) {
        const unsigned repeats = 1u << (8 - group[0]);
        for (unsigned v = 0; v < group[1]; ++v, ++value) {
            for (unsigned k = 0; k < repeats; ++k, ++index) {
                t.high[index] = static_cast<uint8_t>(value);
                t.length[index] = group[0];
            }
        }
    }
    return t;
}

inline constexpr OffsetTables kOffsetTables = MakeOffsetTables();
inline constexpr const std::array<uint8_t, 256>& OffsetHigh = kOffsetTables.high;
inline constexpr const std::array<uint8_t, 256>& OffsetCodeLength = kOffsetTables.length;

// With `kPairTable` the tree also keeps `Pairs`, which lets the decoder
// take two code bits per table load; the encoder goes without.
template <bool kPairTable>
struct BasicAdaptiveTree {
    // Pairs entries: the next child (or leaf) two bits below a child pair,
    // or a leaf one bit below it, marked with this flag.
    static constexpr uint16_t kOneBit = 0x8000;
    static_assert(kSlots + kSymbols < kOneBit);

    // Weight per slot; the slots from 627 on are sentinels that end the
    // exchange scan, one for each slot it reads at a time.
#ifdef __SSE2__
    static constexpr uint32_t kSentinels = 8;
#else
    static constexpr uint32_t kSentinels = 4;
#endif
    std::array<uint16_t, kSlots + kSentinels> Freq;
    // Slot of the 0-branch child, or kSlots + symbol for a leaf.
    std::array<uint16_t, kSlots> Child;
    // Parent slot per slot (the root's is 0); kSlots + symbol: the symbol's leaf slot.
    std::array<uint16_t, kSlots + kSymbols> Parent;
    // Indexed by 2 * c + the next two code bits, for the child pair (c,
    // c + 1) of an inner node: Child[Child[c + b0] + b1], or
    // Child[c + b0] | kOneBit when that is a leaf. Only with kPairTable.
    std::array<uint16_t, 2 * (kSlots + 1)> Pairs;

    void ResetTree() noexcept {
        for (uint32_t c = 0; c < kSymbols; ++c) {
            Freq[c] = 1;
            Child[c] = static_cast<uint16_t>(c + kSlots);
            Parent[c + kSlots] = static_cast<uint16_t>(c);
        }
        for (uint32_t s = kSymbols, i = 0; s < kSlots; ++s, i += 2) {
            Freq[s] = static_cast<uint16_t>(Freq[i] + Freq[i + 1]);
            Child[s] = static_cast<uint16_t>(i);
            Parent[i] = Parent[i + 1] = static_cast<uint16_t>(s);
        }
        for (uint32_t s = kSlots; s < kSlots + kSentinels; ++s) Freq[s] = 0xFFFF;
        Parent[kRoot] = 0;
        SetAllPairs();
    }

    // Halves every leaf (rounding up) and builds the inner nodes anew:
    // inner node j joins slots 2j and 2j + 1, and goes after every slot that
    // weighs no more. The leaves keep their order, and the inner nodes come
    // in order of making, each made before a slot is placed after it, so
    // the slots are a merge of the two, a leaf first among equals.
    void RebuildTree() noexcept {
        std::array<uint16_t, kSymbols> leafFreq;
        std::array<uint16_t, kSymbols> leafChild;
        uint32_t n = 0;
        for (uint32_t s = 0; s < kSlots; ++s) {
            if (Child[s] >= kSlots) {
                leafFreq[n] = static_cast<uint16_t>((uint32_t{Freq[s]} + 1) / 2);
                leafChild[n] = Child[s];
                ++n;
            }
        }
        assert(n == kSymbols);
        uint32_t leaf = 0;
        uint32_t inner = 0;  // slots 2 * inner and 2 * inner + 1 make the next inner node
        for (uint32_t s = 0; s < kSlots; ++s) {
            // An inner node is ready once both its slots are placed; while
            // none is, a leaf is left: two slots a node, fewer nodes than leaves.
            const bool innerReady = 2 * inner + 1 < s;
            const uint32_t f = innerReady ? uint32_t{Freq[2 * inner]} + Freq[2 * inner + 1] : 0;
            if (leaf < kSymbols && (!innerReady || leafFreq[leaf] <= f)) {
                Freq[s] = leafFreq[leaf];
                Child[s] = leafChild[leaf];
                ++leaf;
            } else {
                assert(innerReady);
                Freq[s] = static_cast<uint16_t>(f);
                Child[s] = static_cast<uint16_t>(2 * inner);
                ++inner;
            }
        }
        for (uint32_t s = 0; s < kSlots; ++s) {
            const uint32_t x = Child[s];
            Parent[x] = static_cast<uint16_t>(s);
            if (x < kSlots) Parent[x + 1] = static_cast<uint16_t>(s);
        }
        SetAllPairs();
    }

    // Counts one more occurrence of `symbol`, keeping the weight order by
    // exchanging a node with the last one of the run it outgrows; tells
    // whether it made an exchange.
    bool UpdateTree(uint32_t symbol) noexcept {
        if (Freq[kRoot] == kRebuildWeight) RebuildTree();
        return CountUpFrom(Parent[symbol + kSlots]);
    }

    // UpdateTree for the symbol whose leaf sits in `slot`, while the tree
    // is not due for a rebuild: a decoder knows the slot from its walk.
    bool UpdateTreeFromLeaf(uint32_t slot) noexcept {
        assert(Freq[kRoot] != kRebuildWeight && slot < kSlots && Child[slot] >= kSlots);
        return CountUpFrom(slot);
    }

    // UpdateTree for a symbol just coded, given the slots its code passes
    // (root excluded, leaf last). Until the first exchange those slots are
    // exactly the parent chain, and reading them from the list spares the
    // walk a dependent load per level.
    void UpdateTreeAlongPath(uint32_t symbol, const uint16_t* path, uint32_t depth) noexcept {
        if (Freq[kRoot] == kRebuildWeight) {
            RebuildTree();
            CountUpFrom(Parent[symbol + kSlots]);
            return;
        }
        for (uint32_t i = depth; i-- > 0;) {
            const uint32_t s = path[i];
            const uint16_t k = ++Freq[s];
            if (k > Freq[s + 1]) {
                const uint32_t next = Parent[Exchange(s, k)];
                if (next != 0) CountUpFrom(next);
                return;
            }
        }
        ++Freq[kRoot];  // its neighbour is the sentinel: never exchanged
    }

    // Counting ahead: a decoder may count each slot on a symbol's code as
    // it walks down, before it knows the symbol, as the update does when it
    // makes no exchange, and settle the exchanges after the walk. The root
    // is counted first.
    //
    // CountAhead counts one slot and tells whether the update would exchange
    // it were no exchange made below it: whether it weighed as much as the
    // slot after it. That slot is no descendant (those weigh less and sit
    // before it), so no count below changes it; when it is the parent, it
    // outweighs the slot both before and after the parent's count.
    bool CountAhead(uint32_t slot) noexcept {
        assert(slot < kRoot);
        // Both weights in one load; their order in it does not matter.
        uint32_t pair;
        std::memcpy(&pair, &Freq[slot], sizeof pair);
        ++Freq[slot];
        return static_cast<uint16_t>(pair >> 16) == static_cast<uint16_t>(pair);
    }

    // Finishes an update counted ahead whose deepest exchange is at level
    // e of `path`: path[0] is the root, path[1..] the slots below it, all
    // counted. The counts above level e are taken back and the update goes
    // on from the exchange as UpdateTree's does.
    void SettleCountedPath(const uint16_t* path, uint32_t e) noexcept {
        assert(path[0] == kRoot && e > 0);
        for (uint32_t i = 0; i < e; ++i) --Freq[path[i]];
        const uint32_t s = path[e];
        assert(Freq[s] > Freq[s + 1]);
        const uint32_t next = Parent[Exchange(s, Freq[s])];
        if (next != 0) CountUpFrom(next);
    }

private:
    bool CountUpFrom(uint32_t s) noexcept {
        bool exchanged = false;
        do {
            const uint16_t k = ++Freq[s];
            if (k > Freq[s + 1]) {
                s = Exchange(s, k);
                exchanged = true;
            }
            s = Parent[s];
        } while (s != 0);
        return exchanged;
    }

    // Moves the node in slot s, now weighing k, behind the run of weight
    // k - 1 that follows it; returns its new slot.
    uint32_t Exchange(uint32_t s, uint16_t k) noexcept {
        const uint32_t l = EndOfRun(s + 2, static_cast<uint16_t>(k - 1)) - 1;
        assert(Freq[l] == k - 1);
        Freq[s] = static_cast<uint16_t>(k - 1);
        Freq[l] = k;

        // A leaf has one Parent entry, an inner node's children two: the
        // second store repeats the first for a leaf, sparing a branch.
        const uint32_t a = Child[s];
        const uint32_t b = Child[l];
        Parent[a] = static_cast<uint16_t>(l);
        Parent[a + (a < kSlots)] = static_cast<uint16_t>(l);
        Child[l] = static_cast<uint16_t>(a);
        Parent[b] = static_cast<uint16_t>(s);
        Parent[b + (b < kSlots)] = static_cast<uint16_t>(s);
        Child[s] = static_cast<uint16_t>(b);
        if constexpr (kPairTable) {
            // The subtrees of s and l traded places, and their entries with
            // them (two a slot, moved as one word); the parents' entries that
            // lead into them are set anew. A child weighs less than k - 1, so
            // s is no child of l, and neither slot's parent changed.
            uint32_t atS;
            uint32_t atL;
            std::memcpy(&atS, &Pairs[2 * s], sizeof atS);
            std::memcpy(&atL, &Pairs[2 * l], sizeof atL);
            std::memcpy(&Pairs[2 * s], &atL, sizeof atL);
            std::memcpy(&Pairs[2 * l], &atS, sizeof atS);
            Pairs[2 * Parent[s] + (s & 1)] = static_cast<uint16_t>(b);
            Pairs[2 * Parent[l] + (l & 1)] = static_cast<uint16_t>(a);
        }
        return l;
    }

    // The first slot from `from` on that does not weigh `weight`; the
    // weights from there on are no less. Several slots a step: the length
    // of the run is hard to predict, a loop per slot mispredicts its end.
    uint32_t EndOfRun(uint32_t from, uint16_t weight) const noexcept {
        // Weights stay at or below 0x8000, so the sentinels end the scan
        // within the array.
        assert(weight < 0x8000 && from <= kSlots);
#ifdef __SSE2__
        // Eight slots a step.
        const __m128i want = _mm_set1_epi16(static_cast<short>(weight));
        for (;;) {
            assert(from + 8 <= Freq.size());
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&Freq[from]));
            // Two bits for each slot that does not weigh `weight`.
            const auto other = static_cast<uint32_t>(~_mm_movemask_epi8(_mm_cmpeq_epi16(w, want)) & 0xFFFF);
            if (other != 0) return from + static_cast<uint32_t>(std::countr_zero(other)) / 2;
            from += 8;
        }
#else
        constexpr uint64_t kLow = 0x0001000100010001;
        constexpr uint64_t kHigh = 0x8000 * kLow;
        for (;;) {
            assert(from + 4 <= Freq.size());
            uint64_t w;
            std::memcpy(&w, &Freq[from], sizeof w);
            const uint64_t x = w ^ (weight * kLow);  // 0 in the lanes that weigh `weight`
            // The top bit of each lane that is not 0.
            const uint64_t other = (((x & ~kHigh) + ~kHigh) | x) & kHigh;
            if (other != 0) {
                if constexpr (std::endian::native == std::endian::little) {
                    return from + static_cast<uint32_t>(std::countr_zero(other)) / 16;
                } else {
                    return from + static_cast<uint32_t>(std::countl_zero(other)) / 16;
                }
            }
            from += 4;
        }
#endif
    }

    // The two Pairs entries that pass through slot x.
    void SetPairs(uint32_t x) noexcept {
        const uint32_t at = 2 * x;  // 2 * (x & ~1) + 2 * (x & 1)
        const uint32_t y = Child[x];
        if (y >= kSlots) {
            Pairs[at] = Pairs[at + 1] = static_cast<uint16_t>(y | kOneBit);
        } else {
            Pairs[at] = Child[y];
            Pairs[at + 1] = Child[y + 1];
        }
    }

    void SetAllPairs() noexcept {
        if constexpr (kPairTable) {
            for (uint32_t x = 0; x < kSlots; ++x) SetPairs(x);
        }
    }
};

using AdaptiveTree = BasicAdaptiveTree<false>;
using DecodingTree = BasicAdaptiveTree<true>;

}  // namespace kq::lzh1
