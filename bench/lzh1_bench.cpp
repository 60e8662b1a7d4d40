// LZH1 throughput: encodes each corpus file with our encoder, then expands
// the same coded bytes through the component (in-memory archive into a
// counting stream) and through lhasa's -lh1- decoder, alternately, best of
// seven runs each. Speeds are bytes per processor second.
// With java and jlha.jar present it also compares coded sizes with jlha's
// -lh1- encoder.
//
//   lzh1_bench [FILE...]   (default /tmp/corpus/text.bin /tmp/corpus/binary.bin)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "InstCompress/InstCompress.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/Encoders.h"
#include "bench/BenchSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kq::bench::ReadFile;
constexpr int kRepeats = 7;

using kq::bench::BestSeconds;

double MBps(size_t bytes, double seconds) {
    return static_cast<double>(bytes) / seconds / 1e6;
}

Bytes MakeArchive(const Bytes& plain, const Bytes& coded) {
    kq::TMemoryStream out;
    const auto header =
        kq::BuildArchiveHeader("LZH", static_cast<int32_t>(plain.size()), kq::kArchiveTypeMulti, 0);
    out.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
    kq::EntryHeader h;
    h.nameLength = 1;
    h.expandedSize = static_cast<int32_t>(plain.size());
    h.storedSize = static_cast<int32_t>(coded.size());
    h.method = kq::kMethodLzh1;
    h.checksum = static_cast<int32_t>(kq::pack::ByteSum(plain));
    const auto raw = kq::BuildEntryHeader(h);
    out.WriteBuffer(raw.data(), static_cast<int32_t>(raw.size()));
    out.WriteBuffer("x", 1);
    out.WriteBuffer(coded.data(), static_cast<int32_t>(coded.size()));
    return std::move(out.Bytes());
}

// Size of jlha's -lh1- coding of `path`, or -1 when java or jlha is missing.
long JlhaSize(const std::string& path) {
    const char* jar = "/usr/share/java/jlha.jar";
    if (!std::filesystem::exists(jar) || std::system("java -version > /dev/null 2>&1") != 0) return -1;
    const std::string out = (std::filesystem::temp_directory_path() / "kq-lzh1-bench.lh1").string();
    const std::string command = std::string("java -cp ") + jar +
                                " " KQ_SOURCE_DIR "/tests/tools/JlhaLh1.java encode " + path + " " + out;
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
        const double encodeSeconds = BestSeconds(2, [&] { coded = kq::pack::EncodeLzh1(plain); });
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
            lhasa = std::min(lhasa, BestSeconds(1, [&] {
                                 lhasaBytes =
                                     kq::bench::ExpandWithLhasa(coded, plain.size(), "-lh1-", scratch);
                             }));
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
    std::printf("decoder: %.2fx lhasa's -lh1- (target 1.5x); encoder %.1f MB/s (target 10)",
                totalLhasa / totalOurs, MBps(totalPlain, totalEncode));
    if (haveJlha) {
        std::printf("; coded size %.4f of jlha's -lh1-",
                    static_cast<double>(totalCoded) / static_cast<double>(totalJlha));
    } else {
        std::printf("; jlha not available, no size comparison");
    }
    std::printf("\n");
    return 0;
}
