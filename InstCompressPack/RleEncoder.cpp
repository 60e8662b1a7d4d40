// The decoder's rule "the previous byte becomes the token's first byte"
// decides which tokens may follow each other: a run token (0x94 N) repeats
// the first byte of the token before it, and itself leaves 0x94 as the
// previous byte. So a run of X (X != 0x94) is a literal X followed by one run
// token, repeated per 255 bytes; a run of 0x94 is one escaped marker followed
// by run tokens that can chain, since each leaves 0x94 behind.
//
// The encoder holds back only the run it is in, so it codes an entry of any
// size in the memory of one output piece.
#include <algorithm>
#include <utility>

#include "InstCompressPack/Encoders.h"

namespace kq::pack {

namespace {

constexpr uint8_t kMarker = 0x94;
constexpr size_t kMaxRunCopies = 254;  // 0x94 0xFF repeats 254 times
constexpr size_t kPieceSize = 64 * 1024;

class RleEncoder final : public EntryEncoder {
public:
    explicit RleEncoder(CodedSink sink) : sink_(std::move(sink)) { out_.reserve(kPieceSize + 8); }

    void Put(std::span<const uint8_t> plain) override {
        for (const uint8_t x : plain) {
            if (run_ > 0 && x == runByte_) {
                ++run_;
                continue;
            }
            EmitRun();
            runByte_ = x;
            run_ = 1;
        }
    }

    void Finish() override {
        EmitRun();
        Flush();
    }

private:
    void EmitRun() {
        const uint8_t x = runByte_;
        while (run_ > 0) {
            if (previous_ == x && run_ >= 3) {
                // Two bytes for up to 254 copies.
                const size_t copies = std::min(run_, kMaxRunCopies);
                Emit(kMarker);
                Emit(static_cast<uint8_t>(copies + 1));
                run_ -= copies;
                previous_ = kMarker;
            } else if (x == kMarker) {
                Emit(kMarker);
                Emit(0);
                --run_;
                previous_ = kMarker;
            } else {
                Emit(x);
                --run_;
                previous_ = x;
            }
        }
    }

    void Emit(uint8_t byte) {
        out_.push_back(byte);
        if (out_.size() >= kPieceSize) Flush();
    }

    void Flush() {
        if (out_.empty()) return;
        sink_(out_);
        out_.clear();
    }

    CodedSink sink_;
    std::vector<uint8_t> out_;
    uint8_t previous_ = 0;  // the decoder's previous byte
    uint8_t runByte_ = 0;
    size_t run_ = 0;  // copies of runByte_ not yet coded
};

}  // namespace

std::unique_ptr<EntryEncoder> MakeRleEncoder(CodedSink sink) {
    return std::make_unique<RleEncoder>(std::move(sink));
}

}  // namespace kq::pack
