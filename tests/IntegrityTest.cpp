// A coded entry succeeds only when its decoder produced its expanded size
// from its own stored data, and an abort always fails it. Each case below
// carries the checksum of what a decoder reading zero bits past the end (or
// ignoring the abort) would produce, so only these rules can fail it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>

#include "InstCompress/CodecPipeline.h"
#include "InstCompress/Decoders.h"
#include "InstCompress/InstCompress.h"
#include "InstCompressPack/Encoders.h"
#include "tests/TestArchives.h"
#include "tests/TestPipeline.h"

namespace kq {
namespace {

using test::ArchiveBuilder;
using test::Bytes;

struct Method {
    const char* name;
    uint8_t index;
    std::function<Bytes(const Bytes&)> encode;
    std::function<void(CodecPipeline&, int32_t)> decode;
};

const Method kLzh1{"LZH1", kMethodLzh1, [](const Bytes& b) { return pack::EncodeLzh1(b); }, DecodeLzh1};
const Method kLzh5{"LZH5", kMethodLzh5, [](const Bytes& b) { return pack::EncodeLzh5(b); }, DecodeLzh5};
const Method kRle{"RLE", kMethodRle, [](const Bytes& b) { return pack::EncodeRle(b); },
                  [](CodecPipeline& pipe, int32_t) { DecodeRle(pipe); }};

struct Outcome {
    std::string failure;  // class name, empty on success
    Bytes output;
    int64_t archivePosition = 0;
};

// Expands entry "e" of a one-entry archive.
Outcome ExpandEntry(const Method& m, int32_t expandedSize, const Bytes& stored, uint32_t checksum,
                    int32_t lock, int32_t key, TShowProgressEvent progress = {}) {
    const Bytes archive = ArchiveBuilder(std::string(kMethodIds[m.index]))
                              .Entry("e", m.index, expandedSize,
                                     lock == 2 ? test::Scramble(stored, key) : stored, checksum, lock)
                              .Build();
    TKQInstCompress component;
    component.Key = key;
    component.OnShowProgress = std::move(progress);
    TMemoryStream source(archive), dest;
    Outcome outcome;
    try {
        component.ExpandNamedEntry(source, dest, "e");
    } catch (const Exception& e) {
        outcome.failure = e.ClassName();
    }
    outcome.output = dest.Bytes();
    outcome.archivePosition = source.Position();
    return outcome;
}

const char* MismatchClass(int32_t lock) {
    return lock > 0 ? "EInvalidKey" : "EBadChecksum";
}

TEST(IntegrityTest, CutCodedStreamsFail) {
    const Bytes plain = test::Words(3000, 1);
    for (const Method* m : {&kLzh1, &kLzh5}) {
        const Bytes coded = m->encode(plain);
        const auto size = static_cast<int32_t>(plain.size());
        ASSERT_TRUE(ExpandEntry(*m, size, coded, test::Sum(plain), 0, 0).failure.empty()) << m->name;
        for (size_t cut : {size_t{0}, size_t{1}, coded.size() / 2, coded.size() - 1}) {
            // Decoding the cut stream followed by zero bytes gives what zero
            // bits past its end would.
            Bytes padded(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(cut));
            padded.resize(cut + 65536, 0);
            const uint32_t letterSum = test::Sum(
                test::RunDecoder(padded, [&](CodecPipeline& pipe) { m->decode(pipe, size); }).output);
            const Bytes stored(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(cut));
            for (int32_t lock : {0, 1}) {
                const int32_t key = lock ? 77 : 0;
                const Outcome o =
                    ExpandEntry(*m, size, stored, letterSum + static_cast<uint32_t>(key), lock, key);
                EXPECT_EQ(o.failure, MismatchClass(lock)) << m->name << " cut " << cut << " lock " << lock;
            }
        }
    }
}

// The 111-byte archive that once wrote 2 GiB of zeros: nothing is written.
TEST(IntegrityTest, ClaimOf2GiBFromNoDataFails) {
    for (const Method* m : {&kLzh1, &kLzh5}) {
        for (const Bytes& stored : {Bytes{}, Bytes{0x00}, Bytes{0xFF}}) {
            for (int32_t lock : {0, 1}) {
                const int32_t key = lock ? 0x1234 : 0;
                const Outcome o = ExpandEntry(*m, 2147483647, stored, static_cast<uint32_t>(key), lock, key);
                EXPECT_EQ(o.failure, MismatchClass(lock))
                    << m->name << " " << stored.size() << " lock " << lock;
                EXPECT_TRUE(o.output.empty()) << m->name;
            }
        }
    }
}

TEST(IntegrityTest, RleOutputOfTheWrongLengthFails) {
    Bytes plain = test::ToBytes("hello");
    plain.resize(1005, 0);
    const Bytes coded = kRle.encode(plain);
    const auto size = static_cast<int32_t>(plain.size());
    EXPECT_EQ(ExpandEntry(kRle, size, coded, test::Sum(plain), 0, 0).output, plain);
    // Lost zero runs leave the sum as it is.
    for (size_t cut = 0; cut < coded.size(); ++cut) {
        const Bytes stored(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(cut));
        const uint32_t letterSum = test::Sum(test::RunDecoder(stored, DecodeRle).output);
        EXPECT_EQ(ExpandEntry(kRle, size, stored, letterSum, 0, 0).failure, "EBadChecksum") << cut;
    }
    for (int32_t wrong : {size - 1, size + 1}) {
        EXPECT_EQ(ExpandEntry(kRle, wrong, coded, test::Sum(plain), 0, 0).failure, "EBadChecksum") << wrong;
        EXPECT_EQ(ExpandEntry(kRle, wrong, coded, test::Sum(plain) + 5, 1, 5).failure, "EInvalidKey")
            << wrong;
    }
}

// An answer of -1 at any chunk fails the entry there: the handler is not
// called again, no further chunk is fetched, and what reached the
// destination is a prefix of the entry.
TEST(IntegrityTest, AbortAtEveryChunkFails) {
    const Bytes plain = test::RandomBytes(30000, 5);
    for (const Method* m : {&kRle, &kLzh1, &kLzh5}) {
        const Bytes coded = m->encode(plain);
        const auto chunks =
            static_cast<int>((coded.size() + CodecPipeline::kBufferSize - 1) / CodecPipeline::kBufferSize);
        ASSERT_GE(chunks, 3) << m->name;
        const int64_t dataStart = kArchiveHeaderSize + kEntryHeaderSize + 1;
        for (int abortAt = 1; abortAt <= chunks; ++abortAt) {
            for (int32_t lock : {0, 2}) {
                const int32_t key = lock ? 0x5A5A0102 : 0;
                int calls = 0;
                const Outcome o = ExpandEntry(*m, static_cast<int32_t>(plain.size()), coded,
                                              test::Sum(plain) + static_cast<uint32_t>(key), lock, key,
                                              [&](int32_t& percent) {
                                                  if (++calls == abortAt) percent = -1;
                                              });
                const std::string where = std::string(m->name) + " chunk " + std::to_string(abortAt);
                EXPECT_EQ(o.failure, MismatchClass(lock)) << where;
                EXPECT_EQ(calls, abortAt) << where;
                EXPECT_EQ(o.archivePosition,
                          dataStart + std::min<int64_t>(int64_t{abortAt} * CodecPipeline::kBufferSize,
                                                        static_cast<int64_t>(coded.size())))
                    << where;
                ASSERT_LE(o.output.size(), plain.size()) << where;
                EXPECT_TRUE(std::equal(o.output.begin(), o.output.end(), plain.begin())) << where;
            }
        }
    }
}

}  // namespace
}  // namespace kq
