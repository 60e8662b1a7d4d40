// Round trip: arbitrary bytes through each encoder, whole and incremental,
// into an archive, and back through the component; any difference aborts.
// Stored entries, explicit and by the store fallback, also with one byte
// changed, which must fail.
// Input: 1 byte of options, 1 byte seeding the piece sizes of the
// incremental encoders, then the plain bytes.
//   options bit 0: lock the entries with a key (lock 2, scrambled)
//   options bit 1: LZH5 --best        options bit 2: LZH5 on 2 threads
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/InstCompress.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/Encoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const char* what, const char* method) {
    std::fprintf(stderr, "round trip failed: %s (%s)\n", what, method);
    std::abort();
}

// Feeds `plain` to the encoder in pieces of 0 to 4 * 256 bytes, their sizes
// drawn from a small generator seeded by the input.
Bytes EncodeInPieces(
    std::span<const uint8_t> plain, uint8_t seed,
    const std::function<std::unique_ptr<kq::pack::EntryEncoder>(kq::pack::CodedSink)>& make) {
    Bytes coded;
    auto encoder =
        make([&](std::span<const uint8_t> piece) { coded.insert(coded.end(), piece.begin(), piece.end()); });
    uint32_t state = 0x9E3779B9u ^ seed;
    size_t at = 0;
    while (at < plain.size()) {
        state = state * 1664525u + 1013904223u;
        const size_t n = std::min<size_t>(plain.size() - at, (state >> 22) & (4 * 256 - 1));
        encoder->Put(plain.subspan(at, n));
        at += n;
    }
    encoder->Finish();
    return coded;
}

// One entry named "e" holding `coded`, expanded by a component.
Bytes Expand(const Bytes& coded, uint8_t method, std::span<const uint8_t> plain, int32_t key,
             const char* name) {
    uint32_t sum = 0;
    for (uint8_t b : plain) sum += b;
    Bytes stored = coded;
    kq::EntryHeader entry;
    entry.nameLength = 1;
    entry.expandedSize = static_cast<int32_t>(plain.size());
    entry.storedSize = static_cast<int32_t>(stored.size());
    entry.method = method;
    entry.checksum = static_cast<int32_t>(sum + static_cast<uint32_t>(key));
    entry.lock = key != 0 ? 2 : 0;
    if (key != 0) {
        uint8_t k[4];
        kq::StoreLE32(k, static_cast<uint32_t>(key));
        for (size_t i = 0; i < stored.size(); ++i) stored[i] ^= k[i & 3];
    }
    const auto header =
        kq::BuildArchiveHeader(kq::kMethodIds[method], entry.expandedSize, kq::kArchiveTypeMulti, key);
    const auto raw = kq::BuildEntryHeader(entry);
    Bytes archive(header.begin(), header.end());
    archive.insert(archive.end(), raw.begin(), raw.end());
    archive.push_back('e');
    archive.insert(archive.end(), stored.begin(), stored.end());

    kq::TKQInstCompress component;
    component.Key = key;
    kq::TSpanStream source(archive.data(), archive.size());
    kq::TMemoryStream dest;
    try {
        component.ExpandNamedEntry(source, dest, "e");
    } catch (const kq::Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
        Fail("expansion failed", name);
    }
    if (source.Position() != static_cast<int64_t>(archive.size())) Fail("stored data not used up", name);
    return dest.Bytes();
}

void Check(const Bytes& coded, uint8_t method, std::span<const uint8_t> plain, int32_t key,
           const char* name) {
    const Bytes back = Expand(coded, method, plain, key, name);
    if (back.size() != plain.size() || !std::equal(back.begin(), back.end(), plain.begin())) {
        Fail("output differs from the input", name);
    }
}

// Stored entries as the writer makes them, explicitly and by the store
// fallback: each expands back, and with one byte of its data changed (where
// and how drawn from the seed) its expansion must fail.
void CheckStored(std::span<const uint8_t> plain, int32_t key, uint8_t seed) {
    using namespace kq::pack;
    for (const PackMethod method : {PackMethod::None, PackMethod::Rle, PackMethod::Lzh5}) {
        const char* name = method == PackMethod::None ? "stored" : "store fallback";
        const PackEntry entry{
            "e",
            static_cast<int64_t>(plain.size()),
            [plain] { return std::make_unique<kq::TSpanStream>(plain.data(), plain.size()); },
            method,
            /*storeIfNotSmaller=*/true,
            std::nullopt};
        kq::TMemoryStream out;
        const std::vector<WrittenEntry> written =
            WriteArchive(out, {entry}, PackOptions("NON", key, std::nullopt));
        if (written[0].method != PackMethod::None) continue;  // coding made it smaller
        Bytes archive = out.Bytes();
        const auto expand = [&] {
            kq::TKQInstCompress component;
            component.Key = key;
            kq::TSpanStream source(archive.data(), archive.size());
            kq::TMemoryStream dest;
            component.ExpandNamedEntry(source, dest, "e");
            return dest.Bytes();
        };
        try {
            const Bytes back = expand();
            if (back.size() != plain.size() || !std::equal(back.begin(), back.end(), plain.begin())) {
                Fail("output differs from the input", name);
            }
        } catch (const kq::Exception& e) {
            std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
            Fail("expansion failed", name);
        }
        if (plain.empty()) continue;
        const auto data = static_cast<size_t>(kq::kArchiveHeaderSize + kq::kEntryHeaderSize + 1);
        archive[data + (static_cast<size_t>(seed) * 2654435761u) % plain.size()] ^=
            static_cast<uint8_t>(1u << (seed & 7));
        bool failed = false;
        try {
            expand();
        } catch (const kq::Exception&) {
            failed = true;
        }
        if (!failed) Fail("a changed byte passed", name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kq::pack;
    if (size < 2) return 0;
    const uint8_t options = data[0];
    const uint8_t seed = data[1];
    const std::span<const uint8_t> plain(data + 2, size - 2);
    const int32_t key = (options & 1) ? static_cast<int32_t>(0x9E3779B9u ^ seed) : 0;
    EncodeOptions lzh5Options;
    lzh5Options.best = (options & 2) != 0;
    lzh5Options.threads = (options & 4) ? 2 : 1;

    const Bytes rle = EncodeRle(plain);
    const Bytes lzh1 = EncodeLzh1(plain);
    const Bytes lzh5 = EncodeLzh5(plain);
    Check(rle, kq::kMethodRle, plain, key, "RLE");
    Check(lzh1, kq::kMethodLzh1, plain, key, "LZH1");
    Check(lzh5, kq::kMethodLzh5, plain, key, "LZH5");

    // The incremental forms give the same bytes whatever the pieces.
    if (EncodeInPieces(plain, seed, MakeRleEncoder) != rle) Fail("incremental coding differs", "RLE");
    if (EncodeInPieces(plain, seed, MakeLzh1Encoder) != lzh1) Fail("incremental coding differs", "LZH1");
    const Bytes lzh5Pieces = EncodeInPieces(
        plain, seed, [&](CodedSink sink) { return MakeLzh5Encoder(std::move(sink), lzh5Options); });
    if (!lzh5Options.best && lzh5Pieces != lzh5) Fail("incremental coding differs", "LZH5");
    Check(lzh5Pieces, kq::kMethodLzh5, plain, key, "LZH5 incremental");
    CheckStored(plain, key, seed);
    return 0;
}
