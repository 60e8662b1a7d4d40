// LZH1 encoder: LZSS with hash chains and one-step lazy matching over the
// decoder's 4096-byte ring, coded with the decoder's own adaptive tree.
//
// The window is kept linear: 4036 spaces (the ring's initial fill) followed
// by the input, so input byte i sits at window position 4036 + i and a match
// at distance D (1..4096) is sent as offset D - 1. Matches never reach in
// front of the spaces, so the stream decodes the same with coders that leave
// the ring's last 60 bytes unset.
#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

#include "InstCompress/Lzh1Model.h"
#include "InstCompressPack/BitWriter.h"
#include "InstCompressPack/Encoders.h"
#include "InstCompressPack/MatchFinderCommon.h"

namespace kq::pack {

namespace {

using namespace lzh1;

constexpr int kHashBits = 15;
constexpr uint32_t kMaxChain = 192;  // candidates tried per position
constexpr uint32_t kShortMatch = 5;  // longer matches always beat literals

// Prefix code of each upper-6-bit offset value with its 6 low bits appended
// later; derived from the decoder's tables so both agree by construction.
struct OffsetCode {
    uint8_t prefix;
    uint8_t length;
};

consteval std::array<OffsetCode, 64> MakeOffsetCodes() {
    std::array<OffsetCode, 64> codes{};
    for (int b = 255; b >= 0; --b) {  // the first index of a value wins
        const uint8_t length = OffsetCodeLength[static_cast<size_t>(b)];
        codes[OffsetHigh[static_cast<size_t>(b)]] =
            OffsetCode{static_cast<uint8_t>(b >> (8 - length)), length};
    }
    return codes;
}

constexpr std::array<OffsetCode, 64> kOffsetCodes = MakeOffsetCodes();

class SymbolCoder {
public:
    explicit SymbolCoder(BitWriter& out) : out_(out) { tree_.ResetTree(); }

    void EncodeSymbol(uint32_t symbol) {
        // Walk up from the leaf; a slot's parity is the bit that leads to it.
        // Every slot on the way is distinct, so kSlots entries suffice.
        uint16_t path[kSlots];
        uint32_t depth = 0;
        for (uint32_t s = tree_.Parent[symbol + kSlots]; s != kRoot; s = tree_.Parent[s]) {
            path[depth++] = static_cast<uint16_t>(s);
        }
        std::reverse(path, path + depth);
        uint32_t code = 0;
        uint32_t length = 0;
        for (uint32_t i = 0; i < depth; ++i) {
            code = (code << 1) | (path[i] & 1u);
            if (++length == 32) {
                out_.Put(32, code);
                code = length = 0;
            }
        }
        out_.Put(length, code);
        tree_.UpdateTreeAlongPath(symbol, path, depth);
    }

    // Whether a match of `length` at `offset` codes shorter than its bytes
    // as literals under the present code; only short matches can lose.
    bool MatchPays(const uint8_t* bytes, uint32_t length, uint32_t offset) const {
        if (length > kShortMatch) return true;
        uint32_t literalBits = 0;
        for (uint32_t k = 0; k < length; ++k) literalBits += CodeLength(bytes[k]);
        return CodeLength(SymbolOfLength(length)) + kOffsetCodes[offset >> 6].length + 6u <= literalBits;
    }

    void EncodeOffset(uint32_t offset) {
        const OffsetCode& c = kOffsetCodes[offset >> 6];
        out_.Put(c.length + 6u, (uint32_t{c.prefix} << 6) | (offset & 0x3F));
    }

private:
    uint32_t CodeLength(uint32_t symbol) const {
        uint32_t length = 0;
        for (uint32_t s = tree_.Parent[symbol + kSlots]; s != kRoot; s = tree_.Parent[s]) ++length;
        return length;
    }

    BitWriter& out_;
    AdaptiveTree tree_;
};

// Positions are absolute window positions; the bytes live in the encoder's
// sliding buffer, which keeps at least the ring's reach behind the coding
// position.
class MatchFinder {
public:
    MatchFinder() : head_(size_t{1} << kHashBits, kNone), prev_(History::kSlots, kNone) {}

    // The window seen from absolute position `base`, holding bytes up to `end`.
    void SetWindow(const uint8_t* atBase, int64_t base, int64_t end) {
        atBase_ = atBase;
        base_ = base;
        end_ = end;
    }

    void Insert(int64_t pos) {
        if (pos + int64_t{kMinMatch} > end_) return;
        const uint32_t h = Hash(pos);
        prev_[History::Slot(pos)] = head_[h];
        head_[h] = pos;
    }

    // Longest match for `pos` (within `limit` bytes), then inserts `pos`.
    Match FindAndInsert(int64_t pos, uint32_t limit) {
        Match best;
        if (limit >= kMinMatch) {
            const uint8_t* const here = At(pos);
            const int64_t oldest = std::max<int64_t>(0, pos - int64_t{kRingSize});
            assert(oldest >= base_);
            int64_t cand = head_[Hash(pos)];
            uint32_t tries = kMaxChain;
            uint32_t bestLength = kMinMatch - 1;
            while (cand >= oldest && tries-- > 0) {
                const uint8_t* const there = At(cand);
                if (there[bestLength] == here[bestLength] && there[0] == here[0]) {
                    const uint32_t n = ExtendMatch(there, here, 1, limit);
                    if (n > bestLength) {
                        bestLength = n;
                        best = Match{n, static_cast<uint32_t>(pos - cand)};
                        if (n == limit) break;
                    }
                }
                cand = prev_[History::Slot(cand)];
            }
        }
        Insert(pos);
        return best;
    }

    const uint8_t* At(int64_t pos) const {
        assert(pos >= base_ && pos < end_);
        return atBase_ + (pos - base_);
    }

private:
    using History = WindowHistory<kRingSize>;
    static constexpr int64_t kNone = kNoPosition<int64_t>;

    // The first byte in the high bits: another order fills the chains with
    // other positions, and so changes the code.
    uint32_t Hash(int64_t pos) const {
        const uint8_t* p = At(pos);
        return MultiplyHash(uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2], kHashBits);
    }

    const uint8_t* atBase_ = nullptr;
    int64_t base_ = 0;
    int64_t end_ = 0;
    std::vector<int64_t> head_;
    std::vector<int64_t> prev_;
};

// Codes as the bytes arrive. A step at position p looks at most
// kMaxMatch + 2 bytes ahead (a match, the lazy look one byte on, and the
// hash of the bytes a match covers), so while more than that is buffered
// every step is the one the whole input would give; Finish codes the rest
// with the true end.
class Lzh1Encoder final : public EntryEncoder {
public:
    explicit Lzh1Encoder(CodedSink sink) : sink_(std::move(sink)), out_(coded_), coder_(out_) {
        window_.assign(kFirstWrite, ' ');
    }

    void Put(std::span<const uint8_t> plain) override {
        while (!plain.empty()) {
            const size_t n = std::min(plain.size(), kSlice);
            window_.insert(window_.end(), plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(n));
            plain = plain.subspan(n);
            const int64_t end = WindowEnd();
            if (end - kFirstWrite < kLookAhead) continue;
            Start(end);
            finder_.SetWindow(window_.data(), base_, end);
            while (end - pos_ >= kLookAhead) Step(end);
            Compact();
            Emit();
        }
    }

    void Finish() override {
        const int64_t end = WindowEnd();
        if (end == kFirstWrite) return;  // an empty entry has no code at all
        Start(end);
        finder_.SetWindow(window_.data(), base_, end);
        while (pos_ < end) Step(end);
        out_.Finish();
        Emit();
    }

private:
    static constexpr size_t kSlice = 64 * 1024;
    static constexpr int64_t kLookAhead = int64_t{kMaxMatch} + 8;

    int64_t WindowEnd() const { return base_ + static_cast<int64_t>(window_.size()); }

    static uint32_t LimitAt(int64_t p, int64_t end) {
        return static_cast<uint32_t>(std::min<int64_t>(kMaxMatch, end - p));
    }

    // The spaces' hashes need the first input bytes, so they go in when
    // coding starts.
    void Start(int64_t end) {
        if (started_) return;
        started_ = true;
        finder_.SetWindow(window_.data(), base_, end);
        for (int64_t p = 0; p < static_cast<int64_t>(kFirstWrite); ++p) finder_.Insert(p);
    }

    void Step(int64_t end) {
        if (!haveCurrent_) {
            current_ = finder_.FindAndInsert(pos_, LimitAt(pos_, end));
            haveCurrent_ = true;
        }
        if (current_.length >= kMinMatch) {
            Match next;
            const bool lookedAhead = current_.length < kMaxMatch && pos_ + 1 < end;
            if (lookedAhead) next = finder_.FindAndInsert(pos_ + 1, LimitAt(pos_ + 1, end));
            // A literal first pays when one byte on a longer match starts, or
            // when the current code makes this short match dearer than its bytes.
            if (next.length > current_.length ||
                !coder_.MatchPays(finder_.At(pos_), current_.length, current_.distance - 1)) {
                coder_.EncodeSymbol(*finder_.At(pos_));
                ++pos_;
                current_ = next;
                haveCurrent_ = lookedAhead;
                return;
            }
            coder_.EncodeSymbol(SymbolOfLength(current_.length));
            coder_.EncodeOffset(current_.distance - 1);
            for (int64_t p = pos_ + (lookedAhead ? 2 : 1); p < pos_ + static_cast<int64_t>(current_.length);
                 ++p) {
                finder_.Insert(p);
            }
        } else {
            coder_.EncodeSymbol(*finder_.At(pos_));
            current_.length = 1;
        }
        pos_ += static_cast<int64_t>(current_.length);
        haveCurrent_ = false;
    }

    // Drops what lies beyond the ring's reach behind the coding position.
    void Compact() {
        const int64_t keepFrom = pos_ - int64_t{kRingSize};
        if (keepFrom - base_ < static_cast<int64_t>(kSlice)) return;
        window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(keepFrom - base_));
        base_ = keepFrom;
    }

    void Emit() {
        if (coded_.empty()) return;
        sink_(coded_);
        coded_.clear();
    }

    CodedSink sink_;
    std::vector<uint8_t> coded_;
    BitWriter out_;
    SymbolCoder coder_;
    MatchFinder finder_;
    std::vector<uint8_t> window_;  // absolute positions base_ onwards
    int64_t base_ = 0;
    int64_t pos_ = kFirstWrite;
    Match current_;
    bool haveCurrent_ = false;
    bool started_ = false;
};

}  // namespace

std::unique_ptr<EntryEncoder> MakeLzh1Encoder(CodedSink sink) {
    return std::make_unique<Lzh1Encoder>(std::move(sink));
}

}  // namespace kq::pack
