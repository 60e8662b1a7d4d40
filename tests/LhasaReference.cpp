#include "tests/LhasaReference.h"

#include <lha_decoder.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace kq::test {

namespace {

struct LhasaInput {
    std::span<const uint8_t> data;
    size_t position = 0;
};

size_t FeedLhasa(void* buffer, size_t length, void* user) {
    auto* in = static_cast<LhasaInput*>(user);
    const size_t n = std::min(length, in->data.size() - in->position);
    std::memcpy(buffer, in->data.data() + in->position, n);
    in->position += n;
    return n;
}

}  // namespace

std::optional<size_t> ExpandWithLhasa(std::span<const uint8_t> coded, size_t size, const char* method,
                                      std::vector<uint8_t>& scratch, const LhasaPiece& onPiece) {
    std::string name = method;
    LHADecoderType* type = lha_decoder_for_name(name.data());
    if (type == nullptr) return std::nullopt;
    LhasaInput input{coded};
    LHADecoder* decoder = lha_decoder_new(type, FeedLhasa, &input, size);
    if (decoder == nullptr) return std::nullopt;
    if (scratch.empty()) scratch.resize(65536);
    size_t done = 0;
    while (done < size) {
        const size_t n = lha_decoder_read(decoder, scratch.data(), std::min(scratch.size(), size - done));
        if (n == 0) break;
        if (onPiece) onPiece(scratch.data(), n, done);
        done += n;
    }
    lha_decoder_free(decoder);
    return done;
}

std::vector<uint8_t> ExpandWithLhasa(std::span<const uint8_t> coded, size_t size, const char* method) {
    std::vector<uint8_t> out(size);
    size_t done = 0;
    std::vector<uint8_t> scratch;
    if (!ExpandWithLhasa(coded, size, method, scratch,
                         [&](const uint8_t* bytes, size_t count, size_t offset) {
                             std::copy_n(bytes, count, out.begin() + static_cast<ptrdiff_t>(offset));
                             done = offset + count;
                         })) {
        return {};
    }
    out.resize(done);
    return out;
}

}  // namespace kq::test
