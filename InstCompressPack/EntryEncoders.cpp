// The incremental form of the RLE and LZH1 encoders: until they code as
// they go, it collects the entry and codes it whole at Finish. (LZH5 has a
// segmented one of its own.)
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

std::unique_ptr<EntryEncoder> MakeRleEncoder(CodedSink sink) {
    return std::make_unique<CollectingEncoder>(&EncodeRle, std::move(sink));
}

std::unique_ptr<EntryEncoder> MakeLzh1Encoder(CodedSink sink) {
    return std::make_unique<CollectingEncoder>(&EncodeLzh1, std::move(sink));
}

}  // namespace kq::pack
