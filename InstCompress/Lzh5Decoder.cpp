// LZH5 decoder: LZSS over an 8 KiB window whose literals, match lengths and
// match positions are coded with static canonical Huffman codes, sent anew
// at the start of every block (the -lh5- stream of LHA).
//
// The bit reader fetches an input byte only when the 16-bit lookahead needs
// its bits, so the entry walk resumes exactly where it would with a plain
// 16-bit reader; it merely keeps those bits in a wider register. Lookup
// tables hold the symbol and its code length together, so a short code costs
// one load. Codes that no encoder writes (overfull, underfull, lengths over
// 16, runs past the length list, single symbols out of range) are refused
// with ELZHBadDecodeTable instead of indexing past a table; a code left
// empty by its header raises the same error when it is first used, since a
// block without matches never touches its position code. Taking a bit past
// the stored data fails the entry (CodecPipeline::FailEntry); the lookahead
// may hold such bits, as long as they are not consumed.
#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/Lzh5Model.h"

namespace kq {

namespace {

using namespace lzh5;

// A table entry or tree child: a leaf is symbol | length << 9; a tree node
// has kNodeFlag set and its index below. kUnusable marks a slot the block
// header never filled.
constexpr uint16_t kNodeFlag = 0x8000;
constexpr uint16_t kUnusable = 0xFFFF;
constexpr int kLengthShift = 9;
constexpr uint16_t kSymbolMask = 0x1FF;

// The bit buffer is one native word: 64 bits, or 32 on 32-bit targets.
using BitBuffer = std::conditional_t<(sizeof(void*) >= 8), uint64_t, uint32_t>;
constexpr int kBufferBits = 8 * sizeof(BitBuffer);

[[noreturn]] void BadTable() { throw ELZHBadDecodeTable(msg::kBadDecodeTable); }

constexpr uint16_t Leaf(int symbol, int length) {
    return static_cast<uint16_t>(symbol | length << kLengthShift);
}

// Lookup table of 2^Bits entries plus the tree nodes of the longer codes. A
// complete code of N symbols needs at most N - 1 nodes.
template <int Bits, int SymbolCount>
struct DecodeTable {
    static constexpr int kBits = Bits;
    static constexpr int kSymbols = SymbolCount;
    std::array<uint16_t, size_t{1} << Bits> lookup;
    std::array<std::array<uint16_t, 2>, SymbolCount - 1> children;
};

using SymbolTable = DecodeTable<kSymbolTableBits, kSymbolCount>;
using PositionTable = DecodeTable<kAuxTableBits, kPositionCount>;
using LengthCodeTable = DecodeTable<kAuxTableBits, kLengthCodeCount>;

struct Lzh5Tables {
    std::array<uint8_t, kWindowSize> window;
    // Index 510 only takes a surplus length from a stored count of 511.
    std::array<uint8_t, kSymbolCount + 1> symbolLengths;
    // A 5-bit count stores at most 31 lengths.
    std::array<uint8_t, 32> auxLengths;
    SymbolTable symbols;
    PositionTable positions;
    LengthCodeTable lengthCode;
};

// Canonical code from its lengths: shorter codes take the smaller values,
// equal lengths follow the symbol order.
template <typename Table>
void MakeDecodeTable(const uint8_t* lengths, Table& table) {
    constexpr int kBits = Table::kBits;
    constexpr int kShift = kMaxCodeLength - kBits;
    for (int s = 0; s < Table::kSymbols; ++s) {
        if (lengths[s] > kMaxCodeLength) BadTable();
    }
    // The code space is summed in 32 bits, so an overfull list cannot pass
    // by wrapping to 0.
    CodeStarts start = CanonicalStarts({lengths, static_cast<size_t>(Table::kSymbols)});
    const uint32_t total = start[kMaxCodeLength + 1];
    if (total == 0) {
        table.lookup.fill(kUnusable);
        return;
    }
    if (total != uint32_t{1} << kMaxCodeLength) BadTable();

    // Entries past the short codes are roots of the long codes' trees.
    std::fill(table.lookup.begin() + (start[kBits + 1] >> kShift), table.lookup.end(), kUnusable);
    size_t nextNode = 0;
    for (int s = 0; s < Table::kSymbols; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        const uint32_t code = start[len];
        start[len] = code + (uint32_t{1} << (kMaxCodeLength - len));
        const uint16_t leaf = Leaf(s, len);
        if (len <= kBits) {
            std::fill(table.lookup.begin() + (code >> kShift), table.lookup.begin() + (start[len] >> kShift),
                      leaf);
            continue;
        }
        uint16_t* slot = &table.lookup[code >> kShift];
        for (int bit = kMaxCodeLength - 1 - kBits; bit >= kMaxCodeLength - len; --bit) {
            if (*slot == kUnusable) {
                if (nextNode == table.children.size()) BadTable();
                table.children[nextNode] = {kUnusable, kUnusable};
                *slot = static_cast<uint16_t>(kNodeFlag | nextNode++);
            } else if (!(*slot & kNodeFlag)) {
                BadTable();  // not a prefix code; cannot happen for a complete canonical one
            }
            slot = &table.children[*slot & ~kNodeFlag][(code >> bit) & 1];
        }
        *slot = leaf;
    }
}

// Follows a code longer than the table width through its tree; `bits` holds
// the lookahead with the next bit in the top bit.
template <typename Table>
[[gnu::noinline]] uint16_t WalkTree(const Table& table, uint16_t entry, BitBuffer bits) {
    int bit = Table::kBits;
    while (entry & kNodeFlag) {
        if (entry == kUnusable || bit == kMaxCodeLength) BadTable();
        const size_t node = entry & ~kNodeFlag;
        if (node >= table.children.size()) BadTable();
        entry = table.children[node][static_cast<size_t>(bits >> (kBufferBits - 1 - bit)) & 1];
        ++bit;
    }
    return entry;
}

// The lookahead the decoder reads from: `bits` holds `count` valid bits, the
// next one in the top bit, and the bits below them are 0. At least 16 bits are
// always valid. Bytes of the chunk the pipeline holds are taken a word at a
// time; a byte beyond it is asked for only when fewer than 16 bits would
// remain, which is when a plain 16-bit reader asks for it too, so chunks
// are fetched (and progress reported) at the same points. Past the end of
// the input the lookahead is filled with zero bits, counted in `supplied`.
struct BitReader {
    CodecPipeline* pipe;
    BitBuffer bits = 0;
    int count = 16;  // an empty 16-bit lookahead of zeros, dropped by the first ConsumeBits(16)
    int supplied = 0;

    // The top n bits, n 1..16.
    uint32_t Peek(int n) const { return static_cast<uint32_t>(bits >> (kBufferBits - n)); }

    // Drops n bits, n 0..16.
    void ConsumeBits(int n) {
        bits <<= n;
        count -= n;  // still >= 0
        if (count < 16) [[likely]] Refill();
    }

    void Refill() {
        if (pipe->BufferedInputSize() >= sizeof(BitBuffer) && !pipe->EndOfInput()) [[likely]] {
            const uint8_t* const p = pipe->BufferedInput();
            BitBuffer ahead = 0;
            for (size_t i = 0; i < sizeof(BitBuffer); ++i) ahead = static_cast<BitBuffer>(ahead << 8 | p[i]);
            const int take = (kBufferBits - count) >> 3;  // whole bytes that fit, at least 2
            ahead &= static_cast<BitBuffer>(~BitBuffer{0} << (kBufferBits - 8 * take));
            bits |= ahead >> count;
            count += 8 * take;
            pipe->SkipBufferedInput(static_cast<size_t>(take));
            return;
        }
        // The supplied bits follow every real one, so a consumed bit was
        // supplied exactly when fewer bits are left than were supplied. The
        // lookahead holds at most 23 bits here, so no more than 16 supplied
        // bits are ever pending, and a consume that reaches them leaves fewer
        // than 16 bits: every such consume comes through this check.
        if (count < supplied) [[unlikely]] CodecPipeline::FailEntry();
        Fetch();
        if (count < 16) Fetch();
        assert(count < 24 && supplied <= 16);
    }

    // A unary length of 20 drops 17 bits; the bits fetched are the same.
    void ConsumeLongBits(int n) {
        while (n > 16) {
            ConsumeBits(8);
            n -= 8;
        }
        ConsumeBits(n);
    }

    void Fetch() {
        // Once the input has ended every further bit is 0.
        const BitBuffer byte = pipe->EndOfInput() ? 0 : pipe->ReadByte();
        if (pipe->EndOfInput()) supplied += 8;
        bits |= static_cast<BitBuffer>(byte << (kBufferBits - 8 - count));
        count += 8;
    }

    uint32_t TakeBits(int n) {
        if (n == 0) return 0;
        const uint32_t value = Peek(n);
        ConsumeBits(n);
        return value;
    }

    template <typename Table>
    int Decode(const Table& table) {
        uint16_t entry = table.lookup[static_cast<size_t>(bits >> (kBufferBits - Table::kBits))];
        if (entry & kNodeFlag) entry = WalkTree(table, entry, bits);
        ConsumeBits(entry >> kLengthShift);
        return entry & kSymbolMask;
    }
};

// Copies a match within the window as if byte by byte in increasing order,
// so a source that overlaps the bytes being written repeats the pattern.
inline void CopyMatch(uint8_t* window, uint32_t to, uint32_t from, uint32_t length) {
    const bool wraps = to + length > kWindowSize || from + length > kWindowSize;
    if (!wraps && (from > to || from + length <= to)) {
        // Source ahead of or entirely before the target: no byte is read
        // after it has been overwritten.
        std::memmove(window + to, window + from, length);
        return;
    }
    for (uint32_t k = 0; k < length; ++k) {
        window[to] = window[from];
        to = (to + 1) & kWindowMask;
        from = (from + 1) & kWindowMask;
    }
}

class Lzh5Decoder {
public:
    explicit Lzh5Decoder(CodecPipeline& pipe) : pipe_(pipe), tables_(AllocLzh5Tables()) {
        reader_.pipe = &pipe;
    }

    void Run(int32_t expectedSize) {
        reader_.ConsumeBits(16);
        tables_->window.fill(kWindowFill);
        // 64 bits: a final match may carry the count past the largest size.
        int64_t produced = 0;
        uint32_t pos = 0;
        uint8_t* const window = tables_->window.data();
        const SymbolTable& symbols = tables_->symbols;
        const PositionTable& positions = tables_->positions;
        CodecPipeline& pipe = pipe_;
        // The hot loop works on a copy of the reader that no store through
        // a byte pointer can alias.
        BitReader in = reader_;
        uint16_t blockRemaining = 0;

        // The next symbol of the symbol code; a block header comes first
        // when the block is used up.
        const auto DecodeBlockSymbol = [&]() -> int {
            if (blockRemaining == 0) {
                reader_ = in;
                blockRemaining = ReadBlockHeader();
                in = reader_;
            }
            --blockRemaining;  // a stored count of 0 wraps to 65535: 65536 symbols
            return in.Decode(symbols);
        };
        // Position value p copies from p + 1 bytes back.
        const auto DecodeMatchPosition = [&]() -> uint32_t {
            const int positionClass = in.Decode(positions);
            if (positionClass <= 1) return static_cast<uint32_t>(positionClass);
            return PositionBase(positionClass) + in.TakeBits(PositionExtraBits(positionClass));
        };

        while (produced < expectedSize) {
            const int symbol = DecodeBlockSymbol();
            if (symbol < 256) {
                window[pos] = static_cast<uint8_t>(symbol);
                pos = (pos + 1) & kWindowMask;
                pipe.WriteByte(static_cast<uint32_t>(symbol));
                ++produced;
                continue;
            }
            const int length = LengthOfSymbol(symbol);
            const uint32_t position = DecodeMatchPosition();
            // The match is written whole even past the expected size.
            produced += length;
            const uint32_t start = pos;
            CopyMatch(window, pos, (pos - position - 1) & kWindowMask, static_cast<uint32_t>(length));
            pos = (pos + static_cast<uint32_t>(length)) & kWindowMask;
            // The copy lies in the window whole (length <= 256), wrapping at most once.
            const uint32_t first = std::min(static_cast<uint32_t>(length), kWindowSize - start);
            pipe.WriteBytes(window + start, first);
            if (first < static_cast<uint32_t>(length)) pipe.WriteBytes(window, length - first);
        }
        reader_ = in;
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

    // Reads the three codes of the next block; returns its symbol count
    // field.
    uint16_t ReadBlockHeader() {
        const auto count = static_cast<uint16_t>(reader_.TakeBits(kBlockCountBits));
        ReadAuxLengths(tables_->lengthCode, kLengthCodeCountBits, kLengthCodeSpecialIndex);
        ReadSymbolLengths();
        ReadAuxLengths(tables_->positions, kPositionCountBits, -1);
        return count;
    }

    // Lengths of the code-length code or of the position code. After
    // `specialIndex` lengths a 2-bit count of zero lengths follows.
    template <typename Table>
    void ReadAuxLengths(Table& table, int countBits, int specialIndex) {
        constexpr int kSymbols = Table::kSymbols;
        uint8_t* const lengths = tables_->auxLengths.data();
        const int stored = static_cast<int>(reader_.TakeBits(countBits));
        if (stored == 0) {
            const uint32_t only = reader_.TakeBits(countBits);
            std::fill(lengths, lengths + kSymbols, uint8_t{0});
            table.lookup.fill(only < kSymbols ? Leaf(static_cast<int>(only), 0) : kUnusable);
            return;
        }
        int i = 0;
        while (i < stored) {
            // 0..6 in three bits; 7 and up in unary after them, at most 20.
            int length = static_cast<int>(reader_.Peek(kPlainLengthBits));
            if (length == 7) {
                for (BitBuffer mask = BitBuffer{1} << (kBufferBits - 4); length < 20 && (reader_.bits & mask); mask >>= 1) {
                    ++length;
                }
            }
            reader_.ConsumeLongBits(length < 7 ? 3 : length - 3);
            lengths[i++] = static_cast<uint8_t>(length);
            if (i == specialIndex) {
                const int zeros = static_cast<int>(reader_.TakeBits(kSpecialZerosBits));
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
        const int stored = static_cast<int>(reader_.TakeBits(kSymbolCountBits));
        if (stored == 0) {
            const uint32_t only = reader_.TakeBits(kSymbolCountBits);
            std::fill(lengths, lengths + kSymbolCount, uint8_t{0});
            tables_->symbols.lookup.fill(only < kSymbolCount ? Leaf(static_cast<int>(only), 0) : kUnusable);
            return;
        }
        int i = 0;
        while (i < stored) {
            const int c = reader_.Decode(tables_->lengthCode);
            if (c <= 2) {
                const int zeros = c == 0   ? 1
                                  : c == 1 ? static_cast<int>(reader_.TakeBits(kShortZeroRunBits)) + kShortZeroRunBase
                                           : static_cast<int>(reader_.TakeBits(kLongZeroRunBits)) + kLongZeroRunBase;
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
    BitReader reader_{};
};

}  // namespace

void DecodeLzh5(CodecPipeline& pipe, int32_t expectedSize) {
    if (expectedSize == 0) return;
    Lzh5Decoder decoder(pipe);
    decoder.Run(expectedSize);
}

}  // namespace kq
