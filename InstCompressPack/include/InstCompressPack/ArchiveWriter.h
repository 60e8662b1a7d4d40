// Builds archives in the container format the component expands.
//
// Entries come from streams whose sizes are known ahead. Each entry is read
// once to code it and sum its bytes; its coded bytes wait in a spill buffer
// (memory up to a few MiB, a temporary file beyond) until its header, which
// comes first, can be written. So memory stays bounded whatever the sizes,
// and the archive is written front to back without seeking. With several
// threads, entries are coded side by side; the archive is the same for
// every thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
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
// a stub that is no launcher, an input that changed while it was read.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The writer's view of MethodIndex: the methods it writes, each valued by its
// method byte. Names and ids come from kMethods, encoders from the writer's
// table of them.
enum class PackMethod : uint8_t {
    None = kMethodStored,
    Rle = kMethodRle,
    Lzh1 = kMethodLzh1,
    Lzh5 = kMethodLzh5,
};

// What kqi pack and kqi setup write when no method is given.
inline constexpr PackMethod kDefaultPackMethod = PackMethod::Lzh5;

// By CLI name (MethodInfo::cliName).
std::optional<PackMethod> ParsePackMethod(std::string_view name);
std::string_view PackMethodName(PackMethod method);
constexpr uint8_t MethodByte(PackMethod method) {
    return static_cast<uint8_t>(method);
}
std::string_view MethodIdOf(PackMethod method);
// The CLI names of the methods the writer writes: "none, rle, lzh1 or lh5".
std::string PackMethodNames();

// Largest entry or archive the format's signed 32-bit sizes describe.
inline constexpr int64_t kMaxEntrySize = 2147483647;
inline constexpr size_t kMaxEntryNameLength = 32767;

// One entry to write.
struct PackEntry {
    std::string name;  // ANSI bytes as stored
    int64_t size = 0;  // plain bytes; the stream must give exactly these
    // Opens the entry's bytes at their start, seekable; called once to code
    // the entry (or to read its samples, and then once more if it is coded),
    // and once more when its plain bytes are copied (method none, or the
    // store fallback); an output that cannot seek takes one more read, to sum
    // a stored entry before its header is written. With several threads it
    // is called on worker threads too, for several entries at once.
    std::function<std::unique_ptr<TStream>()> open;
    PackMethod method = kDefaultPackMethod;
    // Stores the entry (method none) when its coded form is not smaller; an
    // entry of 2 MiB or more whose samples show that coding will not shrink
    // it by 1% is stored without being coded (see ShrinkEstimate.h).
    bool storeIfNotSmaller = false;
    std::optional<int32_t> lock;  // this entry's lock, instead of PackOptions::lock
};

struct PackOptions {
    PackOptions() = default;
    PackOptions(std::string id, int32_t keyValue, std::optional<int32_t> lockValue)
        : methodId(std::move(id)), key(keyValue), lock(lockValue) {}

    std::string methodId;  // header id, 3 characters
    int32_t key = 0;
    std::optional<int32_t> lock;  // default: 2 with a non-zero key, else 0
    EncodeOptions encode;
    std::string spillDirectory;  // temporary files for large coded entries; empty: the system's
};

// What was written for one entry.
struct WrittenEntry {
    PackMethod method;  // after the store fallback
    int64_t storedSize;
    uint32_t checksum;  // of the plain bytes, without the key
};

// Told the entry index and how many of its plain bytes are coded so far.
using PackProgress = std::function<void(size_t entry, int64_t bytesDone)>;

// The sizes and names the format cannot describe, before any work: raises
// PackError.
void CheckEntries(const std::vector<PackEntry>& entries);

// Writes the archive header and every entry, front to back.
std::vector<WrittenEntry> WriteArchive(TStream& out, const std::vector<PackEntry>& entries,
                                       const PackOptions& options, const PackProgress& progress = {});

// Convenience for tests and tools: entries held in memory, coded with the
// method given, the whole archive in memory.
struct PackItem {
    std::string name;
    std::vector<uint8_t> plain;
    PackMethod method = PackMethod::Rle;
};
void WriteArchive(TStream& out, const std::vector<PackItem>& items, const PackOptions& options);
std::vector<uint8_t> BuildArchive(const std::vector<PackItem>& items, const PackOptions& options);

// The encoder of `method`, from the writer's table of encoders; PackError
// for a method that has none (none itself).
std::unique_ptr<EntryEncoder> MakeEncoder(PackMethod method, CodedSink sink, const EncodeOptions& options);

// Sum of the bytes, wrapping modulo 2^32.
uint32_t ByteSum(std::span<const uint8_t> bytes);

}  // namespace kq::pack
