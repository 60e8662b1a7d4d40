// Run-length decoder. Tokens: a literal byte other than 0x94; 0x94 0x00 for
// one 0x94; 0x94 N (N > 0) for N - 1 copies of the previous token's first
// byte. There is no length: the stored data decides where it ends.
#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"

namespace kq {

void DecodeRle(CodecPipeline& pipe) {
    constexpr uint8_t kMarker = 0x94;
    uint8_t previous = 0;
    for (;;) {
        const uint8_t token = pipe.ReadByte();
        if (pipe.EndOfInput()) return;
        if (token != kMarker) {
            pipe.WriteByte(token);
        } else {
            const uint8_t count = pipe.ReadByte();  // a missing count reads as 0
            if (count == 0) {
                pipe.WriteByte(kMarker);
            } else {
                for (int i = 1; i < count; ++i) pipe.WriteByte(previous);
            }
        }
        previous = token;
    }
}

void ExpandRle(CodecPipeline& pipe, int32_t expectedSize) {
    DecodeRle(pipe);
    if (pipe.OutputSize() != expectedSize) CodecPipeline::FailEntry();
}

}  // namespace kq
