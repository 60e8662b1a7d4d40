// The incremental form of the LZH5 encoder. Until it codes as it goes, it
// collects the entry and codes it whole at Finish; RLE and LZH1 code as the
// bytes arrive (RleEncoder.cpp, Lzh1Encoder.cpp).
#include <utility>

#include "InstCompressPack/Encoders.h"

namespace kq::pack {

namespace {

using WholeEncoder = std::vector<uint8_t> (*)(std::span<const uint8_t>, const EncodeProgress&);

class CollectingEncoder final : public EntryEncoder {
public:
    CollectingEncoder(WholeEncoder encode, CodedSink sink) : encode_(encode), sink_(std::move(sink)) {}
    void Put(std::span<const uint8_t> plain) override { plain_.insert(plain_.end(), plain.begin(), plain.end()); }
    void Finish() override {
        const std::vector<uint8_t> coded = encode_(plain_, {});
        if (!coded.empty()) sink_(coded);
    }

private:
    WholeEncoder encode_;
    CodedSink sink_;
    std::vector<uint8_t> plain_;
};

}  // namespace

std::unique_ptr<EntryEncoder> MakeLzh5Encoder(CodedSink sink, const EncodeOptions&) {
    return std::make_unique<CollectingEncoder>(&EncodeLzh5, std::move(sink));
}

}  // namespace kq::pack
