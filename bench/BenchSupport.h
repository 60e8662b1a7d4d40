// What the benchmarks share: whole files, lhasa's decoders run on a raw
// stream, and .lzh files for `7z t`.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/LhasaReference.h"

namespace kq::bench {

using Bytes = std::vector<uint8_t>;

// The whole file; an unreadable one ends the run.
inline Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s (bench/make-corpus.sh DIR makes a corpus)\n", path.c_str());
        std::exit(1);
    }
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// lhasa's decoder of `method` ("-lh1-", "-lh5-") over a raw stream, through
// `scratch`, handing each piece to onPiece(bytes, count, offset); returns the
// bytes produced. A method lhasa lacks ends the run.
inline size_t ExpandWithLhasa(const Bytes& coded, size_t plainSize, const char* method, Bytes& scratch,
                              const test::LhasaPiece& onPiece = {}) {
    const std::optional<size_t> done = test::ExpandWithLhasa(coded, plainSize, method, scratch, onPiece);
    if (!done) {
        std::fprintf(stderr, "lhasa has no %s decoder\n", method);
        std::exit(1);
    }
    return *done;
}

struct LzhMember {
    std::string name;
    const Bytes* plain;
    const Bytes* coded;
};

inline uint16_t Crc16(const Bytes& data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc = static_cast<uint16_t>(crc ^ b);
        for (int k = 0; k < 8; ++k) crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
    return crc;
}

// An .lzh file (level 0 headers, then the end mark) holding the coded
// streams of `method` ("-lh1-", "-lh5-").
inline Bytes BuildLzh(const std::vector<LzhMember>& members, const std::string& method) {
    Bytes out;
    for (const LzhMember& m : members) {
        Bytes h;
        auto put32 = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        h.insert(h.end(), method.begin(), method.end());
        put32(static_cast<uint32_t>(m.coded->size()));
        put32(static_cast<uint32_t>(m.plain->size()));
        put32(0x5A210000);  // DOS time stamp
        h.push_back(0x20);  // attribute
        h.push_back(0);     // level
        h.push_back(static_cast<uint8_t>(m.name.size()));
        h.insert(h.end(), m.name.begin(), m.name.end());
        const uint16_t crc = Crc16(*m.plain);
        h.push_back(static_cast<uint8_t>(crc));
        h.push_back(static_cast<uint8_t>(crc >> 8));
        uint8_t sum = 0;
        for (uint8_t b : h) sum = static_cast<uint8_t>(sum + b);
        out.push_back(static_cast<uint8_t>(h.size()));
        out.push_back(sum);
        out.insert(out.end(), h.begin(), h.end());
        out.insert(out.end(), m.coded->begin(), m.coded->end());
    }
    out.push_back(0);
    return out;
}

// Best processor seconds of `run` over `repeats` runs: the machine may be
// shared, and waiting for a core is no part of a coder's speed.
template <typename Run>
double BestSeconds(int repeats, Run&& run) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const std::clock_t start = std::clock();
        run();
        best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    }
    return best;
}

}  // namespace kq::bench
