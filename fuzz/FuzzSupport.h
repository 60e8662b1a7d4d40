// Shared pieces of the fuzz harnesses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/Stream.h"

namespace kq::fuzz {

// A coded entry stops where its stored data ends, but a few bytes can still
// claim a lot: an LZH5 block whose codes have one symbol each decodes 65536
// matches of 256 bytes from no bits at all. The harnesses bound the work:
// decoders are asked for at most kExpectedCap bytes, and every destination
// refuses to grow past kOutputCap.
inline constexpr int32_t kExpectedCap = 1 << 16;
inline constexpr int64_t kOutputCap = 1 << 20;

// Reached the output cap: ends the run like any other component failure.
class OutputCapReached : public Exception {
public:
    using Exception::Exception;
};

class CappedSink final : public TStream {
public:
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void*, int32_t count) override {
        written_ += count;
        if (written_ > kOutputCap) throw OutputCapReached("output cap");
        return count;
    }
    using TStream::Seek;
    int64_t Seek(int64_t, SeekOrigin) override { return written_; }

private:
    int64_t written_ = 0;
};

inline int32_t LoadSigned32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// Runs one decoder through the real pipeline: the first 4 bytes give the
// expected size (values above the cap are folded into it), the rest is
// the stored data.
template <typename Decode>
void FuzzDecoder(const uint8_t* data, size_t size, Decode decode) {
    if (size < 4) return;
    int32_t expected = LoadSigned32(data);
    if (expected > kExpectedCap) expected %= kExpectedCap + 1;
    TSpanStream source(data + 4, size - 4);
    CappedSink sink;
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &sink;
    setup.storedSize = static_cast<int32_t>(size - 4);
    CodecPipeline pipe(std::move(setup));
    try {
        decode(pipe, expected);
        pipe.Flush();
    } catch (const Exception&) {
        // Bad tables and the output cap are expected outcomes.
    }
}

}  // namespace kq::fuzz
