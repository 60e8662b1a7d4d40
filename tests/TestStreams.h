// Streams that record how they are used.
#pragma once

#include <vector>

#include "InstCompress/Stream.h"

namespace kq::test {

// Memory stream that logs the size of every Write call.
class RecordingStream final : public TStream {
public:
    int32_t Read(void* buffer, int32_t count) override { return inner_.Read(buffer, count); }
    int32_t Write(const void* buffer, int32_t count) override {
        writes.push_back(count);
        return inner_.Write(buffer, count);
    }
    int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
    int64_t Size() override { return inner_.Size(); }
    const std::vector<uint8_t>& Bytes() const { return inner_.Bytes(); }

    std::vector<int32_t> writes;

private:
    TMemoryStream inner_;
};

// Accepts at most `capacity` bytes in all, then writes short.
class FullDiskStream final : public TStream {
public:
    explicit FullDiskStream(int32_t capacity) : capacity_(capacity) {}
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void*, int32_t count) override {
        const int32_t n = count < capacity_ ? count : capacity_;
        capacity_ -= n;
        return n;
    }
    int64_t Seek(int64_t, SeekOrigin) override { return 0; }

private:
    int32_t capacity_;
};

}  // namespace kq::test
