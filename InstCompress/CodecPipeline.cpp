#include "InstCompress/CodecPipeline.h"

#include <cassert>
#include <new>
#include <numeric>
#include <thread>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "InstCompress/Methods.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kq {

namespace {

std::unique_ptr<uint8_t[]> AllocateBuffer() {
    try {
        return std::make_unique_for_overwrite<uint8_t[]>(CodecPipeline::kBufferSize);
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory(msg::kOutOfMemory);
    }
}

}  // namespace

// 16 bytes a step where SSE2 is at hand.
uint32_t SumBytes(const uint8_t* begin, const uint8_t* end) {
    uint32_t sum = 0;
    const uint8_t* p = begin;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    // Two 64-bit lanes, each the sum of 8 bytes.
    auto sad = [&](const uint8_t* at) {
        return _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), zero);
    };
    // 64 bytes a step into two sums, so that the additions overlap.
    __m128i total = _mm_setzero_si128();
    __m128i other = _mm_setzero_si128();
    for (; end - p >= 64; p += 64) {
        total = _mm_add_epi64(total, _mm_add_epi64(sad(p), sad(p + 16)));
        other = _mm_add_epi64(other, _mm_add_epi64(sad(p + 32), sad(p + 48)));
    }
    for (; end - p >= 16; p += 16) total = _mm_add_epi64(total, sad(p));
    total = _mm_add_epi64(total, other);
    sum = static_cast<uint32_t>(_mm_cvtsi128_si32(total)) +
          static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(total, total)));
#endif
    for (; p != end; ++p) sum += *p;
    return sum;
}

void YieldTimeSlice() {
#ifdef _WIN32
    Sleep(0);
#else
    std::this_thread::yield();
#endif
}

int32_t ProgressPercent(int32_t done, int32_t total) {
    if (total <= 0) return 0;
    assert(done >= 0 && done <= total);
    // done <= 100000 here, so done * 100 fits in 32 bits: the 32-bit stub
    // needs no 64-bit division.
    if (total <= 100000)
        return static_cast<int32_t>(static_cast<uint32_t>(done) * 100u / static_cast<uint32_t>(total));
    return done / (total / 100);
}

CodecPipeline::CodecPipeline(Setup setup)
    : source_(*setup.source),
      destination_(*setup.destination),
      progress_(std::move(setup.progress)),
      inBuffer_(AllocateBuffer()),
      remaining_(setup.storedSize),
      outBuffer_(AllocateBuffer()),
      budgetAtBufferStart_(setup.budget),
      unscrambleInput_(setup.unscrambleInput),
      scrambleOutput_(setup.scrambleOutput) {
    inCursor_ = inEnd_ = inBuffer_.get();
    outCursor_ = outBuffer_.get();
    StoreLE32(keyBytes_, static_cast<uint32_t>(setup.key));
    UpdateOutputLimit();
}

// Input chunks are descrambled as a whole when they arrive. In expand mode
// the key index serves the input alone, so this yields the same bytes as
// descrambling each byte on delivery; the input sum likewise counts the
// chunk as fetched.
uint8_t CodecPipeline::FetchChunk() {
    endOfInput_ = true;
    if (remaining_ <= 0) return 0;
    if (chunkSize_ > remaining_) chunkSize_ = remaining_;
    uint8_t* const buffer = inBuffer_.get();
    const int32_t got = source_.Read(buffer, chunkSize_);
    if (got <= 0) return 0;
    remaining_ -= got;
    inCursor_ = buffer;
    inEnd_ = buffer + got;
    inputSum_ += SumBytes(buffer, buffer + got);
    if (unscrambleInput_) {
        for (int32_t i = 0; i < got; ++i) buffer[i] = XorWithKey(buffer[i]);
    }
    if (progress_) {
        fetched_ += got;
        int32_t percentageDone = ProgressPercent(fetched_, fetched_ + remaining_);
        progress_(percentageDone);
        if (percentageDone == -1) FailEntry();  // aborted: nothing more is fetched or decoded
    }
    YieldTimeSlice();
    endOfInput_ = false;
    return *inCursor_++;
}

void CodecPipeline::UpdateOutputLimit() noexcept {
    uint8_t* const start = outBuffer_.get();
    if (scrambleOutput_) {
        outLimit_ = outCursor_;  // every byte takes the slow path
        return;
    }
    const int32_t used = static_cast<int32_t>(outCursor_ - start);
    const int32_t room = budgetAtBufferStart_ - used;  // budget left for this buffer
    const int32_t free = kBufferSize - used;
    outLimit_ = outCursor_ + (room <= 0 ? 0 : (room < free ? room : free));
}

void CodecPipeline::WriteFullBuffer(const uint8_t* data) {
    uint8_t* const start = outBuffer_.get();
    if (data == nullptr) data = start;
    YieldTimeSlice();
    destination_.WriteBuffer(data, kBufferSize);
    flushedSum_ += SumBytes(data, data + kBufferSize);
    flushedSize_ += kBufferSize;
    budgetAtBufferStart_ -= kBufferSize;
    outCursor_ = start;
}

void CodecPipeline::WriteByteSlow(uint8_t value) {
    uint8_t* const start = outBuffer_.get();
    const int32_t used = static_cast<int32_t>(outCursor_ - start);
    if (budgetAtBufferStart_ - used <= 0) throw EUnableToCompress(msg::kUnableToCompress);
    if (used == kBufferSize) WriteFullBuffer();
    if (scrambleOutput_) value = XorWithKey(value);
    *outCursor_++ = value;
    UpdateOutputLimit();
}

void CodecPipeline::Flush() {
    uint8_t* const start = outBuffer_.get();
    if (outCursor_ == start) return;
    destination_.WriteBuffer(start, static_cast<int32_t>(outCursor_ - start));
    flushedSum_ += SumBytes(start, outCursor_);
    flushedSize_ += outCursor_ - start;
    budgetAtBufferStart_ -= static_cast<int32_t>(outCursor_ - start);
    outCursor_ = start;
    UpdateOutputLimit();
}

void CodecPipeline::FailEntry() {
    throw EBadChecksum(msg::kBadChecksum);
}

uint32_t CodecPipeline::OutputSum() const noexcept {
    return flushedSum_ + SumBytes(outBuffer_.get(), outCursor_);
}

void RunCodec(TKQInstCompress& component, TStream& destination, TStream& source, int32_t storedSize,
              int32_t expandedSize, uint8_t method, uint32_t& checksum, bool expand, bool locked) {
    CodecPipeline::Setup setup;
    setup.source = &source;
    setup.destination = &destination;
    setup.progress = component.OnShowProgress;
    setup.storedSize = storedSize;
    // Compress mode would subtract a reserve held by a compressor; there is none.
    setup.budget = expand ? 2147483647 : storedSize;
    setup.key = component.Key;
    setup.scrambleOutput = !expand && component.Key != 0;
    setup.unscrambleInput = expand && component.Key != 0 && locked;
    CodecPipeline pipe(std::move(setup));

    const MethodInfo* const row = FindMethod(method);
    if (expand) {
        if (row != nullptr && row->expand != nullptr) row->expand(pipe, expandedSize);
        pipe.Flush();
        checksum = pipe.OutputSum();
        return;
    }

    if (row != nullptr && row->disabled != nullptr) throw EUnrecognizedCompressionMethod(row->disabled);
    pipe.Flush();
    checksum = pipe.InputSum();
}

}  // namespace kq
