#include "InstCompress/EntryReader.h"

#include <array>
#include <cassert>

#include "InstCompress/InstCompress.h"
#include "InstCompress/PayloadLocator.h"

namespace kq {

TEntryReader::TEntryReader(TStream& archive, TKQInstCompress& component)
    : archive_(archive), component_(component) {
    header_ =
        ReadArchiveHeader(archive_, [this](const std::string& id) { component_.RecognizeMethodId(id); });
    headerOffset_ = archive_.Position();
}

const ArchiveEntry* TEntryReader::Next() {
    if (end_ != End::None) return nullptr;
    switch (current_) {
        case Current::Untouched:
        case Current::Tested: archive_.SetPosition(entry_.dataOffset + entry_.storedSize); break;
        case Current::None:
        case Current::Expanded: break;
    }
    current_ = Current::None;

    headerOffset_ = archive_.Position();
    auto read = ReadEntryHeader(archive_);
    if (!read) {
        end_ = End::NoHeader;
        return nullptr;
    }
    if (static_cast<int32_t>(runningSum_) >= header_.totalSize) {
        end_ = End::TotalReached;
        return nullptr;
    }
    const EntryHeader& h = read->header;
    runningSum_ += static_cast<uint32_t>(h.expandedSize);

    entry_.name = std::move(read->name);
    entry_.method = h.method;
    entry_.lock = h.lock;
    entry_.expandedSize = h.expandedSize;
    entry_.storedSize = h.storedSize;
    entry_.checksum = static_cast<uint32_t>(h.checksum);
    entry_.dataOffset = archive_.Position();
    entry_.uninterpreted = h.uninterpreted;
    current_ = Current::Untouched;
    return &entry_;
}

void TEntryReader::Expand(TStream& dest) {
    assert(current_ == Current::Untouched);
    current_ = Current::Expanded;
    component_.ExpandEntry(dest, archive_, entry_.lock, header_.methodId, entry_.method, entry_.checksum,
                           entry_.expandedSize, entry_.storedSize);
}

void TEntryReader::Test() {
    assert(current_ == Current::Untouched);
    current_ = Current::Tested;
    TCountingStream sink;
    component_.ExpandEntry(sink, archive_, entry_.lock, header_.methodId, entry_.method, entry_.checksum,
                           entry_.expandedSize, entry_.storedSize);
}

TArchiveFile::TArchiveFile(const std::string& path, FileMode mode)
    : file_(std::make_unique<TFileStream>(path, mode)) {
    std::array<uint8_t, kArchiveSignature.size()> head{};
    const int32_t got = file_->Read(head.data(), static_cast<int32_t>(head.size()));
    file_->SetPosition(0);
    if (got == static_cast<int32_t>(head.size()) && head == kArchiveSignature) return;
    payload_ = ReadPayloadFields(*file_);
    if (const auto archive = payload_.Archive()) {
        offset_ = archive->start;
        view_ = std::make_unique<TSubStream>(*file_, offset_, archive->length);
    }
    file_->SetPosition(0);
}

}  // namespace kq
