// The byte pipeline between one entry's stored bytes and its destination.
//
// Decoders see only ReadByte, EndOfInput and WriteByte. Both byte operations
// are a compare and a pointer step in the common case; chunk fetches, key
// descrambling, progress, flushing and the output budget live on the slow
// paths, which run once per 8192 bytes.
//
// An entry whose data cannot be whole fails the way a checksum mismatch
// does (FailEntry): when the progress handler aborts, when a coded decoder
// would take a bit past the stored data, and when an RLE entry's output
// length differs from its expanded size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "InstCompress/InstCompress.h"

namespace kq {

class CodecPipeline {
public:
    static constexpr int32_t kBufferSize = 8192;

    struct Setup {
        TStream* source = nullptr;  // positioned at the entry's first stored byte
        TStream* destination = nullptr;
        int32_t storedSize = 0;       // stored bytes available to ReadByte
        int32_t budget = 2147483647;  // bytes WriteByte accepts
        int32_t key = 0;
        bool unscrambleInput = false;  // ReadByte XORs with the key bytes
        bool scrambleOutput = false;   // WriteByte XORs with the key bytes
        TShowProgressEvent progress;   // empty: no progress, no abort
    };

    explicit CodecPipeline(Setup setup);
    CodecPipeline(const CodecPipeline&) = delete;
    CodecPipeline& operator=(const CodecPipeline&) = delete;

    // Next stored byte, or 0 with EndOfInput set when none is available.
    // A progress handler that answers -1 fails the entry at once (FailEntry):
    // the chunk just fetched is not delivered.
    uint8_t ReadByte() {
        if (inCursor_ != inEnd_) [[likely]]
            return *inCursor_++;
        return FetchChunk();
    }
    bool EndOfInput() const noexcept { return endOfInput_; }

    // Input of the current chunk that ReadByte has not delivered yet. Taking
    // bytes from here fetches nothing from the source, so a decoder may read
    // ahead within the chunk without changing what is fetched when.
    const uint8_t* BufferedInput() const noexcept { return inCursor_; }
    size_t BufferedInputSize() const noexcept { return static_cast<size_t>(inEnd_ - inCursor_); }
    void SkipBufferedInput(size_t count) noexcept { inCursor_ += count; }

    // Appends the low 8 bits of `value` to the output.
    void WriteByte(uint32_t value) {
        if (outCursor_ != outLimit_) [[likely]] {
            *outCursor_++ = static_cast<uint8_t>(value);
            return;
        }
        WriteByteSlow(static_cast<uint8_t>(value));
    }

    // Appends `count` bytes, exactly as that many WriteByte calls would:
    // whole stretches up to the limit are copied, the slow path takes the
    // rest. A whole buffer's worth followed by more bytes goes to the
    // destination straight from `data`, as the buffer would have.
    void WriteBytes(const uint8_t* data, size_t count) {
        while (count > 0) {
            const size_t room = static_cast<size_t>(outLimit_ - outCursor_);
            if (room == kBufferSize && count > room && budgetAtBufferStart_ > kBufferSize) {
                WriteFullBuffer(data);
                UpdateOutputLimit();
                data += kBufferSize;
                count -= kBufferSize;
                continue;
            }
            if (room == 0) {
                WriteByteSlow(*data++);
                --count;
                continue;
            }
            const size_t n = count < room ? count : room;
            std::memcpy(outCursor_, data, n);
            outCursor_ += n;
            data += n;
            count -= n;
        }
    }

    // Writes what the output buffer holds (no write when empty).
    void Flush();

    // Bytes WriteByte has taken so far.
    int64_t OutputSize() const noexcept {
        return flushedSize_ + static_cast<int64_t>(outCursor_ - outBuffer_.get());
    }

    // Ends the entry as a checksum mismatch does: raises EBadChecksum, which
    // the component reports as EInvalidKey for a locked entry. The pipeline's
    // buffered output is not written.
    [[noreturn]] static void FailEntry();

    uint8_t XorWithKey(uint8_t value) noexcept {
        const uint8_t k = keyBytes_[keyIndex_];
        keyIndex_ = static_cast<uint16_t>((keyIndex_ + 1) & 3);
        return static_cast<uint8_t>(value ^ k);
    }

    // Sum of the stored bytes fetched (before descrambling).
    uint32_t InputSum() const noexcept { return inputSum_; }
    // Sum of the bytes placed in the output buffer: the entry checksum.
    uint32_t OutputSum() const noexcept;

private:
    uint8_t FetchChunk();
    void WriteByteSlow(uint8_t value);
    // Writes kBufferSize bytes from `data` (the output buffer when null)
    // and empties the buffer.
    void WriteFullBuffer(const uint8_t* data = nullptr);
    void UpdateOutputLimit() noexcept;

    TStream& source_;
    TStream& destination_;
    TShowProgressEvent progress_;

    std::unique_ptr<uint8_t[]> inBuffer_;
    const uint8_t* inCursor_ = nullptr;
    const uint8_t* inEnd_ = nullptr;
    int32_t remaining_;
    int32_t chunkSize_ = kBufferSize;
    int32_t fetched_ = 0;
    bool endOfInput_ = false;

    std::unique_ptr<uint8_t[]> outBuffer_;
    uint8_t* outCursor_ = nullptr;
    uint8_t* outLimit_ = nullptr;  // where WriteByte must take the slow path
    int32_t budgetAtBufferStart_;  // budget left when the buffer was last emptied
    int64_t flushedSize_ = 0;      // bytes already written to the destination

    uint32_t inputSum_ = 0;
    uint32_t flushedSum_ = 0;  // output sum of the bytes already written

    bool unscrambleInput_;
    bool scrambleOutput_;
    uint8_t keyBytes_[4];
    uint16_t keyIndex_ = 0;
};

// Integer percentage of done (0 to total) in total for the progress
// handler; keeps done * 100 within 32 bits for large totals.
int32_t ProgressPercent(int32_t done, int32_t total);

// Sets up the pipeline for one entry, runs the decoder of `method`, flushes
// the output and hands back the checksum. An RLE entry whose output length
// differs from `expandedSize` fails (FailEntry). Compress mode refuses every
// built-in method.
void RunCodec(TKQInstCompress& component, TStream& destination, TStream& source, int32_t storedSize,
              int32_t expandedSize, uint8_t method, uint32_t& checksum, bool expand, bool locked);

// The checksum's sum of the bytes, wrapping modulo 2^32.
uint32_t SumBytes(const uint8_t* begin, const uint8_t* end);

// Yields the processor between buffers.
void YieldTimeSlice();

}  // namespace kq
