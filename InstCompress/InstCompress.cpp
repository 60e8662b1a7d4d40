#include "InstCompress/InstCompress.h"

#include <new>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/EntryReader.h"

namespace kq {

namespace {

// Allocation failures anywhere below surface as the component's EOutOfMemory.
template <typename Body>
void RaisingOutOfMemory(Body body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory(msg::kOutOfMemory);
    }
}

constexpr char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool SameEntryName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

std::string FoldEntryName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = AsciiLower(c);
    return folded;
}

void TKQInstCompress::SetTargetPath(const std::string& value) {
    targetPath_ = value;
    if (!targetPath_.empty() && targetPath_.back() != '\\') targetPath_ += '\\';
}

int TKQInstCompress::RecognizeMethodId(const std::string& id) {
    for (size_t i = 0; i < kMethodIds.size(); ++i) {
        if (id == kMethodIds[i]) return static_cast<int>(i);
    }
    if (OnRecognize) {
        bool recognized = false;
        OnRecognize(id, recognized);
        if (recognized) return kMethodCustom;
    }
    throw EUnrecognizedCompressionMethod(UnrecognizedMethodMessage(id));
}

void TKQInstCompress::ExpandNamedEntry(const std::string& archivePath, TStream& dest,
                                       const std::string& entryName) {
    RaisingOutOfMemory([&] {
        TFileStream archive(archivePath, FileMode::OpenReadExclusive);
        ExpandNamedEntry(archive, dest, entryName);
    });
}

void TKQInstCompress::ExpandNamedEntry(TStream& archive, TStream& dest, const std::string& entryName) {
    RaisingOutOfMemory([&] { WalkEntries(archive, dest, entryName); });
}

void TKQInstCompress::WalkEntries(TStream& archive, TStream& dest, const std::string& entryName) {
    TEntryReader reader(archive, *this);
    while (const ArchiveEntry* entry = reader.Next()) {
        if (SameEntryName(entry->name, entryName)) reader.Expand(dest);
    }
}

void TKQInstCompress::ExpandEntry(TStream& dest, TStream& archive, int32_t lock, const std::string& methodId,
                                  uint8_t method, uint32_t storedChecksum, int32_t expandedSize,
                                  int32_t storedSize) {
    RaisingOutOfMemory([&] {
        ExpandOneEntry(dest, archive, lock, methodId, method, storedChecksum, expandedSize, storedSize);
    });
}

void TKQInstCompress::ExpandOneEntry(TStream& dest, TStream& archive, int32_t lock,
                                     const std::string& methodId, uint8_t method, uint32_t storedChecksum,
                                     int32_t expandedSize, int32_t storedSize) {
    const bool unverified = method == kMethodStored && AcceptUnverifiedStoredEntries;
    if (!unverified && lock > 0 && Key == 0) throw EInvalidKey(msg::kInvalidKey);

    uint32_t checksum = 0;
    const MethodInfo* const row = FindMethod(method);
    if (method == kMethodStored) {
        if (storedSize > 0 && unverified) {
            dest.CopyFrom(archive, storedSize);
        } else if (storedSize > 0) {
            // Summed on the way through: the reads and writes of a plain copy.
            dest.CopyFrom(archive, storedSize, [&checksum](std::span<const uint8_t> chunk) {
                checksum += SumBytes(chunk.data(), chunk.data() + chunk.size());
            });
        }
    } else if (row != nullptr && row->expand != nullptr) {
        // A bad table, and data that cannot be whole (cut, aborted, of the
        // wrong length), fail a locked entry as a wrong key would.
        try {
            RunCodec(*this, dest, archive, storedSize, expandedSize, method, checksum,
                     /*expand=*/true, /*locked=*/lock == 2);
        } catch (const ELZHBadDecodeTable&) {
            if (lock > 0) throw EInvalidKey(msg::kInvalidKey);
            throw;
        } catch (const EBadChecksum&) {
            if (lock > 0) throw EInvalidKey(msg::kInvalidKey);
            throw;
        }
    } else if (method == kMethodCustom) {
        if (OnExpand) OnExpand(dest, archive, storedSize, expandedSize, methodId, checksum);
    }                        // else no such method: nothing is written
    if (unverified) return;  // taken as it is

    if (checksum == storedChecksum) return;
    if (lock > 0) {
        if (static_cast<uint32_t>(Key) + checksum == storedChecksum) return;
        throw EInvalidKey(msg::kInvalidKey);
    }
    throw EBadChecksum(msg::kBadChecksum);
}

}  // namespace kq
