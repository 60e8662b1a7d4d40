#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "InstCompress/InstCompress.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/Encoders.h"
#include "tests/LhasaReference.h"
#include "tests/TestArchives.h"

namespace kq {
namespace {

using pack::PackItem;
using pack::PackMethod;
using pack::PackOptions;
using test::Bytes;

Bytes Records(size_t count) {  // binary-looking: little-endian fields, some noise
    std::mt19937 rng(3);
    Bytes out;
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t f : {i, 0x00401000u + i * 16, rng() % 8 == 0 ? static_cast<uint32_t>(rng()) : 0u}) {
            for (int k = 0; k < 32; k += 8) out.push_back(static_cast<uint8_t>(f >> k));
        }
    }
    return out;
}

Bytes RepeatedBlock(size_t period, size_t repeats) {
    const Bytes block = test::RandomBytes(period, static_cast<uint32_t>(period));
    Bytes out;
    for (size_t i = 0; i < repeats; ++i) out.insert(out.end(), block.begin(), block.end());
    return out;
}

struct Input {
    const char* name;
    Bytes data;
    double maxRatio;  // coded size over input size must stay below this
};

// Long enough for many tree rebuilds (one per roughly 16k to 32k symbols).
std::vector<Input> Inputs() {
    Bytes spaced(3000, ' ');
    const std::string tail = "leading spaces copy from the ring's initial fill";
    spaced.insert(spaced.end(), tail.begin(), tail.end());
    return {
        {"pseudo text", test::Words(1500000, 1), 0.45},
        {"records", Records(60000), 0.45},
        {"random", test::RandomBytes(400000, 2), 1.15},
        {"period 4096 (oldest ring byte)", RepeatedBlock(4096, 12), 0.2},
        {"period 4097 (just out of reach)", RepeatedBlock(4097, 3), 1.15},
        {"period 1", Bytes(200000, 'z'), 0.03},
        {"leading spaces", spaced, 0.2},
    };
}

TEST(Lzh1EncoderTest, RoundTripsAndCompresses) {
    for (const Input& in : Inputs()) {
        for (int32_t key : {0, 0x13572468}) {
            const Bytes archive =
                pack::BuildArchive({PackItem{"x", in.data, PackMethod::Lzh1}}, PackOptions{"LZH", key, {}});
            EXPECT_EQ(test::ExpandNamed(archive, "x", key), in.data) << in.name << " key " << key;
        }
        const Bytes coded = pack::EncodeLzh1(in.data);
        EXPECT_LT(static_cast<double>(coded.size()), in.maxRatio * static_cast<double>(in.data.size()))
            << in.name;
    }
}

TEST(Lzh1EncoderTest, EmptyInputGivesNoBytesAndProgressIsReported) {
    EXPECT_TRUE(pack::EncodeLzh1({}).empty());
    std::vector<size_t> reports;
    const Bytes data = test::Words(2500000, 4);
    pack::EncodeLzh1(data, [&](size_t done) { reports.push_back(done); });
    ASSERT_GE(reports.size(), 2u);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), data.size());
}

// Independent -lh1- decoder on our encoder's output.
TEST(Lzh1EncoderTest, LhasaDecodesOurStreams) {
#ifndef KQ_HAVE_LHASA
    GTEST_SKIP() << "liblhasa not available";
#else
    for (const Input& in : Inputs()) {
        EXPECT_EQ(test::ExpandWithLhasa(pack::EncodeLzh1(in.data), in.data.size(), "-lh1-"), in.data)
            << in.name;
    }
#endif
}

// Streams written by jlha's -lh1- encoder expand through the component.
TEST(Lzh1EncoderTest, ExpandsJlhaStreams) {
    const std::filesystem::path jar = "/usr/share/java/jlha.jar";
    if (!std::filesystem::exists(jar) || std::system("java -version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "java or jlha.jar not available";
    }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kq-lzh1-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    std::vector<Input> inputs = Inputs();
    std::string command = "java -cp " + jar.string() + " " KQ_SOURCE_DIR "/tests/tools/JlhaLh1.java encode";
    auto plainPath = [&dir](size_t i) { return (dir / std::to_string(i)).string(); };
    auto codedPath = [&](size_t i) { return plainPath(i).append(".lh1"); };
    for (size_t i = 0; i < inputs.size(); ++i) {
        std::ofstream(plainPath(i), std::ios::binary)
            .write(reinterpret_cast<const char*>(inputs[i].data.data()),
                   static_cast<std::streamsize>(inputs[i].data.size()));
        command.append(" ").append(plainPath(i)).append(" ").append(codedPath(i));
    }
    const int status = std::system(command.c_str());
    for (size_t i = 0; status == 0 && i < inputs.size(); ++i) {
        std::ifstream file(codedPath(i), std::ios::binary);
        const Bytes coded((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const Bytes& plain = inputs[i].data;
        const Bytes archive =
            test::ArchiveBuilder("LZH")
                .Entry("x", kMethodLzh1, static_cast<int32_t>(plain.size()), coded, test::Sum(plain))
                .Build();
        EXPECT_EQ(test::ExpandNamed(archive, "x"), plain) << inputs[i].name;
    }
    std::filesystem::remove_all(dir);
    ASSERT_EQ(status, 0) << command;
}

}  // namespace
}  // namespace kq
