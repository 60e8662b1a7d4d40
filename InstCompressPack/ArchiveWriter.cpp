#include "InstCompressPack/ArchiveWriter.h"

#include <stdexcept>

#include "InstCompress/Stream.h"
#include "InstCompressPack/Encoders.h"

namespace kq::pack {

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

std::vector<uint8_t> EncodeWith(PackMethod method, const std::vector<uint8_t>& plain,
                                const std::function<void(size_t)>& progress, const EncodeOptions& encode) {
    switch (method) {
        case PackMethod::None: return plain;
        case PackMethod::Rle: return EncodeRle(plain, progress);
        case PackMethod::Lzh1: return EncodeLzh1(plain, progress);
        case PackMethod::Lzh5: return EncodeLzh5(plain, encode, progress);
    }
    throw PackError("method " + std::string(PackMethodName(method)) +
                             " cannot be written by this build");
}

uint32_t ByteSum(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (const uint8_t b : bytes) sum += b;
    return sum;
}

void WriteArchive(TStream& out, const std::vector<PackItem>& items, const PackOptions& options,
                  const PackProgress& progress) {
    int64_t total = 0;
    for (const PackItem& item : items) {
        if (static_cast<int64_t>(item.plain.size()) > kMaxEntrySize) {
            throw PackError("entry " + item.name + " is larger than 2147483647 bytes");
        }
        if (item.name.size() > 32767) {
            throw PackError("entry name longer than 32767 bytes: " + item.name.substr(0, 64));
        }
        total += static_cast<int64_t>(item.plain.size());
    }
    if (total > kMaxEntrySize) {
        throw PackError("archive contents exceed 2147483647 bytes in all");
    }

    const auto header = BuildArchiveHeader(options.methodId, static_cast<int32_t>(total),
                                           kArchiveTypeMulti, options.key);
    out.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));

    const int32_t lock = options.lock.value_or(options.key != 0 ? 2 : 0);
    for (size_t index = 0; index < items.size(); ++index) {
        const PackItem& item = items[index];
        std::function<void(size_t)> itemProgress;
        if (progress) itemProgress = [&progress, index](size_t done) { progress(index, done); };
        std::vector<uint8_t> coded = EncodeWith(item.method, item.plain, itemProgress, options.encode);
        if (static_cast<int64_t>(coded.size()) > kMaxEntrySize) {
            throw PackError("coded entry " + item.name + " is larger than 2147483647 bytes");
        }
        // Stored entries are copied as they are, so only coded data is scrambled.
        if (lock == 2 && item.method != PackMethod::None) {
            uint8_t keyBytes[4];
            StoreLE32(keyBytes, static_cast<uint32_t>(options.key));
            for (size_t i = 0; i < coded.size(); ++i) coded[i] ^= keyBytes[i & 3];
        }
        uint32_t checksum = ByteSum(item.plain);
        if (lock > 0) checksum += static_cast<uint32_t>(options.key);

        EntryHeader h;
        h.nameLength = static_cast<int16_t>(item.name.size());
        h.expandedSize = static_cast<int32_t>(item.plain.size());
        h.compressedSize = static_cast<int32_t>(coded.size());
        h.method = MethodByte(item.method);
        h.checksum = static_cast<int32_t>(checksum);
        h.lock = lock;
        const auto raw = BuildEntryHeader(h);
        out.WriteBuffer(raw.data(), static_cast<int32_t>(raw.size()));
        out.WriteBuffer(item.name.data(), static_cast<int32_t>(item.name.size()));
        out.WriteBuffer(coded.data(), static_cast<int32_t>(coded.size()));
    }
}

std::vector<uint8_t> BuildArchive(const std::vector<PackItem>& items, const PackOptions& options) {
    TMemoryStream out;
    WriteArchive(out, items, options);
    return std::move(out.Bytes());
}

}  // namespace kq::pack
