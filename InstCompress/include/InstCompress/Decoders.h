// The built-in decoders; each reads and writes only through the pipeline.
#pragma once

#include <cstdint>

namespace kq {

class CodecPipeline;

// Run-length code with marker 0x94; runs until the stored data is used up.
void DecodeRle(CodecPipeline& pipe);
// DecodeRle, failing the entry (EBadChecksum) unless it gave `expectedSize`
// bytes: the RLE stream carries no length, so lost runs show only here.
void ExpandRle(CodecPipeline& pipe, int32_t expectedSize);

// Adaptive-Huffman LZSS over a 4096-byte ring; produces at least
// `expectedSize` bytes (a final match is written whole).
void DecodeLzh1(CodecPipeline& pipe, int32_t expectedSize);

// Static-Huffman LZSS with an 8 KiB window, in blocks; produces at least
// `expectedSize` bytes. Raises ELZHBadDecodeTable on a bad code table.
void DecodeLzh5(CodecPipeline& pipe, int32_t expectedSize);

}  // namespace kq
