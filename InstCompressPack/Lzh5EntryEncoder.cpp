// The incremental LH5 encoder: the input is cut into fixed-size segments,
// each coded (on the worker pool when there are threads) with the window's
// worth of bytes before it as history, and the coded segments are joined
// at their bit offsets and handed to the sink in input order.
#include <algorithm>
#include <deque>
#include <future>
#include <utility>

#include "InstCompressPack/BitWriter.h"
#include "InstCompressPack/Lzh5Block.h"
#include "InstCompressPack/Lzh5Segment.h"
#include "InstCompressPack/WorkerPool.h"

namespace kq::pack {

namespace lzh5 {

namespace {

class SegmentedEncoder final : public EntryEncoder {
public:
    SegmentedEncoder(CodedSink sink, const EncodeOptions& options, size_t segmentSize)
        : sink_(std::move(sink)),
          best_(options.best),
          threads_(std::max(1u, options.threads)),
          segmentSize_(segmentSize) {
        // Positions within a segment's window are kept as int32.
        assert(segmentSize_ > 0 && segmentSize_ <= size_t{1} << 30);
    }

    void Put(std::span<const uint8_t> plain) override {
        assert(!finished_);
        while (!plain.empty()) {
            const size_t take = std::min(plain.size(), historySize_ + segmentSize_ - window_.size());
            window_.insert(window_.end(), plain.begin(), plain.begin() + static_cast<ptrdiff_t>(take));
            plain = plain.subspan(take);
            if (window_.size() == historySize_ + segmentSize_) Submit(false);
        }
    }

    void Finish() override {
        assert(!finished_);
        finished_ = true;
        if (window_.size() > historySize_) Submit(true);
        while (!inFlight_.empty()) EmitOldest();
        scratch_.clear();
        joiner_.Finish(scratch_);
        if (!scratch_.empty()) sink_(scratch_);
    }

private:
    // Codes the segment held (on a worker when there are several threads
    // and more than one segment) and starts the next one with the window's
    // worth of history.
    void Submit(bool last) {
        const size_t history = std::min<size_t>(kWindowSize, window_.size());
        std::vector<uint8_t> next;
        if (!last) {  // no room is taken for a segment that never comes
            next.reserve(history + segmentSize_);
            next.assign(window_.end() - static_cast<ptrdiff_t>(history), window_.end());
        }
        std::vector<uint8_t> window = std::exchange(window_, std::move(next));
        const size_t start = std::exchange(historySize_, history);
        if (threads_ == 1 || (last && !pool_)) {
            Emit(EncodeSegment(window, start, best_));
            return;
        }
        if (!pool_) pool_ = std::make_unique<WorkerPool>(threads_);
        inFlight_.push_back(pool_->Submit([window = std::move(window), start, best = best_] {
            return EncodeSegment(window, start, best);
        }));
        // A bounded number of segments in flight bounds the memory.
        while (inFlight_.size() > 2 * size_t{threads_}) EmitOldest();
    }

    void EmitOldest() {
        std::future<SegmentCode> oldest = std::move(inFlight_.front());
        inFlight_.pop_front();
        Emit(oldest.get());  // rethrows what the worker raised
    }

    void Emit(const SegmentCode& code) {
        scratch_.clear();
        joiner_.Append(code.bytes, code.bits, scratch_);
        if (!scratch_.empty()) sink_(scratch_);
    }

    CodedSink sink_;
    const bool best_;
    const unsigned threads_;
    const size_t segmentSize_;
    std::vector<uint8_t> window_;  // history, then the segment being filled
    size_t historySize_ = 0;
    BitJoiner joiner_;
    std::vector<uint8_t> scratch_;
    std::deque<std::future<SegmentCode>> inFlight_;
    std::unique_ptr<WorkerPool> pool_;  // declared last: joined first
    bool finished_ = false;
};

}  // namespace

std::unique_ptr<EntryEncoder> MakeSegmentedEncoder(CodedSink sink, const EncodeOptions& options,
                                                   size_t segmentSize) {
    return std::make_unique<SegmentedEncoder>(std::move(sink), options, segmentSize);
}

}  // namespace lzh5

std::unique_ptr<EntryEncoder> MakeLzh5Encoder(CodedSink sink, const EncodeOptions& options) {
    return lzh5::MakeSegmentedEncoder(std::move(sink), options, lzh5::kSegmentSize);
}

}  // namespace kq::pack
