#include "tests/TestData.h"

#include <iterator>
#include <random>
#include <string_view>

namespace kq::test {

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

Bits& Bits::Put(int n, uint32_t value) {
    for (int i = n - 1; i >= 0; --i) {
        if (used_ == 0) bytes_.push_back(0);
        if ((value >> i) & 1) bytes_.back() = static_cast<uint8_t>(bytes_.back() | (0x80 >> used_));
        used_ = (used_ + 1) & 7;
    }
    return *this;
}

Bytes Words(size_t size, uint32_t seed) {
    static constexpr std::string_view kWords[] = {
        "the",     "setup", "archive", "entry",       "key",   "window",       "ring",
        "decoder", "of",    "and",     "to",          "data",  "file",         "stream",
        "huffman", "tree",  "match",   "Installer\\", "block", "KQInstall.exe"};
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(size + 16);
    while (out.size() < size) {
        const std::string_view word = kWords[rng() % std::size(kWords)];
        out.insert(out.end(), word.begin(), word.end());
        out.push_back(rng() % 11 == 0 ? '\n' : ' ');
        if (rng() % 97 == 0) out.push_back(static_cast<uint8_t>('0' + rng() % 10));
    }
    out.resize(size);
    return out;
}

}  // namespace kq::test
