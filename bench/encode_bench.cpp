// LZH5 encoding against jlha's -lh5- encoder on the same files: input MB/s
// (wall clock, best of the repeats) and coded size relative to jlha's, for
// the default and --best, with 1 and 2 threads. Every stream is checked
// with lhasa's decoder, and the streams of 1 and 2 threads must be equal.
// jlha runs once per file as a whole process (Java start included).
//
// usage: encode_bench [--repeats N] [FILE...]
//   (default /tmp/corpus/text.bin /tmp/corpus/binary.bin)
// With KQ_BENCH_ROWS set, every bench program adds the lines bench/run.sh
// collects: ROW <tab> table <tab> label <tab> MB/s <tab> size relative to
// the table's reference, or "-".
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "InstCompressPack/Encoders.h"
#include "bench/BenchSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Input {
    fs::path path;
    Bytes plain;
};

// jlha's -lh5- size for one file and the wall time of the run; a size of 0
// when jlha fails or stores the file.
std::pair<size_t, double> RunJlha(const fs::path& file) {
    const fs::path dir = fs::temp_directory_path() / ("encode_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path archive = dir / "a.lzh";
    const fs::path in = fs::absolute(file);
    const std::string command = "cd '" + in.parent_path().string() + "' && jlha co5q '" + archive.string() +
                                "' '" + in.filename().string() + "' > /dev/null 2>&1";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    const double seconds = Seconds(start);
    std::ifstream stream(archive, std::ios::binary);
    const Bytes lzh((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    fs::remove_all(dir);
    const bool ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && lzh.size() > 22 &&
                    std::string(lzh.begin() + 2, lzh.begin() + 7) == "-lh5-";
    if (!ok) return {0, seconds};
    return {lzh[7] | lzh[8] << 8 | lzh[9] << 16 | size_t{lzh[10]} << 24, seconds};
}

}  // namespace

int main(int argc, char** argv) {
    const bool rows = std::getenv("KQ_BENCH_ROWS") != nullptr;
    int repeats = 3;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeats" && i + 1 < argc) {
            repeats = std::max(1, std::atoi(argv[++i]));
        } else {
            files.emplace_back(arg);
        }
    }
    if (files.empty()) files = {"/tmp/corpus/text.bin", "/tmp/corpus/binary.bin"};
    std::vector<Input> inputs;
    size_t plainTotal = 0;
    for (const fs::path& f : files) {
        inputs.push_back({f, kq::bench::ReadFile(f.string())});
        plainTotal += inputs.back().plain.size();
    }
    const double mb = static_cast<double>(plainTotal) / 1e6;
    std::printf("corpus: %zu files, %.1f MB; load average at start: ", inputs.size(), mb);
    std::fflush(stdout);
    std::system("cut -d' ' -f1-3 /proc/loadavg");

    size_t jlhaTotal = 0;
    double jlhaSeconds = 0;
    bool haveJlha = std::system("command -v jlha > /dev/null 2>&1") == 0;
    for (const Input& in : inputs) {
        if (!haveJlha) break;
        const auto [size, seconds] = RunJlha(in.path);
        haveJlha = size > 0;
        jlhaTotal += size;
        jlhaSeconds += seconds;
    }

    struct Mode {
        const char* label;
        bool best;
        unsigned threads;
    };
    const Mode modes[] = {{"ours default -j 1", false, 1},
                          {"ours default -j 2", false, 2},
                          {"ours --best -j 1", true, 1},
                          {"ours --best -j 2", true, 2}};
    std::printf("%-22s %10s %12s %10s\n", "encoder", "MB/s", "bytes", "vs jlha");
    std::vector<Bytes> previous;
    Bytes scratch(65536);
    for (const Mode& mode : modes) {
        std::vector<Bytes> coded(inputs.size());
        double best = 1e30;
        // --best is slow: fewer repeats.
        for (int r = 0; r < (mode.best ? std::max(1, repeats / 3) : repeats); ++r) {
            const auto start = Clock::now();
            for (size_t i = 0; i < inputs.size(); ++i) {
                coded[i] = kq::pack::EncodeLzh5(inputs[i].plain, {mode.best, mode.threads});
            }
            best = std::min(best, Seconds(start));
        }
        size_t total = 0;
        for (size_t i = 0; i < inputs.size(); ++i) {
            total += coded[i].size();
            bool same = true;
            const Bytes& plain = inputs[i].plain;
            const size_t done = kq::bench::ExpandWithLhasa(
                coded[i], plain.size(), "-lh5-", scratch, [&](const uint8_t* piece, size_t n, size_t offset) {
                    same = same && offset + n <= plain.size() &&
                           std::equal(piece, piece + n, plain.begin() + static_cast<ptrdiff_t>(offset));
                });
            if (!same || done != plain.size()) {
                std::fprintf(stderr, "%s: lhasa expands %s differently\n", mode.label,
                             inputs[i].path.c_str());
                return 1;
            }
        }
        if (mode.threads == 2 && coded != previous) {
            std::fprintf(stderr, "%s: the stream differs from the one of -j 1\n", mode.label);
            return 1;
        }
        previous = coded;
        const double ratio = haveJlha ? static_cast<double>(total) / static_cast<double>(jlhaTotal) : 0;
        std::printf("%-22s %10.2f %12zu %10.4f\n", mode.label, mb / best, total, ratio);
        if (rows) std::printf("ROW\tencode\t%s\t%.2f\t%.4f\n", mode.label, mb / best, ratio);
    }
    if (haveJlha) {
        std::printf("%-22s %10.2f %12zu %10.4f   (whole process, once)\n", "jlha co5 (Java)",
                    mb / jlhaSeconds, jlhaTotal, 1.0);
        if (rows) std::printf("ROW\tencode\tjlha co5 (Java)\t%.2f\t1.0000\n", mb / jlhaSeconds);
    } else {
        std::printf("jlha missing or failed: no size comparison\n");
    }
    std::printf("load average at end: ");
    std::fflush(stdout);
    std::system("cut -d' ' -f1-3 /proc/loadavg");
    return 0;
}
