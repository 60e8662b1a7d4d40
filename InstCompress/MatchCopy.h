// Match copies for the decoders that keep their window in front of a
// linear output buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kq {

// Bytes a match copy may write past its end.
inline constexpr size_t kCopySlack = 16;

// Copies `length` bytes from `distance` back as if byte by byte in
// increasing order, so a source that overlaps the target repeats the
// pattern. May write up to kCopySlack - 1 bytes past the end.
inline void CopyMatch(uint8_t* to, uint32_t distance, uint32_t length) {
    const uint8_t* from = to - distance;
    uint8_t* const end = to + length;
    // Each piece read lies before the piece written.
    if (distance >= 16) [[likely]] {
        do {
            uint8_t piece[16];
            std::memcpy(piece, from, 16);
            std::memcpy(to, piece, 16);
            from += 16;
            to += 16;
        } while (to < end);
        return;
    }
    if (distance >= 8) {
        do {
            uint64_t w;
            std::memcpy(&w, from, 8);
            std::memcpy(to, &w, 8);
            from += 8;
            to += 8;
        } while (to < end);
        return;
    }
    if (distance == 1) {
        std::memset(to, *from, length);
        return;
    }
    do {
        *to++ = *from++;
    } while (to < end);
}

// Bytes CopyMatchWide may write past its end.
inline constexpr size_t kWideCopySlack = 32;

// CopyMatch for decoders whose matches are mostly short: a distance of 16
// or more copies 32 bytes without a loop branch first. May write up to
// kWideCopySlack - 1 bytes past the end.
inline void CopyMatchWide(uint8_t* to, uint32_t distance, uint32_t length) {
    if (distance < 16) [[unlikely]] {
        CopyMatch(to, distance, length);
        return;
    }
    const uint8_t* from = to - distance;
    uint8_t* const end = to + length;
    // As in CopyMatch, each piece read lies before the piece written.
    do {
        uint8_t piece[32];
        std::memcpy(piece, from, 16);
        std::memcpy(to, piece, 16);
        std::memcpy(piece + 16, from + 16, 16);
        std::memcpy(to + 16, piece + 16, 16);
        from += 32;
        to += 32;
    } while (to < end);
}

}  // namespace kq
