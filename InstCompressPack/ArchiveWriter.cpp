#include "InstCompressPack/ArchiveWriter.h"

#include <algorithm>
#include <iterator>
#include <numeric>

#include "InstCompress/Stream.h"
#include "InstCompressPack/SpillBuffer.h"

namespace kq::pack {

namespace {

constexpr int32_t kReadChunk = 64 * 1024;

std::unique_ptr<EntryEncoder> MakeEncoder(PackMethod method, CodedSink sink, const EncodeOptions& options) {
    switch (method) {
        case PackMethod::Rle: return MakeRleEncoder(std::move(sink));
        case PackMethod::Lzh1: return MakeLzh1Encoder(std::move(sink));
        case PackMethod::Lzh5: return MakeLzh5Encoder(std::move(sink), options);
        case PackMethod::None: break;
    }
    throw PackError("method " + std::string(PackMethodName(method)) + " has no encoder");
}

// Reads exactly the entry's announced size from its stream, in chunks, and
// returns the sum of the bytes; an input that turns out shorter or longer
// than announced changed under our feet.
template <typename OnChunk>
uint32_t ReadEntry(const PackEntry& entry, OnChunk onChunk) {
    const std::unique_ptr<TStream> in = entry.open();
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(kReadChunk, std::max<int64_t>(entry.size, 1))));
    uint32_t sum = 0;
    int64_t done = 0;
    while (done < entry.size) {
        const auto want = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), entry.size - done));
        const int32_t got = in->Read(chunk.data(), want);
        if (got <= 0) break;
        const std::span<const uint8_t> piece(chunk.data(), static_cast<size_t>(got));
        for (const uint8_t b : piece) sum += b;
        done += got;
        onChunk(piece, done);
    }
    uint8_t extra = 0;
    if (done != entry.size || in->Read(&extra, 1) != 0) {
        throw PackError(entry.name + " changed while it was packed: " + std::to_string(entry.size) +
                        " bytes were announced");
    }
    return sum;
}

}  // namespace

std::optional<PackMethod> ParsePackMethod(std::string_view name) {
    if (name == "none") return PackMethod::None;
    if (name == "rle") return PackMethod::Rle;
    if (name == "lzh1") return PackMethod::Lzh1;
    if (name == "lh5") return PackMethod::Lzh5;
    return std::nullopt;
}

std::string_view PackMethodName(PackMethod method) {
    switch (method) {
        case PackMethod::None: return "none";
        case PackMethod::Rle: return "rle";
        case PackMethod::Lzh1: return "lzh1";
        case PackMethod::Lzh5: return "lh5";
    }
    return "?";
}

uint8_t MethodByte(PackMethod method) {
    switch (method) {
        case PackMethod::None: return kMethodStored;
        case PackMethod::Rle: return kMethodRle;
        case PackMethod::Lzh1: return kMethodLzh1;
        case PackMethod::Lzh5: return kMethodLzh5;
    }
    return kMethodStored;
}

std::string_view MethodIdOf(PackMethod method) { return kMethodIds[MethodByte(method)]; }

uint32_t ByteSum(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (const uint8_t b : bytes) sum += b;
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
// entry keeps its place.
std::vector<size_t> WriteOrder(const std::vector<PackEntry>& entries) {
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    const auto last = std::find_if(order.rbegin(), order.rend(), [&](size_t i) { return entries[i].size != 0; });
    if (last != order.rend()) {
        const auto at = std::prev(last.base());
        std::rotate(at, std::next(at), order.end());
    }
    return order;
}

}  // namespace

std::vector<WrittenEntry> WriteArchive(TStream& out, const std::vector<PackEntry>& entries,
                                       const PackOptions& options, const PackProgress& progress) {
    CheckEntries(entries);
    int64_t total = 0;
    for (const PackEntry& entry : entries) total += entry.size;
    const auto header = BuildArchiveHeader(options.methodId, static_cast<int32_t>(total), kArchiveTypeMulti, options.key);
    out.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));

    uint8_t keyBytes[4];
    StoreLE32(keyBytes, static_cast<uint32_t>(options.key));
    SpillBuffer spill(options.spillDirectory);
    std::vector<uint8_t> scrambled;
    std::vector<WrittenEntry> written(entries.size());
    for (const size_t index : WriteOrder(entries)) {
        const PackEntry& entry = entries[index];
        const int32_t lock = entry.lock.value_or(options.lock.value_or(options.key != 0 ? 2 : 0));
        auto report = [&](int64_t done) {
            if (progress) progress(index, done);
        };

        PackMethod method = entry.method;
        uint32_t sum = 0;
        if (method == PackMethod::None) {
            sum = ReadEntry(entry, [&](std::span<const uint8_t>, int64_t done) { report(done); });
        } else {
            // Only coded data is scrambled; stored entries are copied as they are.
            int64_t codedAt = 0;
            auto sink = [&](std::span<const uint8_t> coded) {
                if (lock != 2) {
                    spill.Append(coded);
                } else {
                    scrambled.assign(coded.begin(), coded.end());
                    for (uint8_t& b : scrambled) b ^= keyBytes[static_cast<uint64_t>(codedAt++) & 3];
                    spill.Append(scrambled);
                }
            };
            const auto encoder = MakeEncoder(method, sink, options.encode);
            sum = ReadEntry(entry, [&](std::span<const uint8_t> piece, int64_t done) {
                encoder->Put(piece);
                report(done);
            });
            encoder->Finish();
            if (entry.storeIfNotSmaller && spill.Size() >= entry.size) {
                method = PackMethod::None;
                spill.Clear();
            }
            if (spill.Size() > kMaxEntrySize) {
                throw PackError("coded entry " + entry.name + " is larger than 2147483647 bytes");
            }
        }

        const int64_t storedSize = method == PackMethod::None ? entry.size : spill.Size();
        EntryHeader h;
        h.nameLength = static_cast<int16_t>(entry.name.size());
        h.expandedSize = static_cast<int32_t>(entry.size);
        h.compressedSize = static_cast<int32_t>(storedSize);
        h.method = MethodByte(method);
        h.checksum = static_cast<int32_t>(sum + (lock > 0 ? static_cast<uint32_t>(options.key) : 0u));
        h.lock = lock;
        const auto raw = BuildEntryHeader(h);
        out.WriteBuffer(raw.data(), static_cast<int32_t>(raw.size()));
        out.WriteBuffer(entry.name.data(), static_cast<int32_t>(entry.name.size()));
        if (method == PackMethod::None) {
            const uint32_t again = ReadEntry(entry, [&](std::span<const uint8_t> piece, int64_t) {
                out.WriteBuffer(piece.data(), static_cast<int32_t>(piece.size()));
            });
            if (again != sum) throw PackError(entry.name + " changed while it was packed");
        } else {
            spill.MoveTo(out);
        }
        written[index] = WrittenEntry{method, storedSize, sum};
    }
    return written;
}

void WriteArchive(TStream& out, const std::vector<PackItem>& items, const PackOptions& options) {
    std::vector<PackEntry> entries;
    for (const PackItem& item : items) {
        const std::vector<uint8_t>* plain = &item.plain;
        entries.push_back(PackEntry{item.name, static_cast<int64_t>(plain->size()),
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
