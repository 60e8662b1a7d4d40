#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/InstCompress.h"
#include "tests/TestArchives.h"
#include "tests/TestPipeline.h"

namespace kq {
namespace {

using test::Bytes;

using test::Bits;

// Canonical code values: shorter lengths first, then symbol order.
std::vector<uint32_t> Canonical(const std::vector<int>& lengths) {
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    for (int len = 1; len <= 16; ++len) {
        for (size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s] == len) codes[s] = code++;
        }
        code <<= 1;
    }
    return codes;
}

void PutCode(Bits& bits, const std::vector<int>& lengths, int symbol) {
    bits.Put(lengths[symbol], Canonical(lengths)[symbol]);
}

// Three bits, or 111 and (length - 7) ones and a zero.
void PutUnary(Bits& bits, int length) {
    if (length < 7) {
        bits.Put(3, static_cast<uint32_t>(length));
    } else {
        bits.Put(length - 3, (1u << (length - 3)) - 2);
    }
}

// Code-length code over runs (0, 1) and lengths 1..16 (3..18); 2 is unused.
const std::vector<int> kLengthCode = {4, 5, 0, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5};

struct Block {
    uint16_t count;
    std::vector<int> symbolLengths;  // empty: the single symbol below
    int singleSymbol = 0;
    std::vector<int> positionLengths;  // empty: the single class below
    int singlePosition = 0;
};

void PutHeader(Bits& bits, const Block& block) {
    bits.Put(16, block.count);
    if (block.symbolLengths.empty()) {
        bits.Put(5, 0).Put(5, 0).Put(9, 0).Put(9, static_cast<uint32_t>(block.singleSymbol));
    } else {
        bits.Put(5, static_cast<uint32_t>(kLengthCode.size()));
        for (size_t i = 0; i < kLengthCode.size(); ++i) {
            PutUnary(bits, kLengthCode[i]);
            if (i == 2) bits.Put(2, 0);
        }
        bits.Put(9, static_cast<uint32_t>(block.symbolLengths.size()));
        for (int len : block.symbolLengths) PutCode(bits, kLengthCode, len == 0 ? 0 : len + 2);
    }
    if (block.positionLengths.empty()) {
        bits.Put(4, 0).Put(4, static_cast<uint32_t>(block.singlePosition));
    } else {
        bits.Put(4, static_cast<uint32_t>(block.positionLengths.size()));
        for (int len : block.positionLengths) PutUnary(bits, len);
    }
}

// Position value p (distance - 1) after its class code.
void PutPosition(Bits& bits, const std::vector<int>& positionLengths, uint32_t p) {
    int cls = 0;
    while ((p >> cls) != 0) ++cls;
    if (!positionLengths.empty()) PutCode(bits, positionLengths, cls);
    if (cls > 1) bits.Put(cls - 1, p - (1u << (cls - 1)));
}

// Symbol lengths where only the listed symbols have codes.
std::vector<int> SymbolLengths(std::initializer_list<std::pair<int, int>> symbolAndLength) {
    int count = 0;
    for (const auto& [s, len] : symbolAndLength) count = std::max(count, s + 1);
    std::vector<int> lengths(static_cast<size_t>(count), 0);
    for (const auto& [s, len] : symbolAndLength) lengths[static_cast<size_t>(s)] = len;
    return lengths;
}

// Delivers at most `chunk` bytes per Read, so the pipeline fetches chunks
// of that size and the position tells how far the decoder made it fetch.
class TrickleStream final : public TStream {
public:
    TrickleStream(const Bytes& bytes, int32_t chunk) : inner_(bytes), chunk_(chunk) {}
    int32_t Read(void* buffer, int32_t count) override {
        return inner_.Read(buffer, std::min(count, chunk_));
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
    int64_t Size() override { return inner_.Size(); }

private:
    TMemoryStream inner_;
    int32_t chunk_;
};

test::DecodeResult Decode(const Bytes& coded, int32_t expected, TShowProgressEvent progress = {},
                          bool trickle = true, int32_t chunk = 1) {
    TrickleStream trickling(coded, chunk);
    TMemoryStream whole(coded);
    TStream& source = trickle ? static_cast<TStream&>(trickling) : whole;
    return test::RunDecoder(
        source, static_cast<int32_t>(coded.size()), [&](CodecPipeline& pipe) { DecodeLzh5(pipe, expected); },
        std::move(progress));
}

void ExpectBadTable(const Bytes& coded, int32_t expected, const std::string& what) {
    try {
        Decode(coded, expected);
        ADD_FAILURE() << what << ": no error";
    } catch (const ELZHBadDecodeTable& e) {
        EXPECT_EQ(e.Message(), "Bad decode table in archive!") << what;
    }
}

// A position code with these lengths, used by `repeats` matches, each after
// a literal; an invalid code gets no position bits.
Bytes PositionCodeStream(const std::vector<int>& positionLengths, uint32_t p, bool valid, int repeats = 1) {
    Bits bits;
    const std::vector<int> symbolLengths = SymbolLengths({{'A', 1}, {256 + 7, 1}});  // 'A', match of 10
    PutHeader(bits, {static_cast<uint16_t>(2 * repeats), symbolLengths, 0, positionLengths, 0});
    for (int r = 0; r < repeats; ++r) {
        PutCode(bits, symbolLengths, 'A');
        PutCode(bits, symbolLengths, 256 + 7);
        if (valid) PutPosition(bits, positionLengths, p);
    }
    bits.Put(32, 0);
    return bits.Done();
}

TEST(Lzh5Test, PositionCodeTables) {
    struct Case {
        const char* what;
        std::vector<int> lengths;
        bool valid;
    };
    std::vector<int> deep;  // 1, 2, ..., 13, 13: walks up to five tree levels past the 8-bit table
    for (int len = 1; len <= 13; ++len) deep.push_back(len);
    deep.push_back(13);
    const Case cases[] = {
        {"two of length 1", {1, 1}, true},
        {"fills the 8-bit table exactly", {1, 2, 3, 4, 5, 6, 7, 8, 8}, true},
        {"longer than the table", deep, true},
        {"underfull with long codes", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 16, 16}, false},
        {"single length 1", {1}, false},
        {"underfull", {1, 2}, false},
        {"overfull", {1, 1, 1}, false},
        {"overfull by 2^16 wraps to 0", {1, 1, 1, 1}, false},
        {"all zero", {0, 0, 0}, false},
        {"length 17 beside a complete code", {1, 1, 17}, false},
        {"length 20 beside a complete code", {1, 1, 20}, false},
    };
    for (const Case& c : cases) {
        for (uint32_t p : {0u, 1u, 2u, 6u, 4000u, 8191u}) {
            int cls = 0;
            while ((p >> cls) != 0) ++cls;
            if (c.valid && (static_cast<size_t>(cls) >= c.lengths.size() || c.lengths[cls] == 0)) continue;
            const Bytes coded = PositionCodeStream(c.lengths, p, c.valid);
            if (!c.valid) {
                ExpectBadTable(coded, 11, c.what);
                break;
            }
            // Before 'A' the window holds spaces. Byte by byte the careful
            // loop decodes; whole, the fast loop takes most of the matches.
            constexpr int kRepeats = 6;
            Bytes want;
            Bytes window(8192, ' ');
            for (int r = 0; r < kRepeats; ++r) {
                want.push_back('A');
                window.push_back('A');
                for (int k = 0; k < 10; ++k) {
                    want.push_back(window[window.size() - 1 - p]);
                    window.push_back(want.back());
                }
            }
            EXPECT_EQ(Decode(coded, 11).output, Bytes(want.begin(), want.begin() + 11))
                << c.what << " p " << p;
            const Bytes repeated = PositionCodeStream(c.lengths, p, true, kRepeats);
            EXPECT_EQ(Decode(repeated, 11 * kRepeats, {}, false).output, want) << c.what << " p " << p;
        }
    }
}

TEST(Lzh5Test, SymbolCodeTables) {
    // 256 literals of length 8 fill the 12-bit table without a tree.
    std::vector<int> flat(256, 8);
    // Lengths 1..15 and 16, 16 take the tree down to four levels.
    std::vector<int> deep(17);
    for (int s = 0; s < 17; ++s) deep[static_cast<size_t>(s)] = s < 16 ? s + 1 : 16;
    for (const auto& lengths : {flat, deep}) {
        Bits bits;
        PutHeader(bits, {17, lengths, 0, {}, 0});
        for (int s = 0; s < 17; ++s) PutCode(bits, lengths, 16 - s);
        bits.Put(32, 0);
        Bytes want;
        for (int s = 0; s < 17; ++s) want.push_back(static_cast<uint8_t>(16 - s));
        for (bool trickle : {true, false}) EXPECT_EQ(Decode(bits.Done(), 17, {}, trickle).output, want);
    }
}

TEST(Lzh5Test, HostileHeaders) {
    struct Case {
        const char* what;
        std::function<void(Bits&)> write;
    };
    const Case cases[] = {
        {"single symbol 510",
         [](Bits& b) {
             PutHeader(b, {1, {}, 510, {}, 0});
         }},
        {"single symbol 511",
         [](Bits& b) {
             PutHeader(b, {1, {}, 511, {}, 0});
         }},
        {"single length-code symbol 19",
         [](Bits& b) { b.Put(16, 1).Put(5, 0).Put(5, 19).Put(9, 3).Put(16, 0); }},
        {"single length-code symbol 31",
         [](Bits& b) { b.Put(16, 1).Put(5, 0).Put(5, 31).Put(9, 3).Put(16, 0); }},
        {"single position class 15 used by a match",
         [](Bits& b) {
             PutHeader(b, {1, {}, 256, {}, 15});
         }},
        {"zero run past the symbol lengths",
         [](Bits& b) {
             // 500 lengths, then a run of 18 zeros would end at 518.
             b.Put(16, 1).Put(5, 0).Put(5, 1).Put(9, 511);
             for (int i = 0; i < 30; ++i) b.Put(4, 15);
         }},
        {"all symbol lengths zero",
         [](Bits& b) {
             b.Put(16, 1).Put(5, 0).Put(5, 0).Put(9, 510);
             b.Put(4, 0).Put(4, 0);
         }},
        {"code-length code overfull by 2^16",
         [](Bits& b) {
             b.Put(16, 1).Put(5, 4);
             for (int i = 0; i < 3; ++i) PutUnary(b, 1);
             b.Put(2, 0);
             PutUnary(b, 1);
         }},
        {"code-length code with a length 20",
         [](Bits& b) {
             b.Put(16, 1).Put(5, 2);
             PutUnary(b, 1);
             PutUnary(b, 20);
         }},
    };
    for (const Case& c : cases) {
        Bits bits;
        c.write(bits);
        bits.Put(32, 0);
        ExpectBadTable(bits.Done(), 5, c.what);
    }
}

TEST(Lzh5Test, UnusedOddCodesAreHarmless) {
    // An all-zero position code, or one whose single class is out of range,
    // only matters once a match needs it.
    for (const std::vector<int>& positions : {std::vector<int>{0, 0, 0}, std::vector<int>{}}) {
        Bits bits;
        PutHeader(bits, {3, {}, 'z', positions, 15});
        EXPECT_EQ(Decode(bits.Done(), 3).output, test::ToBytes("zzz"));
    }
    // A surplus 15th position length of 20 (17 bits) takes no part in the
    // code, and the bits after it still line up.
    std::vector<int> positions = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20};
    const std::vector<int> symbols = SymbolLengths({{'a', 1}, {256, 1}});
    Bits bits;
    PutHeader(bits, {3, symbols, 0, positions, 0});
    PutCode(bits, symbols, 'a');
    PutCode(bits, symbols, 256);
    bits.Put(1, 0);  // position class 0: distance 1
    PutCode(bits, symbols, 'a');
    EXPECT_EQ(Decode(bits.Done(), 5).output, test::ToBytes("aaaaa"));
}

TEST(Lzh5Test, BlockCountZeroMeans65536) {
    Bits bits;
    PutHeader(bits, {0, {}, 'x', {}, 0});
    PutHeader(bits, {3, {}, 'y', {}, 0});
    const auto result = Decode(bits.Done(), 65536 + 3);
    Bytes want(65536 + 3, 'y');
    std::fill_n(want.begin(), 65536, 'x');
    EXPECT_EQ(result.output, want);
}

TEST(Lzh5Test, MatchesAndWindow) {
    const std::vector<int> symbols = SymbolLengths({{'a', 2}, {'b', 2}, {256 + 3, 2}, {256 + 253, 2}});
    const std::vector<int> positions = {2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    struct Case {
        const char* what;
        std::vector<std::pair<int, uint32_t>> symbols;  // symbol, position for matches
        std::string want;
    };
    const Case cases[] = {
        {"match before any output copies spaces", {{256 + 3, 8000}}, "      "},
        {"overlapping copy repeats", {{'a', 0}, {'b', 0}, {256 + 3, 1}}, "abababab"},
        {"position 0 repeats the last byte", {{'b', 0}, {256 + 3, 0}}, "bbbbbbb"},
        {"final match is written whole", {{'a', 0}, {256 + 253, 0}}, "a" + std::string(256, 'a')},
    };
    for (const Case& c : cases) {
        Bits bits;
        PutHeader(bits, {static_cast<uint16_t>(c.symbols.size()), symbols, 0, positions, 0});
        for (const auto& [s, p] : c.symbols) {
            PutCode(bits, symbols, s);
            if (s >= 256) PutPosition(bits, positions, p);
        }
        EXPECT_EQ(Decode(bits.Done(), 3).output, test::ToBytes(c.want)) << c.what;
    }
    // The window wraps after 8192 bytes: a match reaching 8192 back finds
    // the byte the window position is about to overwrite.
    Bits bits;
    const std::vector<int> flat = SymbolLengths({{'a', 1}, {'b', 2}, {256, 2}});
    PutHeader(bits, {8193, flat, 0, positions, 0});
    PutCode(bits, flat, 'b');
    for (int i = 0; i < 8191; ++i) PutCode(bits, flat, 'a');
    PutCode(bits, flat, 256);
    PutPosition(bits, positions, 8191);
    Bytes want(1, 'b');
    want.insert(want.end(), 8191, 'a');
    want.insert(want.end(), {'b', 'a', 'a'});
    EXPECT_EQ(Decode(bits.Done(), 8195).output, want);
}

TEST(Lzh5Test, InputFetchedOnlyWhenNeeded) {
    // Header of 52 bits, then symbols that cost no bits: the 16-bit
    // lookahead needs the input up to bit 68, that is 9 bytes.
    Bits bits;
    PutHeader(bits, {5, {}, 'q', {}, 0});
    ASSERT_EQ(bits.BitCount(), 52u);
    Bytes coded = bits.Done();
    coded.resize(20, 0xEE);
    struct Case {
        int32_t expected;
        int64_t fetched;
        size_t written;
    };
    for (const Case c : {Case{0, 0, 0}, Case{-5, 2, 0}, Case{5, 9, 5}}) {
        const auto result = Decode(coded, c.expected);
        EXPECT_EQ(result.sourcePosition, c.fetched) << c.expected;
        EXPECT_EQ(result.output.size(), c.written) << c.expected;
    }

    // Bytes of a chunk already fetched may be read ahead, but the next chunk
    // is fetched only when the 16-bit lookahead needs its first byte.
    const std::vector<int> symbols = SymbolLengths({{'a', 1}, {'b', 1}});
    Bits text;
    PutHeader(text, {1000, symbols, 0, {}, 0});
    Bytes want;
    for (int i = 0; i < 700; ++i) {
        want.push_back(i % 3 ? 'a' : 'b');
        PutCode(text, symbols, want.back());
    }
    const int64_t needed = static_cast<int64_t>(text.BitCount() + 16 + 7) / 8;
    Bytes padded = text.Done();
    padded.resize(padded.size() + 300, 0x5A);
    for (int32_t chunk : {1, 3, 8, 10, 64, 4096}) {
        const auto result = Decode(padded, 700, {}, true, chunk);
        EXPECT_EQ(result.output, want) << chunk;
        const int64_t fetched = std::min<int64_t>((needed + chunk - 1) / chunk * chunk, padded.size());
        EXPECT_EQ(result.sourcePosition, fetched) << "chunk " << chunk;
    }
}

TEST(Lzh5Test, ConsumingABitPastTheInputFails) {
    // 'a' is the all-zero code: the padding bits of the last byte decode as
    // 'a', one more symbol would take a bit past the stored data. A 16-bit
    // lookahead reaching past it is no failure by itself.
    const std::vector<int> symbols = SymbolLengths({{'a', 1}, {'b', 1}});
    Bits bits;
    PutHeader(bits, {100, symbols, 0, {}, 0});
    PutCode(bits, symbols, 'b');
    PutCode(bits, symbols, 'b');
    const int padding = static_cast<int>(bits.Done().size() * 8 - bits.BitCount());
    EXPECT_EQ(Decode(bits.Done(), 2 + padding).output,
              test::ToBytes("bb" + std::string(static_cast<size_t>(padding), 'a')));
    EXPECT_THROW(Decode(bits.Done(), 3 + padding), EBadChecksum);
}

TEST(Lzh5Test, BadTableThroughTheComponent) {
    Bits bits;
    PutHeader(bits, {1, {}, 510, {}, 0});
    bits.Put(16, 0);
    const Bytes coded = bits.Done();
    struct Case {
        int32_t lock;
        int32_t key;
        const char* wantClass;
    };
    for (const Case c : {Case{0, 0, "ELZHBadDecodeTable"}, Case{0, 77, "ELZHBadDecodeTable"},
                         Case{1, 77, "EInvalidKey"}, Case{2, 77, "EInvalidKey"}}) {
        const Bytes stored = c.lock == 2 ? test::Scramble(coded, c.key) : coded;
        const Bytes archive =
            test::ArchiveBuilder("LH5").Key(c.key).Entry("e", kMethodLzh5, 5, stored, 0, c.lock).Build();
        TKQInstCompress component;
        component.Key = c.key;
        TMemoryStream source(archive), dest;
        try {
            component.ExpandNamedEntry(source, dest, "e");
            ADD_FAILURE() << "lock " << c.lock << ": no error";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.ClassName(), c.wantClass) << "lock " << c.lock;
        }
    }
}

}  // namespace
}  // namespace kq
