// What both benchmarks need: whole files, and lhasa's decoders run on a raw
// stream.
#pragma once

#include <lhasa.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

namespace detail {
struct LhasaSource {
    const Bytes* data;
    size_t position;
};

inline size_t FeedLhasa(void* buffer, size_t length, void* user) {
    auto* s = static_cast<LhasaSource*>(user);
    const size_t n = std::min(length, s->data->size() - s->position);
    std::memcpy(buffer, s->data->data() + s->position, n);
    s->position += n;
    return n;
}
}  // namespace detail

// Expands a raw stream of `method` ("-lh1-", "-lh5-") through `scratch`,
// handing each piece to onPiece(bytes, count, offset); returns the bytes
// produced.
template <typename OnPiece>
size_t ExpandWithLhasa(const Bytes& coded, size_t plainSize, const char* method, Bytes& scratch, OnPiece onPiece) {
    std::string name = method;
    detail::LhasaSource source{&coded, 0};
    LHADecoder* decoder =
        lha_decoder_new(lha_decoder_for_name(name.data()), detail::FeedLhasa, &source, plainSize);
    if (decoder == nullptr) {
        std::fprintf(stderr, "lhasa has no %s decoder\n", method);
        std::exit(1);
    }
    size_t total = 0;
    for (size_t n; (n = lha_decoder_read(decoder, scratch.data(), scratch.size())) > 0; total += n) {
        onPiece(scratch.data(), n, total);
    }
    lha_decoder_free(decoder);
    return total;
}

inline size_t ExpandWithLhasa(const Bytes& coded, size_t plainSize, const char* method, Bytes& scratch) {
    return ExpandWithLhasa(coded, plainSize, method, scratch, [](const uint8_t*, size_t, size_t) {});
}

}  // namespace kq::bench
