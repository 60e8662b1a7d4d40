// LZH5 decoder: LZSS over an 8 KiB window whose literals, match lengths
// and match positions are coded with static canonical Huffman codes, sent
// anew at the start of every block (the -lh5- stream; Lzh5Model.h).
//
// Output goes to a linear buffer that keeps the last 8 KiB in front of it,
// so a match never wraps and is copied 32 bytes at a time; the buffer is
// handed to the pipeline when it fills and at the end. Symbols decode in a
// fast loop while the pipeline's current chunk holds a word of input, the
// buffer has room for a whole match and the block has symbols left: one
// branch-free refill per match or up to three literals, one table load per
// code (a position's further bits come with its code's entry), and the next
// symbol's entry loaded while a match is copied. At the edges (chunk ends, block headers, the end of
// the data) a careful loop takes one symbol at a time through the bit
// reader, which fetches a byte only when its 16-bit lookahead needs it, as a
// plain 16-bit reader would: chunks are fetched, and progress reported, at
// the same points.
//
// Codes that no encoder writes (overfull, underfull, lengths over 16, runs
// past the length list, single symbols out of range) are refused with
// ELZHBadDecodeTable instead of indexing past a table; a code left empty by
// its header raises the same error when it is first used, since a block
// without matches never touches its position code. Consuming a bit past the
// stored data fails the entry (CodecPipeline::FailEntry); the lookahead may
// hold such bits as long as they are not consumed.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "InstCompress/BitReader.h"
#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/Lzh5Model.h"
#include "InstCompress/MatchCopy.h"

// x86-64 processors without BMI2 are still about; where the compiler is not
// told BMI2 is there, the fast loop is built a second time with it and
// picked at run time. KQ_DISABLE_BMI2=1 in the environment picks the
// generic loop on a processor with BMI2 too, so that the tests run it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__BMI2__)
#define KQ_LZH5_BMI2 1
#else
#define KQ_LZH5_BMI2 0
#endif

namespace kq {

namespace {

using namespace lzh5;

// The careful loop and the block headers read through a 16-bit lookahead,
// as a plain 16-bit reader would, refilled as soon as bits are dropped. Its
// 64-bit word holds a symbol, a position class and its further bits after
// one refill of the fast loop.
using Reader = BitReader<16>;
using BitBuffer = Reader::Word;
constexpr int kBufferBits = Reader::kWordBits;

#if KQ_LZH5_BMI2
// Whether the fast loop takes BMI2's shifts: the processor has them and
// KQ_DISABLE_BMI2 is unset, empty or "0". Like the processor's features,
// the answer is the same for the whole process, so it is asked once.
bool UseBmi2() {
    static const bool use = [] {
        const char* disable = std::getenv("KQ_DISABLE_BMI2");
        const bool disabled = disable != nullptr && disable[0] != '\0' && std::strcmp(disable, "0") != 0;
        return !disabled && __builtin_cpu_supports("bmi2");
    }();
    return use;
}
#endif

[[noreturn]] void BadTable() {
    throw ELZHBadDecodeTable(msg::kBadDecodeTable);
}

// A packed table entry; one load decodes a code of up to the table width.
//   bits 0..4   bits the entry takes: its code, and for a position its
//               further bits too, so that one shift drops them all
//   bit 5       not a leaf: a subtable start, or no code at all
//   bit 6       no code at all: the header left the code empty or invalid
//   bits 16..31 the value, by table:
// Symbol table: a literal (kLiteral) its byte, a match length symbol the
//   length (3..256).
// Position table: bits 8..11 the count of further bits; bits 16..31 are
//   offset so that the position is the entry's top bits of the stream plus
//   the offset, in 16 bits: p = base + low = ((code << extra) | low) +
//   (base - (code << extra)).
// Code-length code: the symbol.
// A subtable holds the codes longer than the table width that share one
// prefix, indexed by their next 16 - width bits; its entries give the whole
// code length.
constexpr uint32_t kLengthMask = 0x1F;
constexpr uint32_t kNotLeaf = 0x20;
constexpr uint32_t kNoCode = 0x40;
constexpr uint32_t kLiteral = 0x80;
constexpr int kExtraShift = 8;
constexpr int kValueShift = 16;

static_assert(kMaxCodeLength + kMaxPositionExtraBits <= static_cast<int>(kLengthMask),
              "a position code and its further bits fit in the length field");

// The entry of a code that has no code at all.
constexpr uint32_t kEmptyEntry = 0xFFFFu << kValueShift | kNotLeaf | kNoCode;

enum class Leaves { Symbols, Positions, Plain };

template <int Bits, int SymbolCount, Leaves Kind>
struct DecodeTable {
    static constexpr int kBits = Bits;
    static constexpr int kSymbols = SymbolCount;
    static constexpr int kSubBits = kMaxCodeLength - Bits;
    // Each symbol longer than the width opens at most one subtable.
    std::array<uint32_t, (size_t{1} << Bits) + SymbolCount*(size_t{1} << kSubBits)> entries;

    // The entry of `symbol`, whose code is the `length` bits of `code`.
    static constexpr uint32_t Leaf(int symbol, int length, uint32_t code) {
        const auto len = static_cast<uint32_t>(length);
        if constexpr (Kind == Leaves::Positions) {
            const int extra = PositionExtraBits(symbol);
            const auto offset = static_cast<uint16_t>(PositionBase(symbol) - (code << extra));
            return uint32_t{offset} << kValueShift | static_cast<uint32_t>(extra) << kExtraShift |
                   (len + static_cast<uint32_t>(extra));
        } else if constexpr (Kind == Leaves::Symbols) {
            if (symbol < 256) {
                return static_cast<uint32_t>(symbol) << kValueShift | kLiteral | len;
            }
            return static_cast<uint32_t>(LengthOfSymbol(symbol)) << kValueShift | len;
        } else {
            return static_cast<uint32_t>(symbol) << kValueShift | len;
        }
    }

    // Every lookup of a code with a single symbol: no bits, or no code.
    void FillSingle(uint32_t symbol) {
        const uint32_t e = symbol < kSymbols ? Leaf(static_cast<int>(symbol), 0, 0) : kEmptyEntry;
        std::fill(entries.begin(), entries.begin() + (size_t{1} << Bits), e);
    }

    // The first-level entry for the top bits of `window`.
    uint32_t First(BitBuffer window) const {
        return entries[static_cast<size_t>(window >> (kBufferBits - Bits))];
    }

    // The entry for the code at the top of `window` (at least 16 valid
    // bits); kNoCode set when there is none.
    uint32_t Probe(BitBuffer window) const {
        uint32_t e = First(window);
        if (e & kNotLeaf) [[unlikely]] {
            if (e & kNoCode) return e;
            const auto index = static_cast<size_t>((window << Bits) >> (kBufferBits - kSubBits));
            e = entries[(e >> kValueShift) + index];
        }
        return e;
    }

    uint32_t Lookup(BitBuffer window) const {
        const uint32_t e = Probe(window);
        if (e & kNoCode) BadTable();
        return e;
    }
};

// Bits the entry `e` takes.
inline int EntryBits(uint32_t e) {
    return static_cast<int>(e & kLengthMask);
}

using SymbolTable = DecodeTable<kSymbolTableBits, kSymbolCount, Leaves::Symbols>;
using PositionTable = DecodeTable<kAuxTableBits, kPositionCount, Leaves::Positions>;
using LengthCodeTable = DecodeTable<kAuxTableBits, kLengthCodeCount, Leaves::Plain>;

// Builds the canonical code of `lengths` (Lzh5Model.h) into `table`.
template <typename Table>
void MakeDecodeTable(const uint8_t* lengths, Table& table) {
    constexpr int kBits = Table::kBits;
    constexpr int kShift = kMaxCodeLength - kBits;
    for (int s = 0; s < Table::kSymbols; ++s) {
        if (lengths[s] > kMaxCodeLength) BadTable();
    }
    // Summed in 32 bits, so an overfull list cannot pass by wrapping to 0.
    CodeStarts next = CanonicalStarts({lengths, static_cast<size_t>(Table::kSymbols)});
    const uint32_t total = next[kMaxCodeLength + 1];
    if (total == 0) {
        std::fill(table.entries.begin(), table.entries.begin() + (size_t{1} << kBits), kEmptyEntry);
        return;
    }
    if (total != uint32_t{1} << kMaxCodeLength) BadTable();

    // Entries past the short codes lead to subtables; they are made as the
    // first long code of each prefix arrives.
    std::fill(table.entries.begin() + (next[kBits + 1] >> kShift),
              table.entries.begin() + (size_t{1} << kBits), kNoCode);
    uint32_t nextSubtable = uint32_t{1} << kBits;
    for (int s = 0; s < Table::kSymbols; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        const uint32_t code = next[len];
        const uint32_t span = uint32_t{1} << (kMaxCodeLength - len);
        next[len] = code + span;
        const uint32_t leaf = Table::Leaf(s, len, code >> (kMaxCodeLength - len));
        if (len <= kBits) {
            std::fill(table.entries.begin() + (code >> kShift),
                      table.entries.begin() + ((code + span) >> kShift), leaf);
            continue;
        }
        uint32_t& root = table.entries[code >> kShift];
        if (!(root & kNotLeaf)) {
            assert(nextSubtable + (uint32_t{1} << kShift) <= table.entries.size());
            root = nextSubtable << kValueShift | kNotLeaf;
            nextSubtable += uint32_t{1} << kShift;
        }
        const uint32_t at = (root >> kValueShift) + (code & ((uint32_t{1} << kShift) - 1));
        std::fill(table.entries.begin() + at, table.entries.begin() + at + span, leaf);
    }
}

// Drops n bits, n 0..16, and refills.
void ConsumeBits(Reader& reader, int n) {
    assert(n <= 16);
    reader.Drop(n);
    reader.Refill();
}

// The next n bits, n 0..16, consumed.
uint32_t TakeBits(Reader& reader, int n) {
    if (n == 0) return 0;
    const uint32_t value = reader.Peek(n);
    ConsumeBits(reader, n);
    return value;
}

// Ones that follow the next `skip` bits, at most `limit` of them;
// skip + limit is at most 16.
int CountOnes(const Reader& reader, int skip, int limit) {
    assert(skip + limit <= 16);
    const int ones = std::countl_one(static_cast<BitBuffer>(reader.bits() << skip));
    return std::min(ones, limit);
}

// The entry of the next code; the caller consumes its bits.
template <typename Table>
uint32_t PeekEntry(const Reader& reader, const Table& table) {
    return table.Lookup(reader.bits());
}

// The entry of the next code, its bits consumed.
template <typename Table>
uint32_t TakeEntry(Reader& reader, const Table& table) {
    const uint32_t e = PeekEntry(reader, table);
    ConsumeBits(reader, EntryBits(e));
    return e;
}

// Output buffer: the window's 8 KiB, then room for the output between two
// hand-overs, then slack for the word copies' overrun.
constexpr size_t kHistory = kWindowSize;
constexpr size_t kSpan = 64 * 1024;
constexpr size_t kOutputSize = kHistory + kSpan + kMaxMatch + kWideCopySlack;

struct Lzh5Tables {
    alignas(64) std::array<uint8_t, kOutputSize> output;
    // Index 510 only takes a surplus length from a stored count of 511.
    std::array<uint8_t, kSymbolCount + 1> symbolLengths;
    // A 5-bit count stores at most 31 lengths.
    std::array<uint8_t, 32> auxLengths;
    SymbolTable symbols;
    PositionTable positions;
    LengthCodeTable lengthCode;
};

class Lzh5Decoder {
public:
    explicit Lzh5Decoder(CodecPipeline& pipe) : pipe_(pipe), tables_(AllocLzh5Tables()), reader_(pipe) {}

    void Run(int32_t expectedSize) {
        reader_.Refill();
        uint8_t* const buffer = tables_->output.data();
        std::memset(buffer, kWindowFill, kHistory);
        start_ = op_ = buffer + kHistory;
        try {
            Decode(expectedSize);
        } catch (const ELZHBadDecodeTable&) {
            HandOver();  // what was decoded goes out first, as it would byte by byte
            throw;
        }
        HandOver();
    }

private:
    // Released with the decoder, however the decode ends.
    static std::unique_ptr<Lzh5Tables> AllocLzh5Tables() {
        try {
            return std::make_unique_for_overwrite<Lzh5Tables>();
        } catch (const std::bad_alloc&) {
            throw EOutOfMemory(msg::kOutOfMemory);
        }
    }

    void Decode(int32_t expectedSize) {
        uint8_t* const buffer = tables_->output.data();
        uint8_t* const fastEnd = buffer + kHistory + kSpan;  // a whole match and the slack still fit
        // Bytes produced before the current hand-over span; 64 bits, as a
        // final match may carry the count past the largest size.
        int64_t before = 0;
        uint32_t blockRemaining = 0;
        while (before + (op_ - start_) < expectedSize) {
            if (blockRemaining == 0) blockRemaining = ReadBlockHeader();
            if (op_ >= fastEnd) {
                before += op_ - start_;
                HandOver();
                // Keep the window in front of the next span.
                std::memmove(buffer, op_ - kHistory, kHistory);
                start_ = op_ = buffer + kHistory;
            }
            const int64_t wanted = expectedSize - before;  // > op_ - start_
            uint8_t* const limit = wanted < fastEnd - start_ ? start_ + wanted : fastEnd;
            blockRemaining = DecodeFast(limit, blockRemaining);
            if (op_ >= limit || blockRemaining == 0) continue;
            DecodeOneSymbol();
            --blockRemaining;
        }
    }

    uint32_t DecodeFast(uint8_t* const limit, uint32_t blockRemaining) {
#if KQ_LZH5_BMI2
        if (bmi2_) return DecodeFastBmi2(limit, blockRemaining);
#endif
        return DecodeFastLoop(limit, blockRemaining);
    }

#if KQ_LZH5_BMI2
    // The same loop with BMI2's shifts, which take their count in any
    // register and leave the flags alone: a third of the loop's work is
    // shifts by a variable count.
    __attribute__((target("bmi2"))) uint32_t DecodeFastBmi2(uint8_t* const limit, uint32_t blockRemaining) {
        return DecodeFastLoop(limit, blockRemaining);
    }
#endif

    // Decodes symbols of the current block while the chunk holds a word of
    // input, the output is below `limit` and the block has symbols left;
    // returns the block's symbols left. A step starts only with room for
    // what it may decode, up to kStepLiterals symbols: output below the
    // limit for each literal, and as many symbols left in the block.
    [[gnu::always_inline]] uint32_t DecodeFastLoop(uint8_t* const limit, uint32_t blockRemaining) {
        constexpr int kStepLiterals = 3;
        // Bits after a refill: a match's symbol, its position code and
        // further bits; or three literals (the first up to 16 bits, the
        // others first-level entries); or a literal and such a match.
        constexpr int kRefilledBits = kBufferBits - 8;
        static_assert(kMaxCodeLength + kMaxCodeLength + kMaxPositionExtraBits <= kRefilledBits);
        static_assert(kMaxCodeLength + 2 * kSymbolTableBits <= kRefilledBits);
        static_assert(
            kMaxCodeLength + kSymbolTableBits + kMaxCodeLength + kMaxPositionExtraBits <= kRefilledBits,
            "a literal, then a match whose symbol the first lookup decodes");
        CodecPipeline& pipe = pipe_;
        const uint8_t* const inStart = pipe.BufferedInput();
        const uint8_t* in = inStart;
        if (pipe.BufferedInputSize() < 8 || pipe.EndOfInput()) return blockRemaining;
        assert(op_ < limit);
        // Every symbol writes a byte or more, so output short of the block's
        // symbols left bounds them too.
        const uint8_t* const end =
            blockRemaining < static_cast<size_t>(limit - op_) ? op_ + blockRemaining : limit;
        if (end - op_ < kStepLiterals) return blockRemaining;
        const uint8_t* const inLast =
            in + pipe.BufferedInputSize() - 8;              // the last place a word load may start
        const uint8_t* const opLast = end - kStepLiterals;  // the last place a step may start
        // Locals, so that no store through a byte pointer reloads them.
        uint64_t bits = reader_.bits();
        // Valid bits in the low 6 bits of `count`. A leaf entry is its bit
        // count plus a multiple of 64, so subtracting the whole entry
        // subtracts its bits there; what gathers above is never read.
        uint32_t count = static_cast<uint32_t>(reader_.count());
        uint8_t* op = op_;
        const SymbolTable& symbols = tables_->symbols;
        const PositionTable& positions = tables_->positions;
        // The next symbol's entry is looked up before the refill, which
        // leaves the top bits as they are: the load overlaps the rest.
        uint32_t e = symbols.First(bits);
        while (in <= inLast && op <= opLast) {
            assert(blockRemaining >= kStepLiterals);
            bits |= LoadBigEndian64(in) >> (count & 63);
            in += (63 - (count & 63)) >> 3;
            count |= kRefilledBits;
            if (e & kNotLeaf) [[unlikely]] {
                // A code left empty goes to the careful loop, which raises
                // the error after handing over what came before.
                if (e & kNoCode) break;
                e = symbols.Probe(bits);
            }
            uint64_t bitsAtSymbol = bits;
            // Shifts take their count modulo 64, so the flags above bit 5
            // need no mask; a leaf's bit 5 is clear.
            bits <<= e & 63;
            count -= e;
            if (e & kLiteral) {
                // Up to two more literals without a refill, or a match whose
                // symbol the first-level lookup decodes.
                *op++ = static_cast<uint8_t>(e >> kValueShift);
                --blockRemaining;
                e = symbols.First(bits);
                if (e & kLiteral) {
                    bits <<= e & 63;
                    count -= e;
                    *op++ = static_cast<uint8_t>(e >> kValueShift);
                    e = symbols.First(bits);
                    if (!(e & kLiteral)) {
                        --blockRemaining;
                        continue;
                    }
                    bits <<= e & 63;
                    count -= e;
                    *op++ = static_cast<uint8_t>(e >> kValueShift);
                    e = symbols.First(bits);
                    blockRemaining -= 2;
                    continue;
                }
                if (e & kNotLeaf) continue;
                bitsAtSymbol = bits;
                bits <<= e & 63;
                count -= e;
            }
            const uint32_t length = e >> kValueShift;
            uint32_t p = positions.First(bits);
            if (p & kNotLeaf) [[unlikely]] {
                if (p & kNoCode) {
                    bits = bitsAtSymbol;
                    count += e;
                    e = symbols.First(bits);
                    break;
                }
                p = positions.Probe(bits);
            }
            // The code and its further bits in one: 0..28 bits, shifted in
            // two steps so that none is no shift by 64.
            const int n = EntryBits(p);
            const auto top = static_cast<uint32_t>((bits >> 1) >> (63 - n));
            bits <<= n;
            count -= p;
            e = symbols.First(bits);
            const uint32_t distance = static_cast<uint16_t>(top + (p >> kValueShift)) + uint32_t{1};
            assert(distance <= kWindowSize && op - distance >= tables_->output.data());
            CopyMatchWide(op, distance, length);
            op += length;
            --blockRemaining;
        }
        pipe.SkipBufferedInput(static_cast<size_t>(in - inStart));
        // At least 12 valid bits; those below them may hold the stream's
        // next bits, which the word taken again from the chunk brings back.
        const int valid = static_cast<int>(count & 63);
        assert(valid >= 12);
        reader_.Store(bits & ~BitBuffer{0} << (kBufferBits - valid), valid);
        reader_.Refill();
        op_ = op;
        return blockRemaining;
    }

    // One symbol through the careful reader.
    void DecodeOneSymbol() {
        const uint32_t e = TakeEntry(reader_, tables_->symbols);
        if (e & kLiteral) {
            *op_++ = static_cast<uint8_t>(e >> kValueShift);
            return;
        }
        const uint32_t p = PeekEntry(reader_, tables_->positions);
        const int extra = static_cast<int>((p >> kExtraShift) & 0xF);
        const uint32_t code = TakeBits(reader_, EntryBits(p) - extra);
        const uint32_t low = TakeBits(reader_, extra);
        const uint32_t distance =
            static_cast<uint16_t>((code << extra | low) + (p >> kValueShift)) + uint32_t{1};
        assert(distance <= kWindowSize);
        const uint32_t length = e >> kValueShift;
        CopyMatchWide(op_, distance, length);
        op_ += length;
    }

    // Hands the output of the current span to the pipeline.
    void HandOver() {
        pipe_.WriteBytes(start_, static_cast<size_t>(op_ - start_));
        start_ = op_;
    }

    // Reads the three codes of the next block; returns its symbol count
    // (a stored 0 stands for 65536).
    uint32_t ReadBlockHeader() {
        const uint32_t count = TakeBits(reader_, kBlockCountBits);
        ReadAuxLengths(tables_->lengthCode, kLengthCodeCountBits, kLengthCodeSpecialIndex);
        ReadSymbolLengths();
        ReadAuxLengths(tables_->positions, kPositionCountBits, -1);
        return count == 0 ? uint32_t{1} << kBlockCountBits : count;
    }

    // Lengths of the code-length code or of the position code. After
    // `specialIndex` lengths a 2-bit count of zero lengths follows.
    template <typename Table>
    void ReadAuxLengths(Table& table, int countBits, int specialIndex) {
        constexpr int kSymbols = Table::kSymbols;
        uint8_t* const lengths = tables_->auxLengths.data();
        const int stored = static_cast<int>(TakeBits(reader_, countBits));
        if (stored == 0) {
            table.FillSingle(TakeBits(reader_, countBits));
            return;
        }
        constexpr int kLongest = 20;  // 111 and 13 ones: all of the 16-bit lookahead
        int i = 0;
        while (i < stored) {
            // 0..6 in three bits; 7 and up in unary after them.
            int length = static_cast<int>(reader_.Peek(kPlainLengthBits));
            if (length == 7) length += CountOnes(reader_, kPlainLengthBits, kLongest - 7);
            if (length < 7) {
                ConsumeBits(reader_, kPlainLengthBits);
            } else {
                // The 3 bits, the ones and the closing bit.
                const int n = std::min(length - 3, 16);
                ConsumeBits(reader_, n);
                if (length - 3 > n) ConsumeBits(reader_, length - 3 - n);
            }
            lengths[i++] = static_cast<uint8_t>(length);
            if (i == specialIndex) {
                const int zeros = static_cast<int>(TakeBits(reader_, kSpecialZerosBits));
                std::fill(lengths + i, lengths + i + zeros, uint8_t{0});
                i += zeros;
            }
        }
        if (i < kSymbols) std::fill(lengths + i, lengths + kSymbols, uint8_t{0});
        MakeDecodeTable(lengths, table);
    }

    void ReadSymbolLengths() {
        uint8_t* const lengths = tables_->symbolLengths.data();
        constexpr int kCapacity = kSymbolCount + 1;
        const int stored = static_cast<int>(TakeBits(reader_, kSymbolCountBits));
        if (stored == 0) {
            tables_->symbols.FillSingle(TakeBits(reader_, kSymbolCountBits));
            return;
        }
        int i = 0;
        while (i < stored) {
            const auto c = static_cast<int>(TakeEntry(reader_, tables_->lengthCode) >> kValueShift);
            if (c <= 2) {
                const int zeros =
                    c == 0   ? 1
                    : c == 1 ? static_cast<int>(TakeBits(reader_, kShortZeroRunBits)) + kShortZeroRunBase
                             : static_cast<int>(TakeBits(reader_, kLongZeroRunBits)) + kLongZeroRunBase;
                if (zeros > kCapacity - i) BadTable();
                std::fill(lengths + i, lengths + i + zeros, uint8_t{0});
                i += zeros;
            } else {
                lengths[i++] = static_cast<uint8_t>(c - 2);  // i < stored <= 511
            }
        }
        if (i < kSymbolCount) std::fill(lengths + i, lengths + kSymbolCount, uint8_t{0});
        MakeDecodeTable(lengths, tables_->symbols);
    }

    CodecPipeline& pipe_;
    std::unique_ptr<Lzh5Tables> tables_;
    Reader reader_;
    uint8_t* start_ = nullptr;  // first output byte not yet handed over
    uint8_t* op_ = nullptr;     // next output byte
#if KQ_LZH5_BMI2
    const bool bmi2_ = UseBmi2();
#endif
};

}  // namespace

void DecodeLzh5(CodecPipeline& pipe, int32_t expectedSize) {
    if (expectedSize == 0) return;
    Lzh5Decoder decoder(pipe);
    decoder.Run(expectedSize);
}

}  // namespace kq
