// Stand-in for the component's entry reader until it lands: the same
// interface over the same walk. Removed at the rebase.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/InstCompress.h"
#include "InstCompress/Stream.h"
#include "Setup/PayloadLocator.h"

namespace kq {

struct ArchiveEntry {
    std::string name;
    uint8_t method = 0;
    int32_t lock = 0;
    int32_t expandedSize = 0;
    int32_t storedSize = 0;
    uint32_t checksum = 0;
    int64_t dataOffset = 0;
};

class TEntryReader {
public:
    TEntryReader(TStream& archive, TKQInstCompress& component) : archive_(archive), component_(component) {
        header_ = ReadArchiveHeader(archive_, [&](const std::string& id) { component_.RecognizeMethodId(id); });
    }
    const ArchiveHeader& Header() const noexcept { return header_; }
    const ArchiveEntry* Next() {
        if (current_ && !expanded_) archive_.SetPosition(entry_.dataOffset + entry_.storedSize);
        current_ = false;
        expanded_ = false;
        headerOffset_ = archive_.Position();
        const auto e = ReadEntryHeader(archive_);
        if (!e) {
            end_ = End::NoHeader;
            return nullptr;
        }
        if (static_cast<int32_t>(runningSum_) >= header_.totalSize) {
            end_ = End::TotalReached;
            return nullptr;
        }
        entry_ = ArchiveEntry{e->name, e->header.method, e->header.lock, e->header.expandedSize,
                              e->header.compressedSize, static_cast<uint32_t>(e->header.checksum), archive_.Position()};
        runningSum_ += static_cast<uint32_t>(e->header.expandedSize);
        current_ = true;
        return &entry_;
    }
    void Expand(TStream& dest) {
        expanded_ = true;
        component_.ExpandEntry(dest, archive_, entry_.lock, header_.methodId, entry_.method, entry_.checksum,
                               entry_.expandedSize, entry_.storedSize);
    }
    void Test() {
        TCountingStream sink;
        try {
            component_.ExpandEntry(sink, archive_, entry_.lock, header_.methodId, entry_.method, entry_.checksum,
                                   entry_.expandedSize, entry_.storedSize);
        } catch (...) {
            archive_.SetPosition(entry_.dataOffset + entry_.storedSize);
            expanded_ = true;
            throw;
        }
        archive_.SetPosition(entry_.dataOffset + entry_.storedSize);
        expanded_ = true;
    }
    enum class End { None, NoHeader, TotalReached };
    End WalkEnd() const noexcept { return end_; }
    int64_t EndOffset() const noexcept { return headerOffset_; }
    TStream& Archive() noexcept { return archive_; }

private:
    TStream& archive_;
    TKQInstCompress& component_;
    ArchiveHeader header_;
    ArchiveEntry entry_;
    bool current_ = false;
    bool expanded_ = false;
    End end_ = End::None;
    uint32_t runningSum_ = 0;
    int64_t headerOffset_ = 0;
};

class TArchiveFile {
public:
    explicit TArchiveFile(const std::string& path, FileMode mode = FileMode::OpenReadExclusive)
        : file_(std::make_unique<TFileStream>(path, mode)) {
        std::array<uint8_t, 5> head{};
        const int32_t got = file_->Read(head.data(), static_cast<int32_t>(head.size()));
        file_->SetPosition(0);
        if (got == 5 && head == kArchiveSignature) return;
        if (const auto payload = LocatePayloadArchive(*file_)) {
            offset_ = payload->start;
            view_ = std::make_unique<TSubStream>(*file_, payload->start, payload->length);
        }
        file_->SetPosition(0);
    }
    TStream& Stream() noexcept {
        if (view_) return *view_;
        return *file_;
    }
    bool IsSetupImage() const noexcept { return view_ != nullptr; }
    int64_t ArchiveOffset() const noexcept { return offset_; }

private:
    std::unique_ptr<TFileStream> file_;
    std::unique_ptr<TSubStream> view_;
    int64_t offset_ = 0;
};

}  // namespace kq
