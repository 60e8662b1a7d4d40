// Builds archives and launcher images byte by byte for tests, including
// malformed ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "tests/TestData.h"

namespace kq::test {

uint32_t Sum(const Bytes& bytes);

// A launcher image of `size` bytes of 0xCC with the payload marker at `at`
// and the first bytes of `field` after it, as many as fit.
Bytes ImageWithMarker(size_t size, size_t at, const uint8_t field[4]);

class ArchiveBuilder {
public:
    // Header with the given id; total size is computed from the entries
    // unless set explicitly.
    explicit ArchiveBuilder(std::string methodId = "RLE", uint8_t archiveType = 1);

    ArchiveBuilder& Total(int32_t total);
    ArchiveBuilder& Key(int32_t key);
    // One entry with raw stored bytes; the header fields are taken as given.
    ArchiveBuilder& Entry(const std::string& name, uint8_t method, int32_t expandedSize, const Bytes& stored,
                          uint32_t checksum, int32_t lock = 0);
    // One stored entry as a writer makes it: expanded size and checksum from
    // the bytes, plus the key when locked.
    ArchiveBuilder& Stored(const std::string& name, const Bytes& bytes, int32_t lock = 0, int32_t key = 0);
    ArchiveBuilder& Raw(const Bytes& bytes);

    Bytes Build() const;

private:
    std::string methodId_;
    uint8_t archiveType_;
    int32_t key_ = 0;
    bool totalSet_ = false;
    int32_t total_ = 0;
    int64_t sum_ = 0;
    Bytes body_;
};

// The entry names a reader built to the letter of the walk finds, with
// nothing of ours: the header's total; then per entry its 25-byte header and
// name (the walk ends where they cannot be read whole), the end once the
// signed 32-bit running sum of expanded sizes is not below the total, the
// data skipped, the entry's expanded size added.
std::vector<std::string> LetterWalkNames(const Bytes& archive);

// Every entry of that name expanded by a component with `key`.
Bytes ExpandNamed(const Bytes& archive, const std::string& name, int32_t key = 0);

// Stored bytes scrambled with a key as the component expects for lock 2.
Bytes Scramble(Bytes bytes, int32_t key);

}  // namespace kq::test
