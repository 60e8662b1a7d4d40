// Private to the writer library: bytes held until they can be written, in
// memory up to a bound and in an anonymous temporary file beyond it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kq {
class TStream;
}

namespace kq::pack {

class SpillBuffer {
public:
    static constexpr size_t kDefaultMemoryLimit = size_t{4} << 20;

    // `directory` holds the temporary file; empty: the system's temporary folder.
    explicit SpillBuffer(std::string directory, size_t memoryLimit = kDefaultMemoryLimit);
    ~SpillBuffer();
    SpillBuffer(const SpillBuffer&) = delete;
    SpillBuffer& operator=(const SpillBuffer&) = delete;

    void Append(std::span<const uint8_t> bytes);
    int64_t Size() const { return size_; }
    // Writes everything held to `out` and empties the buffer.
    void MoveTo(TStream& out);

private:
    class TempFile;
    std::string directory_;
    size_t memoryLimit_;
    std::vector<uint8_t> memory_;
    std::unique_ptr<TempFile> file_;
    int64_t size_ = 0;
};

}  // namespace kq::pack
