#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/Lzh1Model.h"
#include "tests/TestData.h"
#include "tests/TestPipeline.h"

namespace kq {
namespace {

using lzh1::AdaptiveTree;
using lzh1::DecodingTree;
using lzh1::kRoot;
using lzh1::kSlots;
using lzh1::kSymbols;
using test::Bytes;

// Writes hand-made streams: symbol codes from a tree kept in step with the
// decoder's, offsets from the prefix groups written out here independently.
class StreamBuilder {
public:
    StreamBuilder() { tree_.ResetTree(); }

    StreamBuilder& Literal(uint8_t c) { return Symbol(c); }
    StreamBuilder& Literals(const std::string& text) {
        for (char ch : text) Literal(static_cast<uint8_t>(ch));
        return *this;
    }
    StreamBuilder& Match(uint32_t length, uint32_t offset) {
        Symbol(length + 253);
        // Upper 6 bits: 3-bit codes for 0, 4-bit for 1..3, 5-bit for 4..11,
        // 6-bit for 12..23, 7-bit for 24..47, 8-bit for 48..63.
        const uint32_t h = offset >> 6;
        uint32_t code, length_bits;
        if (h < 1)
            code = 0, length_bits = 3;
        else if (h < 4)
            code = 0x2 + (h - 1), length_bits = 4;  // 0010.. : index 32 = 1
        else if (h < 12)
            code = 0xA + (h - 4), length_bits = 5;  // 01010.. : index 80
        else if (h < 24)
            code = 0x24 + (h - 12), length_bits = 6;  // 100100.. : index 144
        else if (h < 48)
            code = 0x60 + (h - 24), length_bits = 7;  // 1100000.. : index 192
        else
            code = 0xF0 + (h - 48), length_bits = 8;  // index 240
        bits_.Put(static_cast<int>(length_bits), code);
        bits_.Put(6, offset & 0x3F);
        return *this;
    }
    Bytes Build() const { return bits_.Done(); }

private:
    StreamBuilder& Symbol(uint32_t c) {
        std::vector<bool> path;
        for (uint32_t s = tree_.Parent[c + kSlots]; s != kRoot; s = tree_.Parent[s]) path.push_back(s & 1);
        for (auto bit = path.rbegin(); bit != path.rend(); ++bit) bits_.Put(1, *bit);
        tree_.UpdateTree(c);
        return *this;
    }
    AdaptiveTree tree_;
    test::Bits bits_;
};

test::DecodeResult Decode(const Bytes& stored, int32_t expectedSize) {
    return test::RunDecoder(stored, [&](CodecPipeline& pipe) { DecodeLzh1(pipe, expectedSize); });
}

TEST(Lzh1DecoderTest, HandMadeStreams) {
    const Bytes distinct = [] {
        Bytes b;
        for (int i = 0; i < 4096; ++i) b.push_back(static_cast<uint8_t>((i * 7 + i / 256) & 0xFF));
        return b;
    }();
    struct Case {
        const char* name;
        StreamBuilder stream;
        int32_t expectedSize;
        Bytes output;
    };
    std::vector<Case> cases;
    cases.push_back({"first symbol a match of spaces", StreamBuilder().Match(3, 0), 3, test::ToBytes("   ")});
    cases.push_back(
        {"offset 0 repeats last byte", StreamBuilder().Literal('A').Match(5, 0), 6, test::ToBytes("AAAAAA")});
    cases.push_back(
        {"overlapping match", StreamBuilder().Literals("ab").Match(6, 1), 8, test::ToBytes("abababab")});
    cases.push_back({"final match written whole", StreamBuilder().Literal('x').Match(60, 0), 2,
                     test::ToBytes("x" + std::string(60, 'x'))});
    // Offset 4095 from the first write reaches ring position 4036: a space.
    cases.push_back({"oldest ring byte at start", StreamBuilder().Match(4, 4095), 4, test::ToBytes("    ")});
    cases.push_back({"match straddles spaces and output", StreamBuilder().Literals("ok").Match(5, 3), 7,
                     test::ToBytes("ok  ok ")});
    for (uint32_t offset : {63u, 64u, 255u, 256u, 767u, 768u, 1535u, 1536u, 3071u, 3072u, 4094u}) {
        StreamBuilder s;
        for (uint8_t b : distinct) s.Literal(b);
        s.Match(3, offset);
        Bytes expected = distinct;
        for (int k = 0; k < 3; ++k)
            expected.push_back(distinct[distinct.size() - 1 - offset + static_cast<size_t>(k)]);
        cases.push_back({"offset group", s, static_cast<int32_t>(expected.size()), expected});
    }
    for (auto& c : cases) {
        EXPECT_EQ(Decode(c.stream.Build(), c.expectedSize).output, c.output) << c.name;
    }
}

TEST(Lzh1DecoderTest, NothingToProduceReadsNothing) {
    const Bytes stored = StreamBuilder().Literals("abc").Build();
    for (int32_t size : {0, -1, INT32_MIN}) {
        const test::DecodeResult r = Decode(stored, size);
        EXPECT_TRUE(r.output.empty()) << size;
        EXPECT_EQ(r.sourcePosition, 0) << size;
    }
}

TEST(Lzh1DecoderTest, ASymbolPastTheInputFails) {
    // The zero bits that pad the last byte are stored data, but no symbol
    // of the fresh code fits in fewer than 8 bits.
    const Bytes stored = StreamBuilder().Literals("abc").Build();
    EXPECT_EQ(Decode(stored, 3).output, test::ToBytes("abc"));
    EXPECT_THROW(Decode(stored, 4), EBadChecksum);
    EXPECT_THROW(Decode(Bytes{}, 1), EBadChecksum);
}

TEST(Lzh1DecoderTest, ArbitraryBytesStayInBounds) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        const Bytes noise = test::RandomBytes(40000, seed);
        for (int32_t expected : {1000, 300000}) {
            try {
                const Bytes out = Decode(noise, expected).output;
                EXPECT_GE(out.size(), static_cast<size_t>(expected));
                EXPECT_LE(out.size(), static_cast<size_t>(expected) + 59);
            } catch (const EBadChecksum&) {
                EXPECT_EQ(expected, 300000) << "1000 bytes need far fewer bits than there are";
            }
        }
    }
}

uint32_t SlotOf(const AdaptiveTree& t, uint32_t symbol) {
    return t.Parent[symbol + kSlots];
}

TEST(Lzh1TreeTest, ExchangeOnlyWhenOutgrowingNextSlot) {
    AdaptiveTree t;
    t.ResetTree();
    EXPECT_EQ(t.Freq[kRoot], 314);
    // Symbol 313 (slot 313) reaches 2, equal to the inner node in slot 314: stays.
    t.UpdateTree(313);
    EXPECT_EQ(SlotOf(t, 313), 313u);
    EXPECT_EQ(t.Freq[313], 2);
    // Symbol 0 (slot 0) reaches 2 over a run of weight-1 leaves ending at slot
    // 312: it trades places with the last of them.
    t.UpdateTree(0);
    EXPECT_EQ(SlotOf(t, 0), 312u);
    EXPECT_EQ(SlotOf(t, 312), 0u);
    EXPECT_EQ(t.Freq[kRoot], 316);
}

TEST(Lzh1TreeTest, FirstRebuildAndHalving) {
    AdaptiveTree t;
    t.ResetTree();
    // 'a' weighs 3, 'b' 4, 'c' 2 (both +1 from the start), the rest 1.
    for (uint32_t c : {97u, 97u, 98u, 98u, 98u, 99u}) t.UpdateTree(c);
    // Fill up the root with a symbol of its own, 32454 updates in all.
    for (int i = 6; i < 32454; ++i) t.UpdateTree(300);
    EXPECT_EQ(t.Freq[kRoot], 0x8000);
    EXPECT_EQ(t.Freq[SlotOf(t, 97)], 3);
    // The 32,455th update rebuilds before it counts.
    t.UpdateTree(5);
    EXPECT_EQ(t.Freq[SlotOf(t, 97)], 2);
    EXPECT_EQ(t.Freq[SlotOf(t, 98)], 2);
    EXPECT_EQ(t.Freq[SlotOf(t, 99)], 1);
    EXPECT_EQ(t.Freq[SlotOf(t, 7)], 1);
    EXPECT_EQ(t.Freq[SlotOf(t, 5)], 2);  // 1 stays 1, then counted
    EXPECT_EQ(t.Freq[SlotOf(t, 300)], (32449 + 1) / 2);
}

// The decoder's tree, updated from the leaf slot, stays the encoder's tree
// and keeps Pairs what its definition says, across exchanges at every
// level and a rebuild.
TEST(Lzh1TreeTest, DecodingTreeFollowsTheTreeAndKeepsItsPairs) {
    AdaptiveTree plain;
    DecodingTree tree;
    plain.ResetTree();
    tree.ResetTree();
    const auto wrongPairs = [&] {
        int wrong = 0;
        for (uint32_t s = 0; s < kSlots; ++s) {
            const uint32_t y = tree.Child[s];
            for (uint32_t b : {0u, 1u})
                wrong +=
                    tree.Pairs[2 * s + b] != (y >= kSlots ? y | DecodingTree::kOneBit : tree.Child[y + b]);
        }
        return wrong;
    };
    std::mt19937 rng(7);
    for (int i = 0; i < 40000; ++i) {
        const auto c = static_cast<uint32_t>(rng() % 4 == 0 ? rng() % kSymbols : rng() % 24);
        plain.UpdateTree(c);
        if (tree.Freq[kRoot] == lzh1::kRebuildWeight) {
            tree.UpdateTree(c);
        } else {
            tree.UpdateTreeFromLeaf(tree.Parent[c + kSlots]);
        }
        if (i % 1000 == 0) {
            ASSERT_EQ(wrongPairs(), 0) << "after update " << i;
        }
    }
    EXPECT_TRUE(std::equal(plain.Freq.begin(), plain.Freq.begin() + kSlots, tree.Freq.begin()));
    EXPECT_TRUE(std::equal(plain.Child.begin(), plain.Child.end(), tree.Child.begin()));
    EXPECT_EQ(wrongPairs(), 0);
}

}  // namespace
}  // namespace kq
