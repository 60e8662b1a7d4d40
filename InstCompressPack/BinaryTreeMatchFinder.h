// The LH5 encoder's match finder for the best parse: binary trees over the
// segment and the window before it, and the table of every position's
// matches they give. Internal to the writer library.
#pragma once

#include <algorithm>
#include <cassert>
#include <span>
#include <vector>

#include "InstCompressPack/Lzh5Block.h"
#include "InstCompressPack/MatchFinderCommon.h"

namespace kq::pack::lzh5 {

constexpr int kTreeHashBits = 16;
constexpr uint32_t kTreeNiceLength = 200;  // a match this long ends the search
constexpr int kTreeDepth = 48;             // nodes visited per search

struct StoredMatch {
    uint16_t length;
    uint16_t distance;
};

// Binary trees of the positions in the window, one per hash of three
// bytes, ordered by the bytes that follow; searching a position inserts
// it. Finds, for each length, the nearest match the search meets.
class BinaryTrees {
public:
    explicit BinaryTrees(std::span<const uint8_t> data)
        : data_(data), head_(size_t{1} << kTreeHashBits, kNone), children_(2 * History::kSlots, kNone) {}

    // Inserts `pos`; with `found`, appends its matches by increasing
    // length. Returns the longest length met.
    uint32_t Advance(size_t pos, std::vector<StoredMatch>* found) {
        const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(data_.size() - pos, kMaxMatch));
        if (limit < kMinMatch) return 0;
        const uint8_t* const here = data_.data() + pos;
        const uint32_t nice = std::min(kTreeNiceLength, limit);
        int32_t& head = head_[Hash3(here, kTreeHashBits)];
        int32_t node = head;
        head = static_cast<int32_t>(pos);
        int32_t* pendingLess = &children_[2 * History::Slot(pos)];
        int32_t* pendingGreater = pendingLess + 1;
        const int64_t oldest = static_cast<int64_t>(pos) - static_cast<int64_t>(kMaxDistance);
        uint32_t bestLength = kMinMatch - 1;
        uint32_t lessLength = 0, greaterLength = 0, length = 0;
        for (int depth = kTreeDepth; node >= oldest && depth > 0; --depth) {
            const uint8_t* const there = data_.data() + node;
            int32_t* const nodeChildren = &children_[2 * History::Slot(node)];
            if (there[length] == here[length]) {
                length = ExtendMatch(there, here, length + 1, limit);
                if (length > bestLength) {
                    bestLength = length;
                    if (found != nullptr) {
                        found->push_back({static_cast<uint16_t>(length), static_cast<uint16_t>(pos - node)});
                    }
                }
                if (length >= nice) {
                    // The node's subtrees become ours; the node drops out.
                    *pendingLess = nodeChildren[0];
                    *pendingGreater = nodeChildren[1];
                    return bestLength;
                }
            }
            assert(length < limit);
            if (there[length] < here[length]) {
                *pendingLess = node;
                pendingLess = &nodeChildren[1];
                node = *pendingLess;
                lessLength = length;
                length = std::min(length, greaterLength);
            } else {
                *pendingGreater = node;
                pendingGreater = &nodeChildren[0];
                node = *pendingGreater;
                greaterLength = length;
                length = std::min(length, lessLength);
            }
        }
        *pendingLess = kNone;
        *pendingGreater = kNone;
        return bestLength;
    }

private:
    using History = WindowHistory<kWindowSize>;
    static constexpr int32_t kNone = kNoPosition<int32_t>;

    std::span<const uint8_t> data_;
    std::vector<int32_t> head_;
    std::vector<int32_t> children_;  // per slot: less, greater
};

// The matches of every position of a segment.
struct MatchTable {
    std::vector<StoredMatch> matches;
    std::vector<uint32_t> first;  // per position and one more: index of its first match

    std::span<const StoredMatch> At(size_t i) const {
        return std::span(matches).subspan(first[i], first[i + 1] - first[i]);
    }
};

inline MatchTable FindAllMatches(std::span<const uint8_t> data, size_t start) {
    BinaryTrees trees(data);
    for (size_t pos = start - std::min<size_t>(start, kWindowSize); pos < start; ++pos)
        trees.Advance(pos, nullptr);
    MatchTable table;
    const size_t n = data.size() - start;
    table.first.resize(n + 1);
    table.matches.reserve(n);
    size_t i = 0;
    while (i < n) {
        table.first[i] = static_cast<uint32_t>(table.matches.size());
        const uint32_t longest = trees.Advance(start + i, &table.matches);
        ++i;
        if (longest >= kTreeNiceLength) {
            // A long match: the positions it covers are only inserted, and
            // the parse takes it or steps past it a byte at a time.
            for (const size_t skipEnd = std::min(n, i - 1 + longest); i < skipEnd; ++i) {
                table.first[i] = static_cast<uint32_t>(table.matches.size());
                trees.Advance(start + i, nullptr);
            }
        }
    }
    table.first[n] = static_cast<uint32_t>(table.matches.size());
    return table;
}

}  // namespace kq::pack::lzh5
