#include "tests/LhasaReference.h"

#include <lha_decoder.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace kq::test {

namespace {

struct LhasaInput {
    const std::vector<uint8_t>* data;
    size_t position = 0;
};

size_t FeedLhasa(void* buffer, size_t length, void* user) {
    auto* in = static_cast<LhasaInput*>(user);
    const size_t n = std::min(length, in->data->size() - in->position);
    std::memcpy(buffer, in->data->data() + in->position, n);
    in->position += n;
    return n;
}

}  // namespace

std::vector<uint8_t> ExpandWithLhasa(const std::vector<uint8_t>& coded, size_t size, const char* method) {
    std::string name = method;
    LHADecoderType* type = lha_decoder_for_name(name.data());
    if (type == nullptr) return {};
    LhasaInput input{&coded};
    LHADecoder* decoder = lha_decoder_new(type, FeedLhasa, &input, size);
    if (decoder == nullptr) return {};
    std::vector<uint8_t> out(size);
    size_t done = 0;
    while (done < size) {
        const size_t n = lha_decoder_read(decoder, out.data() + done, size - done);
        if (n == 0) break;
        done += n;
    }
    lha_decoder_free(decoder);
    out.resize(done);
    return out;
}

}  // namespace kq::test
