#include "InstCompressPack/SetupImage.h"

#include <algorithm>
#include <cassert>
#include <memory>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/PeImage.h"

namespace kq::pack {

namespace {

constexpr const char* kTooLarge =
    "the setup would be larger than 2147483647 bytes, which the payload offset cannot describe";

// Counts what passes through to the image, from the image's offset
// `start` on, and adds it to the checksum.
class TCountingForward final : public TStream {
public:
    TCountingForward(TStream& to, int64_t start, PeChecksumSum* checksum)
        : to_(to), start_(start), checksum_(checksum) {}
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override {
        const int32_t n = to_.Write(buffer, count);
        if (n <= 0) return n;
        if (checksum_ != nullptr) {
            checksum_->Add(static_cast<const uint8_t*>(buffer), static_cast<size_t>(n),
                           static_cast<uint64_t>(start_ + written_));
        }
        written_ += n;
        return n;
    }
    int64_t Seek(int64_t, SeekOrigin) override { return written_; }
    int64_t Size() override { return written_; }

private:
    TStream& to_;
    int64_t start_;
    PeChecksumSum* checksum_;
    int64_t written_ = 0;
};

// Where a Windows stub keeps its checksum, found in its headers; nothing
// for a POSIX stub. Leaves the position at 0.
std::optional<size_t> ChecksumFieldOf(TStream& stub, int64_t size) {
    constexpr int64_t kHeadersRead = 4096;  // the headers lie well within
    if (!HasPeHeader(stub)) return std::nullopt;
    std::vector<uint8_t> head(static_cast<size_t>(std::min(size, kHeadersRead)));
    stub.ReadBuffer(head.data(), static_cast<int32_t>(head.size()));
    stub.SetPosition(0);
    const auto layout = ReadPeLayout(head);
    if (!layout) return std::nullopt;
    return layout->checksumAt;
}

// A field whose first byte is the placeholder's 'X' reads as unpatched: such
// a stub gets one byte of padding behind it.
int64_t PayloadOffsetFor(int64_t stubSize) {
    return (stubSize & 0xFF) == kUnpatchedFieldByte ? stubSize + 1 : stubSize;
}

}  // namespace

int64_t CheckStub(TStream& stub) {
    const int64_t size = stub.Size();
    if (PayloadLayout{PayloadOffsetFor(size)}.ArchiveStart() > kMaxEntrySize) throw PackError(kTooLarge);
    stub.SetPosition(0);
    const auto field = FindMarkerField(stub);
    if (!field) throw PackError("the stub carries no payload marker: not a launcher");
    if (*field + kMarkerFieldLength > size) throw PackError("the stub's marker field is cut off");
    uint8_t first = 0;
    stub.SetPosition(*field);
    stub.ReadBuffer(&first, 1);
    if (first != kUnpatchedFieldByte)
        throw PackError("the stub's marker field is already patched: give the launcher itself, not a setup");
    stub.SetPosition(0);
    return *field;
}

SetupImageLayout WriteSetupImage(TStream& out, TStream& given,
                                 const std::function<void(TStream& archive)>& writeArchive,
                                 const SetupResources& resources) {
    std::unique_ptr<TMemoryStream> withResources;
    if (!resources.Empty()) {
        if (given.Size() > kMaxEntrySize) throw PackError(kTooLarge);
        std::vector<uint8_t> image(static_cast<size_t>(given.Size()));
        given.SetPosition(0);
        if (!image.empty()) given.ReadBuffer(image.data(), static_cast<int32_t>(image.size()));
        withResources = std::make_unique<TMemoryStream>(ApplySetupResources(image, resources));
    }
    TStream& stub = withResources ? *withResources : given;
    const int64_t field = CheckStub(stub);
    const int64_t stubSize = stub.Size();
    const int64_t payload = PayloadOffsetFor(stubSize);
    const PayloadLayout layout{payload};
    uint8_t offsetField[kMarkerFieldLength];
    StoreLE32(offsetField, static_cast<uint32_t>(payload));
    assert(offsetField[0] != kUnpatchedFieldByte);

    // A Windows setup's checksum is that of its final bytes, so that it is
    // the same for the same stub and payload.
    const std::optional<size_t> checksumAt = ChecksumFieldOf(stub, stubSize);
    std::optional<PeChecksumSum> checksum;
    if (checksumAt) checksum.emplace(*checksumAt);

    const int64_t start = out.Position();
    std::vector<uint8_t> chunk(TStream::kCopyChunk);
    for (int64_t at = 0; at < stubSize;) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(TStream::kCopyChunk, stubSize - at));
        stub.ReadBuffer(chunk.data(), n);
        for (int64_t i = std::max(at, field); i < std::min(at + n, field + kMarkerFieldLength); ++i) {
            chunk[static_cast<size_t>(i - at)] = offsetField[i - field];
        }
        out.WriteBuffer(chunk.data(), n);
        if (checksum) checksum->Add(chunk.data(), static_cast<size_t>(n), static_cast<uint64_t>(at));
        at += n;
    }
    // Any padding, then the size field, which is filled in below.
    const uint8_t zeros[1 + PayloadLayout::kSizeFieldLength] = {};
    out.WriteBuffer(zeros, static_cast<int32_t>(layout.ArchiveStart() - stubSize));
    TCountingForward archive(out, layout.ArchiveStart(), checksum ? &*checksum : nullptr);
    writeArchive(archive);
    if (archive.Size() > kMaxEntrySize - layout.ArchiveStart()) throw PackError(kTooLarge);
    uint8_t sizeField[PayloadLayout::kSizeFieldLength];
    StoreLE32(sizeField, static_cast<uint32_t>(archive.Size()));
    const int64_t end = out.Position();
    out.SetPosition(start + payload);
    out.WriteBuffer(sizeField, PayloadLayout::kSizeFieldLength);
    if (checksum) {
        // The size field was counted as the zeros written first.
        checksum->Add(sizeField, PayloadLayout::kSizeFieldLength, static_cast<uint64_t>(payload));
        uint8_t checksumField[4];
        StoreLE32(checksumField, checksum->Finish(static_cast<uint64_t>(end - start)));
        out.SetPosition(start + static_cast<int64_t>(*checksumAt));
        out.WriteBuffer(checksumField, 4);
    }
    out.SetPosition(end);
    return {stubSize, payload};
}

std::vector<uint8_t> BuildSetupImage(std::vector<uint8_t> stub, const std::vector<uint8_t>& archive,
                                     const SetupResources& resources) {
    TSpanStream stubStream(stub.data(), stub.size());
    TMemoryStream out;
    WriteSetupImage(
        out, stubStream,
        [&](TStream& to) { to.WriteBuffer(archive.data(), static_cast<int32_t>(archive.size())); },
        resources);
    return std::move(out.Bytes());
}

}  // namespace kq::pack
