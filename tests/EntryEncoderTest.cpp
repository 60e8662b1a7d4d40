// The incremental encoders give the same bytes as the whole-input functions
// however the input is cut into pieces.
#include <gtest/gtest.h>

#include <random>

#include "InstCompressPack/Encoders.h"
#include "tests/TestData.h"

namespace kq {
namespace {

using test::Bytes;

Bytes Mixed(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        switch (rng() % 4) {
            case 0:
                out.insert(out.end(), 1 + rng() % 700, static_cast<uint8_t>(rng() % 3 == 0 ? 0x94 : rng()));
                break;
            case 1:
                for (int i = 0; i < 200; ++i) out.push_back(static_cast<uint8_t>(rng()));
                break;
            default: {  // a repeat of something recent
                const size_t back = 1 + rng() % std::min<size_t>(out.size() + 1, 9000);
                const size_t length = 3 + rng() % 300;
                for (size_t i = 0; i < length && back <= out.size(); ++i)
                    out.push_back(out[out.size() - back]);
            }
        }
    }
    out.resize(size);
    return out;
}

TEST(EntryEncoderTest, PiecesGiveTheWholeInputsBytes) {
    using Make = std::unique_ptr<pack::EntryEncoder> (*)(pack::CodedSink);
    struct Method {
        const char* name;
        Make make;
        std::vector<uint8_t> (*whole)(std::span<const uint8_t>, const pack::EncodeProgress&);
    };
    const Method methods[] = {
        {"rle", &pack::MakeRleEncoder, &pack::EncodeRle},
        {"lzh1", &pack::MakeLzh1Encoder, &pack::EncodeLzh1},
        {"lzh5", [](pack::CodedSink sink) { return pack::MakeLzh5Encoder(std::move(sink)); },
         &pack::EncodeLzh5},
    };
    const std::vector<Bytes> inputs = {
        {}, {'a'}, {'a', 'b'}, Bytes(70, ' '), Mixed(5000, 1), Mixed(400000, 2)};
    std::mt19937 rng(3);
    for (const Method& m : methods) {
        for (const Bytes& input : inputs) {
            const Bytes expected = m.whole(input, {});
            for (const size_t piece : {size_t{1}, size_t{61}, size_t{65536}, size_t{0}}) {  // 0: random sizes
                Bytes coded;
                auto encoder = m.make(
                    [&](std::span<const uint8_t> c) { coded.insert(coded.end(), c.begin(), c.end()); });
                for (size_t at = 0; at < input.size();) {
                    const size_t n = std::min(input.size() - at, piece ? piece : 1 + rng() % 100000);
                    encoder->Put(std::span(input).subspan(at, n));
                    at += n;
                }
                encoder->Finish();
                EXPECT_EQ(coded, expected)
                    << m.name << ", " << input.size() << " bytes in pieces of " << piece;
            }
        }
    }
}

}  // namespace
}  // namespace kq
