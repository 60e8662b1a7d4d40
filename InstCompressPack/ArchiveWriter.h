// Builds archives in the container format the component expands.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompressPack/Encoders.h"

namespace kq {
class TStream;
}

namespace kq::pack {

// A request the writer cannot carry out: a size beyond the format's limits,
// a stub that is no launcher.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class PackMethod { None, Rle, Lzh1, Lzh5 };

// What kqi pack and kqi setup write when no method is given.
inline constexpr PackMethod kDefaultPackMethod = PackMethod::Lzh5;

std::optional<PackMethod> ParsePackMethod(std::string_view name);
std::string_view PackMethodName(PackMethod method);
uint8_t MethodByte(PackMethod method);
std::string_view MethodIdOf(PackMethod method);

// The coded form of `plain` under `method`; raises std::runtime_error for a
// method this build cannot write.
std::vector<uint8_t> EncodeWith(PackMethod method, const std::vector<uint8_t>& plain,
                                const std::function<void(size_t)>& progress = {}, const EncodeOptions& encode = {});

struct PackItem {
    std::string name;            // ANSI bytes as stored
    std::vector<uint8_t> plain;  // the entry's contents
    PackMethod method = PackMethod::Rle;
};

struct PackOptions {
    std::string methodId;          // header id, 3 characters
    int32_t key = 0;
    std::optional<int32_t> lock;   // default: 2 with a non-zero key, else 0
    EncodeOptions encode{};        // LZH5: --best and the thread count
};

// Largest entry or archive the format's signed 32-bit sizes describe.
inline constexpr int64_t kMaxEntrySize = 2147483647;

// Told the item index and how many of its plain bytes are coded so far.
using PackProgress = std::function<void(size_t item, size_t bytesDone)>;

// Writes the archive header and every item.
void WriteArchive(TStream& out, const std::vector<PackItem>& items, const PackOptions& options,
                  const PackProgress& progress = {});

// Convenience for tests and tools: the whole archive in memory.
std::vector<uint8_t> BuildArchive(const std::vector<PackItem>& items, const PackOptions& options);

// Sum of the bytes, wrapping modulo 2^32.
uint32_t ByteSum(const std::vector<uint8_t>& bytes);

}  // namespace kq::pack
