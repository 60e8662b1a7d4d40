// The LH5 encoder's default match finder: hash chains over the segment and
// the window before it. Internal to the writer library.
#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <span>
#include <vector>

#include "InstCompressPack/Lzh5Block.h"
#include "InstCompressPack/MatchFinderCommon.h"

namespace kq::pack::lzh5 {

// Chains of the positions with the same hash of four bytes, and the latest
// position of each hash of three bytes: three-byte matches are worth
// taking only when near, and four-byte chains are far shorter. Positions
// are int32 (segments are far below 2 GiB); a chain link is the distance
// back to the previous position, kNoLink when that is out of reach, so the links
// of a window fit the first-level cache.
class HashChains {
public:
    // The tables of the parses on one thread, kept from one parse to the
    // next: parsing small inputs one after another (the samples of a large
    // entry) would otherwise spend more on fresh pages from the system than
    // on matching. Every parse fills them afresh.
    struct Tables {
        std::vector<int32_t> head3, head;
        std::vector<uint16_t> prev;
    };

    HashChains(std::span<const uint8_t> data, Tables& tables) : data_(data) {
        tables.head3.assign(size_t{1} << kHash3Bits, kNone);
        tables.head.assign(size_t{1} << kChainHashBits, kNone);
        tables.prev.assign(History::kSlots, kNoLink);
        head3_ = tables.head3.data();
        head_ = tables.head.data();
        prev_ = tables.prev.data();
    }

    // Inserts the positions [from, to) that have kMinMatch bytes left.
    void Insert(size_t from, size_t to) {
        const size_t size = data_.size();
        const size_t four = std::min(to, size >= 4 ? size - 3 : 0);  // positions with four bytes left
        size_t pos = from;
        for (; pos < four; ++pos) {
            uint32_t v;
            std::memcpy(&v, data_.data() + pos, sizeof v);
            head3_[Hash3Of(v, data_.data() + pos)] = static_cast<int32_t>(pos);
            Link(pos, head_[MultiplyHash(v, kChainHashBits)]);
        }
        for (; pos < to && pos + kMinMatch <= size; ++pos) {
            head3_[Hash3(data_.data() + pos, kHash3Bits)] = static_cast<int32_t>(pos);
        }
    }

    // The longest match at `pos` longer than `longerThan`, the nearest one
    // of that length the search meets; none when there is no longer one.
    // Then inserts `pos`, as Insert(pos, pos + 1) would: both use the
    // hashes of pos, and the search starts from the heads it replaces.
    Match FindAndInsert(size_t pos, uint32_t longerThan, int chain, uint32_t nice) {
        const uint8_t* const here = data_.data() + pos;
        const size_t left = data_.size() - pos;
        if (left < 4) {
            const int32_t near = left >= kMinMatch ? head3_[Hash3(here, kHash3Bits)] : kNone;
            Insert(pos, pos + 1);
            return Search(pos, longerThan, chain, nice, near, kNone);
        }
        // The next search most often starts one byte on: its chain head is
        // fetched while this one walks.
        if (left > 4) __builtin_prefetch(&head_[Hash4(here + 1)]);
        uint32_t v;
        std::memcpy(&v, here, sizeof v);
        int32_t& near = head3_[Hash3Of(v, here)];
        const int32_t nearBefore = near;
        near = static_cast<int32_t>(pos);
        int32_t& head = head_[MultiplyHash(v, kChainHashBits)];
        const int32_t headBefore = head;
        Link(pos, head);
        // The chain from headBefore never follows pos's own link: its
        // positions within the window lie in other slots.
        return Search(pos, longerThan, chain, nice, nearBefore, headBefore);
    }

private:
    using History = WindowHistory<kWindowSize>;
    static constexpr int32_t kNone = kNoPosition<int32_t>;
    // No link: a step back from any position in the window to one beyond it.
    static constexpr uint16_t kNoLink = UINT16_MAX;
    static_assert(kNoLink > kMaxDistance);
    static constexpr int kChainHashBits = 15;
    static constexpr int kHash3Bits = 12;

    static uint32_t Load16(const uint8_t* p) {
        uint16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    // Hash3 of p, whose first four bytes `v` holds in memory order.
    static uint32_t Hash3Of(uint32_t v, const uint8_t* p) {
        if constexpr (std::endian::native == std::endian::little) {
            return MultiplyHash(v & 0xFFFFFFu, kHash3Bits);
        } else {
            return Hash3(p, kHash3Bits);
        }
    }

    static uint32_t Hash4(const uint8_t* p) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return MultiplyHash(v, kChainHashBits);
    }

    // `pos` becomes the head of its chain, `head`, linked to the one before.
    void Link(size_t pos, int32_t& head) {
        const int64_t back = static_cast<int64_t>(pos) - head;
        prev_[History::Slot(pos)] =
            back <= static_cast<int64_t>(kMaxDistance) ? static_cast<uint16_t>(back) : kNoLink;
        head = static_cast<int32_t>(pos);
    }

    // The search at `pos` from the latest position `near` of its three-byte
    // hash and the head `candidate` of its chain.
    Match Search(size_t pos, uint32_t longerThan, int chain, uint32_t nice, int32_t near,
                 int32_t candidate) const {
        Match best;
        const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(data_.size() - pos, kMaxMatch));
        uint32_t bestLength = std::max<uint32_t>(longerThan, kMinMatch - 1);
        if (limit < kMinMatch || bestLength >= limit) return best;
        nice = std::min(nice, limit);
        const uint8_t* const here = data_.data() + pos;
        const int64_t oldest = static_cast<int64_t>(pos) - static_cast<int64_t>(kMaxDistance);
        // Most searches on data without matches meet no candidate, or one or
        // two that differ at once: those are told apart with one branch,
        // not one for each candidate. A position beyond the window (or none)
        // still reads bytes of the data, from no lower than its first, and
        // what it reads is set aside.
        const auto at = [&](int32_t p) { return data_.data() + std::max(p, int32_t{0}); };
        const auto miss = [&](bool inWindow, uint32_t differ) {
            return uint32_t{!inWindow} | uint32_t{differ != 0};
        };
        if (bestLength < kMinMatch) {
            const uint8_t* const there = at(near);
            const uint32_t differ = (Load16(there) ^ Load16(here)) | (uint32_t{there[2]} ^ here[2]);
            if (!miss(near >= oldest, differ)) {
                bestLength = ExtendMatch(there, here, kMinMatch, limit);
                best = {bestLength, static_cast<uint32_t>(pos - static_cast<size_t>(near))};
                if (bestLength >= nice) return best;
            }
        }
        // Both pairs lie within the bytes a longer match must share.
        const auto differs = [&](const uint8_t* there) {
            return (Load16(there + bestLength - 1) ^ Load16(here + bestLength - 1)) |
                   (Load16(there) ^ Load16(here));
        };
        if (chain >= 2) {
            const bool first = candidate >= oldest;
            const int32_t next = candidate - prev_[History::Slot(candidate)];
            const bool second = first && next >= oldest;
            if (miss(first, differs(at(candidate))) & miss(second, differs(at(next)))) {
                if (!second) return best;
                candidate = next - prev_[History::Slot(next)];
                chain -= 2;
            }
        }
        while (candidate >= oldest && chain-- > 0) {
            const uint8_t* const there = data_.data() + candidate;
            if (differs(there) == 0) {
                const uint32_t length = ExtendMatch(there, here, 2, limit);
                if (length > bestLength) {
                    bestLength = length;
                    best = {length, static_cast<uint32_t>(pos - static_cast<size_t>(candidate))};
                    if (length >= nice) break;
                }
            }
            candidate -= prev_[History::Slot(candidate)];
        }
        return best;
    }

    std::span<const uint8_t> data_;
    int32_t* head3_;
    int32_t* head_;
    uint16_t* prev_;
};

}  // namespace kq::pack::lzh5
