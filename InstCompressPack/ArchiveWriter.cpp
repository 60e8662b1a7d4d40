#include "InstCompressPack/ArchiveWriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <future>
#include <iterator>
#include <numeric>

#include "InstCompress/Stream.h"
#include "InstCompressPack/Lzh5Segment.h"
#include "InstCompressPack/ShrinkEstimate.h"
#include "InstCompressPack/SpillBuffer.h"
#include "InstCompressPack/WorkerPool.h"

namespace kq::pack {

namespace {

constexpr int32_t kReadChunk = 256 * 1024;
constexpr int64_t kPageSize = 4096;  // of the file systems' caches, a multiple of it elsewhere

using MakeEncoderFunction = std::unique_ptr<EntryEncoder> (*)(CodedSink sink, const EncodeOptions& options);

struct EncoderInfo {
    MethodIndex method;
    MakeEncoderFunction make;
};

// One row for each method of kMethods that has a decoder.
constexpr std::array<EncoderInfo, 3> kEncoders = {{
    {kMethodRle, [](CodedSink sink, const EncodeOptions&) { return MakeRleEncoder(std::move(sink)); }},
    {kMethodLzh1, [](CodedSink sink, const EncodeOptions&) { return MakeLzh1Encoder(std::move(sink)); }},
    {kMethodLzh5,
     [](CodedSink sink, const EncodeOptions& options) { return MakeLzh5Encoder(std::move(sink), options); }},
}};

constexpr const EncoderInfo* FindEncoder(uint8_t method) {
    for (const EncoderInfo& row : kEncoders) {
        if (row.method == method) return &row;
    }
    return nullptr;
}

// Every method kqi writes (a CLI name, stored entries aside) has an encoder,
// and no other method has one.
static_assert([] {
    for (const MethodInfo& row : kMethods) {
        const bool written = row.byte != kMethodStored && !row.cliName.empty();
        if (written != (FindEncoder(row.byte) != nullptr)) return false;
    }
    return true;
}());

[[noreturn]] void ThrowChanged(const PackEntry& entry) {
    throw PackError(entry.name + " changed while it was packed: " + std::to_string(entry.size) +
                    " bytes were announced");
}

// Reads the entry's announced size from its stream, in chunks, handing
// every chunk to onChunk(piece, bytesDone), and returns the sum of the
// bytes. An input that turns out shorter or longer than announced changed
// under our feet. The first chunk is `firstShortBy` bytes shorter (less
// than kPageSize): a copy that starts that far into a page then writes
// whole pages, which costs the system less than pages written in parts.
template <typename OnChunk>
uint32_t ReadEntry(const PackEntry& entry, OnChunk onChunk, int32_t firstShortBy = 0) {
    const std::unique_ptr<TStream> in = entry.open();
    std::vector<uint8_t> chunk(
        static_cast<size_t>(std::min<int64_t>(kReadChunk, std::max<int64_t>(entry.size, 1))));
    uint32_t sum = 0;
    int64_t done = 0;
    int32_t shortBy = firstShortBy;
    while (done < entry.size) {
        const auto want = static_cast<int32_t>(std::min<int64_t>(
            std::min<int64_t>(static_cast<int64_t>(chunk.size()), kReadChunk - shortBy), entry.size - done));
        shortBy = 0;
        const int32_t got = in->Read(chunk.data(), want);
        if (got <= 0) break;
        const std::span<const uint8_t> piece(chunk.data(), static_cast<size_t>(got));
        sum += ByteSum(piece);
        done += got;
        onChunk(piece, done);
    }
    uint8_t extra = 0;
    if (done != entry.size || in->Read(&extra, 1) != 0) ThrowChanged(entry);
    return sum;
}

// Whether the entry's samples show that coding will not shrink it; false
// for an entry too small to judge. Reads the samples alone, each where it
// lies, and stops at the first that shrinks.
bool IncompressibleBySamples(const PackEntry& entry, bool best) {
    const std::vector<Sample> samples = PlanSamples(entry.size);
    if (samples.empty()) return false;
    const std::unique_ptr<TStream> in = entry.open();
    ShrinkEstimate estimate(entry.method, best);
    std::vector<uint8_t> sample;
    for (const Sample& s : samples) {
        sample.resize(s.size);
        in->SetPosition(s.offset);
        size_t done = 0;
        while (done < s.size) {
            const auto want = static_cast<int32_t>(std::min<size_t>(s.size - done, kReadChunk));
            const int32_t got = in->Read(sample.data() + done, want);
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        if (done != s.size) ThrowChanged(entry);
        if (estimate.Shrinks(sample)) return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<EntryEncoder> MakeEncoder(PackMethod method, CodedSink sink, const EncodeOptions& options) {
    if (const EncoderInfo* row = FindEncoder(MethodByte(method))) return row->make(std::move(sink), options);
    throw PackError("method " + std::string(PackMethodName(method)) + " has no encoder");
}

std::optional<PackMethod> ParsePackMethod(std::string_view name) {
    for (const MethodInfo& row : kMethods) {
        if (!row.cliName.empty() && row.cliName == name) return static_cast<PackMethod>(row.byte);
    }
    return std::nullopt;
}

std::string_view PackMethodName(PackMethod method) {
    const MethodInfo* const row = FindMethod(MethodByte(method));
    return row != nullptr ? row->cliName : "?";
}

std::string_view MethodIdOf(PackMethod method) {
    const MethodInfo* const row = FindMethod(MethodByte(method));
    return row != nullptr ? row->id : kMethodIds[kMethodStored];
}

std::string PackMethodNames() {
    std::vector<std::string_view> names;
    for (const MethodInfo& row : kMethods) {
        if (!row.cliName.empty()) names.push_back(row.cliName);
    }
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += i + 1 == names.size() ? " or " : ", ";
        list += names[i];
    }
    return list;
}

uint32_t ByteSum(std::span<const uint8_t> bytes) {
    // Eight bytes at a time: their even and odd bytes added into four 16-bit
    // lanes, which 128 words (at most 2 * 255 each per lane, 65280 in all)
    // cannot overflow; then the lanes are added up.
    constexpr uint64_t kEvenBytes = 0x00FF'00FF'00FF'00FFULL;
    constexpr size_t kBlock = 128 * 8;
    uint32_t sum = 0;
    size_t at = 0;
    for (; bytes.size() - at >= kBlock; at += kBlock) {
        uint64_t lanes = 0;
        for (size_t i = at; i < at + kBlock; i += 8) {
            uint64_t word = 0;
            std::memcpy(&word, bytes.data() + i, 8);
            lanes += (word & kEvenBytes) + ((word >> 8) & kEvenBytes);
        }
        for (int lane = 0; lane < 4; ++lane) sum += static_cast<uint32_t>((lanes >> (16 * lane)) & 0xFFFF);
    }
    for (; at < bytes.size(); ++at) sum += bytes[at];
    return sum;
}

void CheckEntries(const std::vector<PackEntry>& entries) {
    int64_t total = 0;
    for (const PackEntry& entry : entries) {
        if (entry.size < 0 || entry.size > kMaxEntrySize) {
            throw PackError("entry " + entry.name + " is larger than 2147483647 bytes");
        }
        if (entry.name.size() > kMaxEntryNameLength) {
            throw PackError("entry name longer than 32767 bytes: " + entry.name.substr(0, 64));
        }
        total += entry.size;
        if (total > kMaxEntrySize) throw PackError("archive contents exceed 2147483647 bytes in all");
    }
}

namespace {

// A reader stops walking once the expanded sizes reach the archive's total,
// so an empty entry after the last non-empty one could never be read: such
// entries are written just before that last non-empty entry. Every other
// entry keeps its place. (With no non-empty entry, HeaderTotal below sees to
// it.)
std::vector<size_t> WriteOrder(const std::vector<PackEntry>& entries) {
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    const auto last =
        std::find_if(order.rbegin(), order.rend(), [&](size_t i) { return entries[i].size != 0; });
    if (last != order.rend()) {
        const auto at = std::prev(last.base());
        std::rotate(at, std::next(at), order.end());
    }
    return order;
}

// The header's total. The walk compares the running sum of expanded sizes
// with it before it takes each entry, and stops once the sum is not below
// it; so a total of 0 would stop it before the first entry. An archive
// whose entries are all empty says 1 instead: the sum stays 0, below 1, so
// every entry is taken, and the walk ends where every walk also ends, at the
// end of the archive, where no further entry header can be read.
int32_t HeaderTotal(const std::vector<PackEntry>& entries) {
    int64_t total = 0;
    for (const PackEntry& entry : entries) total += entry.size;
    return static_cast<int32_t>(total == 0 && !entries.empty() ? 1 : total);
}

// An entry's coded bytes, waiting for their header to be written.
struct CodedEntry {
    PackMethod method;                   // after the store fallback
    uint32_t sum = 0;                    // of the plain bytes
    std::unique_ptr<SpillBuffer> coded;  // none for method none
    // A stored entry not read yet: it is summed while it is copied, and its
    // header's checksum is patched behind it (an output that can seek only).
    bool summedWhenWritten = false;
};

int32_t LockOf(const PackEntry& entry, const PackOptions& options) {
    return entry.lock.value_or(options.lock.value_or(options.key != 0 ? 2 : 0));
}

// Reads and codes one entry. Only coded data is scrambled; stored entries
// are copied as they are when they are written. An entry that may be stored
// when coding does not shrink it is stored at once when its samples show
// that coding will not. With `storeInOnePass`, a stored entry is left to be
// read once, when it is written (and its progress reported then); else it
// is summed here, ahead of its header.
CodedEntry CodeEntry(const PackEntry& entry, const PackOptions& options, const EncodeOptions& encode,
                     size_t memoryLimit, bool storeInOnePass, const std::function<void(int64_t)>& report) {
    CodedEntry result{entry.method, 0, nullptr};
    if (entry.method == PackMethod::None) {
        if (storeInOnePass) return CodedEntry{PackMethod::None, 0, nullptr, true};
        result.sum = ReadEntry(entry, [&](std::span<const uint8_t>, int64_t done) { report(done); });
        return result;
    }
    if (entry.storeIfNotSmaller && IncompressibleBySamples(entry, encode.best)) {
        if (storeInOnePass) return CodedEntry{PackMethod::None, 0, nullptr, true};
        const uint32_t sum = ReadEntry(entry, [](std::span<const uint8_t>, int64_t) {});
        report(entry.size);
        return CodedEntry{PackMethod::None, sum, nullptr};
    }
    result.coded = std::make_unique<SpillBuffer>(options.spillDirectory, memoryLimit);
    SpillBuffer& spill = *result.coded;
    const bool scramble = LockOf(entry, options) == 2;
    uint8_t keyBytes[4];
    StoreLE32(keyBytes, static_cast<uint32_t>(options.key));
    std::vector<uint8_t> scrambled;
    int64_t codedAt = 0;
    auto sink = [&](std::span<const uint8_t> coded) {
        if (!scramble) {
            spill.Append(coded);
            return;
        }
        scrambled.assign(coded.begin(), coded.end());
        for (uint8_t& b : scrambled) b ^= keyBytes[static_cast<uint64_t>(codedAt++) & 3];
        spill.Append(scrambled);
    };
    const auto encoder = MakeEncoder(entry.method, sink, encode);
    result.sum = ReadEntry(entry, [&](std::span<const uint8_t> piece, int64_t done) {
        encoder->Put(piece);
        report(done);
    });
    encoder->Finish();
    if (entry.storeIfNotSmaller && spill.Size() >= entry.size) {
        result.method = PackMethod::None;
        result.coded.reset();
        return result;
    }
    if (spill.Size() > kMaxEntrySize)
        throw PackError("coded entry " + entry.name + " is larger than 2147483647 bytes");
    return result;
}

// Writes the entry's header, name and data. `report` is told the progress
// of an entry summed while it is copied here.
WrittenEntry WriteEntry(TStream& out, const PackEntry& entry, const PackOptions& options, CodedEntry& coded,
                        const std::function<void(int64_t)>& report) {
    const int32_t lock = LockOf(entry, options);
    const int64_t storedSize = coded.method == PackMethod::None ? entry.size : coded.coded->Size();
    EntryHeader h;
    h.nameLength = static_cast<int16_t>(entry.name.size());
    h.expandedSize = static_cast<int32_t>(entry.size);
    h.storedSize = static_cast<int32_t>(storedSize);
    h.method = MethodByte(coded.method);
    h.lock = lock;
    auto writeHeader = [&] {
        h.checksum = static_cast<int32_t>(coded.sum + (lock > 0 ? static_cast<uint32_t>(options.key) : 0u));
        const auto raw = BuildEntryHeader(h);
        out.WriteBuffer(raw.data(), static_cast<int32_t>(raw.size()));
    };
    const int64_t headerAt = coded.summedWhenWritten ? out.Position() : 0;
    writeHeader();
    out.WriteBuffer(entry.name.data(), static_cast<int32_t>(entry.name.size()));
    if (coded.method == PackMethod::None) {
        const auto intoPage = static_cast<int32_t>(out.Position() % kPageSize);
        const uint32_t sum = ReadEntry(
            entry,
            [&](std::span<const uint8_t> piece, int64_t done) {
                out.WriteBuffer(piece.data(), static_cast<int32_t>(piece.size()));
                if (coded.summedWhenWritten) report(done);
            },
            intoPage);
        if (coded.summedWhenWritten) {
            coded.sum = sum;
            const int64_t end = out.Position();
            out.SetPosition(headerAt);
            writeHeader();
            out.SetPosition(end);
        } else if (sum != coded.sum) {
            throw PackError(entry.name + " changed while it was packed");
        }
    } else {
        coded.coded->MoveTo(out);
    }
    return WrittenEntry{coded.method, storedSize, coded.sum};
}

// With several threads, entries are coded side by side, each on one
// thread, ahead of the one being written; an LH5 entry larger than one
// segment is coded on the calling thread instead, its segments side by
// side. Every entry's coded bytes are the same for every thread count, so
// the archive is too.
class EntryScheduler {
public:
    EntryScheduler(const std::vector<PackEntry>& entries, const std::vector<size_t>& order,
                   const PackOptions& options, bool storeInOnePass)
        : entries_(entries),
          options_(options),
          threads_(std::max(1u, options.encode.threads)),
          storeInOnePass_(storeInOnePass) {
        if (threads_ == 1) return;
        for (const size_t index : order) {
            const PackEntry& entry = entries[index];
            const bool segmented =
                entry.method == PackMethod::Lzh5 && static_cast<uint64_t>(entry.size) > lzh5::kSegmentSize;
            if (entry.method != PackMethod::None && !segmented) sideBySide_.push_back(index);
        }
    }

    // Codes entry `index` (the next in write order), or waits for it.
    CodedEntry Code(size_t index, const std::function<void(int64_t)>& report) {
        TopUp();
        if (ahead_.empty() || ahead_.front().first != index) {
            return CodeEntry(entries_[index], options_, options_.encode, SpillBuffer::kDefaultMemoryLimit,
                             storeInOnePass_, report);
        }
        std::future<CodedEntry> coded = std::move(ahead_.front().second);
        ahead_.pop_front();
        aheadBytes_ -= static_cast<uint64_t>(entries_[index].size);
        CodedEntry result = coded.get();  // rethrows what the worker raised
        if (!result.summedWhenWritten) report(entries_[index].size);
        TopUp();
        return result;
    }

private:
    // An entry coded ahead holds at most this much memory while it waits,
    // the rest goes to its spill file; the one being written, the usual.
    static constexpr size_t kMemoryLimit = size_t{1} << 20;
    static constexpr size_t kMaxAheadPerThread = 16;
    static constexpr uint64_t kAheadBytesPerThread = uint64_t{4} << 20;

    // Starts entries ahead of the one being written: enough that a long
    // one in front does not leave the other workers idle, few enough to
    // bound what the coded ones waiting to be written hold.
    void TopUp() {
        while (next_ < sideBySide_.size() && ahead_.size() < kMaxAheadPerThread * threads_ &&
               (ahead_.size() < 2 * size_t{threads_} || aheadBytes_ < kAheadBytesPerThread * threads_)) {
            if (!pool_) pool_ = std::make_unique<WorkerPool>(threads_);
            const size_t index = sideBySide_[next_++];
            aheadBytes_ += static_cast<uint64_t>(entries_[index].size);
            ahead_.emplace_back(index, pool_->Submit([this, index] {
                return CodeEntry(entries_[index], options_, EncodeOptions{options_.encode.best, 1},
                                 kMemoryLimit, storeInOnePass_, [](int64_t) {});
            }));
        }
    }

    const std::vector<PackEntry>& entries_;
    const PackOptions& options_;
    const unsigned threads_;
    const bool storeInOnePass_;
    std::vector<size_t> sideBySide_;  // in write order
    size_t next_ = 0;                 // the next of them to start
    uint64_t aheadBytes_ = 0;         // plain bytes of the entries started and not yet written
    std::deque<std::pair<size_t, std::future<CodedEntry>>> ahead_;
    std::unique_ptr<WorkerPool> pool_;  // declared last: joined first
};

}  // namespace

std::vector<WrittenEntry> WriteArchive(TStream& out, const std::vector<PackEntry>& entries,
                                       const PackOptions& options, const PackProgress& progress) {
    CheckEntries(entries);
    const auto header =
        BuildArchiveHeader(options.methodId, HeaderTotal(entries), kArchiveTypeMulti, options.key);
    out.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));

    const std::vector<size_t> order = WriteOrder(entries);
    EntryScheduler scheduler(entries, order, options, out.CanSeek());
    std::vector<WrittenEntry> written(entries.size());
    for (const size_t index : order) {
        const auto report = [&](int64_t done) {
            if (progress) progress(index, done);
        };
        CodedEntry coded = scheduler.Code(index, report);
        written[index] = WriteEntry(out, entries[index], options, coded, report);
    }
    return written;
}

void WriteArchive(TStream& out, const std::vector<PackItem>& items, const PackOptions& options) {
    std::vector<PackEntry> entries;
    for (const PackItem& item : items) {
        const std::vector<uint8_t>* plain = &item.plain;
        entries.push_back(
            PackEntry{item.name, static_cast<int64_t>(plain->size()),
                      [plain] { return std::make_unique<TSpanStream>(plain->data(), plain->size()); },
                      item.method, false, std::nullopt});
    }
    WriteArchive(out, entries, options);
}

std::vector<uint8_t> BuildArchive(const std::vector<PackItem>& items, const PackOptions& options) {
    TMemoryStream out;
    WriteArchive(out, items, options);
    return std::move(out.Bytes());
}

}  // namespace kq::pack
