// LZH1 throughput: encodes each corpus file with our encoder, then expands
// the same coded bytes through the component (in-memory archive into a
// counting stream) and through lhasa's -lh1- decoder, alternately, best of
// seven runs each. Speeds are bytes per processor second.
// With java and jlha.jar present it also compares coded sizes with jlha's
// -lh1- encoder.
//
//   lzh1_bench [FILE...]   (default /tmp/corpus/text.bin /tmp/corpus/binary.bin)
#include <lha_decoder.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "InstCompress/InstCompress.h"
#include "tools/kqi/ArchiveWriter.h"
#include "tools/kqi/Encoders.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kRepeats = 7;

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s (make one with bench/make-corpus.sh DIR)\n", path.c_str());
        std::exit(1);
    }
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Processor seconds of this (single-threaded) process: the machine may be
// shared, and waiting for a core is no part of a coder's speed.
template <typename F>
double BestSeconds(int repeats, F&& run) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const std::clock_t start = std::clock();
        run();
        best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    }
    return best;
}

double MBps(size_t bytes, double seconds) { return static_cast<double>(bytes) / seconds / 1e6; }

Bytes MakeArchive(const Bytes& plain, const Bytes& coded) {
    kq::TMemoryStream out;
    const auto header = kq::BuildArchiveHeader("LZH", static_cast<int32_t>(plain.size()), kq::kArchiveTypeMulti, 0);
    out.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
    kq::EntryHeader h;
    h.nameLength = 1;
    h.expandedSize = static_cast<int32_t>(plain.size());
    h.compressedSize = static_cast<int32_t>(coded.size());
    h.method = kq::kMethodLzh1;
    h.checksum = static_cast<int32_t>(kq::tools::ByteSum(plain));
    const auto raw = kq::BuildEntryHeader(h);
    out.WriteBuffer(raw.data(), static_cast<int32_t>(raw.size()));
    out.WriteBuffer("x", 1);
    out.WriteBuffer(coded.data(), static_cast<int32_t>(coded.size()));
    return std::move(out.Bytes());
}

struct LhasaSource {
    const Bytes* data;
    size_t position;
};

size_t LhasaRead(void* buffer, size_t length, void* user) {
    auto* s = static_cast<LhasaSource*>(user);
    const size_t n = std::min(length, s->data->size() - s->position);
    std::memcpy(buffer, s->data->data() + s->position, n);
    s->position += n;
    return n;
}

size_t LhasaExpand(const Bytes& coded, size_t plainSize, Bytes& scratch) {
    char name[] = "-lh1-";
    LhasaSource source{&coded, 0};
    LHADecoder* decoder = lha_decoder_new(lha_decoder_for_name(name), LhasaRead, &source, plainSize);
    if (decoder == nullptr) std::exit(1);
    size_t total = 0;
    for (size_t n; (n = lha_decoder_read(decoder, scratch.data(), scratch.size())) > 0;) total += n;
    lha_decoder_free(decoder);
    return total;
}

// Size of jlha's -lh1- coding of `path`, or -1 when java or jlha is missing.
long JlhaSize(const std::string& path) {
    const char* jar = "/usr/share/java/jlha.jar";
    if (!std::filesystem::exists(jar) || std::system("java -version > /dev/null 2>&1") != 0) return -1;
    const std::string out = (std::filesystem::temp_directory_path() / "kq-lzh1-bench.lh1").string();
    const std::string command = std::string("java -cp ") + jar + " " KQ_SOURCE_DIR "/tests/tools/JlhaLh1.java encode " +
                                path + " " + out;
    if (std::system(command.c_str()) != 0) return -1;
    const long size = static_cast<long>(std::filesystem::file_size(out));
    std::filesystem::remove(out);
    return size;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files(argv + 1, argv + argc);
    if (files.empty()) files = {"/tmp/corpus/text.bin", "/tmp/corpus/binary.bin"};

    size_t totalPlain = 0, totalCoded = 0;
    double totalEncode = 0, totalOurs = 0, totalLhasa = 0;
    long totalJlha = 0;
    bool haveJlha = true;
    std::printf("%-24s %10s %10s %9s %11s %11s %7s %10s\n", "file", "plain", "coded", "enc MB/s", "ours MB/s",
                "lhasa MB/s", "ratio", "jlha coded");
    for (const std::string& path : files) {
        const Bytes plain = ReadFile(path);
        Bytes coded;
        const double encodeSeconds = BestSeconds(2, [&] { coded = kq::tools::EncodeLzh1(plain); });
        const Bytes archive = MakeArchive(plain, coded);

        kq::TKQInstCompress component;
        int64_t ourBytes = 0;
        Bytes scratch(65536);
        size_t lhasaBytes = 0;
        // Alternate the two decoders so both see the same machine load.
        double ours = 1e30, lhasa = 1e30;
        for (int i = 0; i < kRepeats; ++i) {
            ours = std::min(ours, BestSeconds(1, [&] {
                kq::TMemoryStream source(archive);
                kq::TCountingStream sink;
                component.ExpandNamedEntry(source, sink, "x");
                ourBytes = sink.BytesWritten();
            }));
            lhasa = std::min(lhasa, BestSeconds(1, [&] { lhasaBytes = LhasaExpand(coded, plain.size(), scratch); }));
        }
        if (ourBytes != static_cast<int64_t>(plain.size()) || lhasaBytes != plain.size()) {
            std::fprintf(stderr, "%s: expanded %lld (ours) and %zu (lhasa) of %zu bytes\n", path.c_str(),
                         static_cast<long long>(ourBytes), lhasaBytes, plain.size());
            return 1;
        }
        const long jlha = JlhaSize(path);
        haveJlha = haveJlha && jlha >= 0;
        totalJlha += jlha;

        std::printf("%-24s %10zu %10zu %9.1f %11.1f %11.1f %6.2fx %10ld\n",
                    std::filesystem::path(path).filename().c_str(), plain.size(), coded.size(),
                    MBps(plain.size(), encodeSeconds), MBps(plain.size(), ours), MBps(plain.size(), lhasa),
                    lhasa / ours, jlha);
        totalPlain += plain.size();
        totalCoded += coded.size();
        totalEncode += encodeSeconds;
        totalOurs += ours;
        totalLhasa += lhasa;
    }
    std::printf("%-24s %10zu %10zu %9.1f %11.1f %11.1f %6.2fx %10ld\n", "total", totalPlain, totalCoded,
                MBps(totalPlain, totalEncode), MBps(totalPlain, totalOurs), MBps(totalPlain, totalLhasa),
                totalLhasa / totalOurs, haveJlha ? totalJlha : -1L);
    std::printf("decoder: %.2fx lhasa's -lh1- (target 1.5x); encoder %.1f MB/s (target 10)", totalLhasa / totalOurs,
                MBps(totalPlain, totalEncode));
    if (haveJlha) {
        std::printf("; coded size %.4f of jlha's -lh1-", static_cast<double>(totalCoded) / static_cast<double>(totalJlha));
    } else {
        std::printf("; jlha not available, no size comparison");
    }
    std::printf("\n");
    return 0;
}
