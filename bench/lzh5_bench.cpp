// LH5 throughput: our encoder's streams expanded through the component
// (codec pipeline with checksum, into a counting stream), by lhasa's -lh5-
// decoder, and by `7z t` on an .lzh holding the same streams; then the
// encoder's speed and size against `jlha co5`.
//
// usage: lzh5_bench [FILE...]   (default /tmp/corpus/text.bin /tmp/corpus/binary.bin)
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/InstCompress.h"
#include "InstCompress/Stream.h"
#include "bench/BenchSupport.h"
#include "InstCompressPack/Encoders.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kq::bench::ReadFile;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kRepeats = 3;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// CPU time of this process, and of its ended children (user + system).
double ProcessCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    auto seconds = [](const timeval& v) { return static_cast<double>(v.tv_sec) + static_cast<double>(v.tv_usec) * 1e-6; };
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// Best wall and best CPU time over the repeats.
struct Timing {
    double wall = 1e30;
    double cpu = 1e30;
    void Add(double w, double c) {
        wall = std::min(wall, w);
        cpu = std::min(cpu, c);
    }
};

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Member {
    std::string name;
    Bytes plain;
    Bytes coded;
};

// Runs a shell command, returns its wall time in seconds, or -1 when it
// fails; `cpu` receives the CPU time of the processes it started.
double TimeCommand(const std::string& command, double* cpu = nullptr) {
    const double cpuStart = ChildrenCpu();
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    const double seconds = Seconds(start);
    if (cpu != nullptr) *cpu = ChildrenCpu() - cpuStart;
    return (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? seconds : -1;
}

Bytes BuildArchive(const std::vector<Member>& members) {
    int64_t total = 0;
    for (const Member& m : members) total += static_cast<int64_t>(m.plain.size());
    const auto header = kq::BuildArchiveHeader("LH5", static_cast<int32_t>(total), 1, 0);
    Bytes out(header.begin(), header.end());
    for (const Member& m : members) {
        kq::EntryHeader e;
        e.nameLength = static_cast<int16_t>(m.name.size());
        e.expandedSize = static_cast<int32_t>(m.plain.size());
        e.compressedSize = static_cast<int32_t>(m.coded.size());
        e.method = kq::kMethodLzh5;
        uint32_t sum = 0;
        for (uint8_t b : m.plain) sum += b;
        e.checksum = static_cast<int32_t>(sum);
        const auto raw = kq::BuildEntryHeader(e);
        out.insert(out.end(), raw.begin(), raw.end());
        out.insert(out.end(), m.name.begin(), m.name.end());
        out.insert(out.end(), m.coded.begin(), m.coded.end());
    }
    return out;
}

// Expands with lhasa into a reused buffer; returns the bytes produced and
// checks them against the plain data when asked.
size_t ExpandWithLhasa(const Member& m, Bytes& buffer, bool verify) {
    bool same = true;
    const size_t done = kq::bench::ExpandWithLhasa(
        m.coded, m.plain.size(), "-lh5-", buffer, [&](const uint8_t* piece, size_t n, size_t offset) {
            if (!verify || !same) return;
            same = offset + n <= m.plain.size() &&
                   std::equal(piece, piece + n, m.plain.begin() + static_cast<ptrdiff_t>(offset));
        });
    if (verify && (!same || done != m.plain.size())) {
        std::fprintf(stderr, "lhasa expanded %s differently\n", m.name.c_str());
        std::exit(1);
    }
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) files.emplace_back(argv[i]);
    if (files.empty()) files = {"/tmp/corpus/text.bin", "/tmp/corpus/binary.bin"};

    std::vector<Member> members;
    size_t plainTotal = 0;
    for (const fs::path& f : files) {
        Bytes plain = ReadFile(f.string());
        if (plain.empty()) {
            std::fprintf(stderr, "cannot read %s (bench/make-corpus.sh makes a corpus)\n", f.c_str());
            return 1;
        }
        plainTotal += plain.size();
        members.push_back({f.filename().string(), std::move(plain), {}});
    }
    const double mb = static_cast<double>(plainTotal) / 1e6;
    std::printf("corpus: %zu files, %.1f MB\n", members.size(), mb);

    // Encoder.
    size_t codedTotal = 0;
    const double encodeCpuStart = ProcessCpu();
    const auto encodeStart = Clock::now();
    for (Member& m : members) {
        m.coded = kq::pack::EncodeLzh5(m.plain);
        codedTotal += m.coded.size();
    }
    const double encodeSeconds = Seconds(encodeStart);
    const double encodeCpu = ProcessCpu() - encodeCpuStart;
    std::printf("encoder: %.2f MB/s wall, %.2f MB/s CPU; %zu bytes (%.2f%% of the input)\n", mb / encodeSeconds,
                mb / encodeCpu, codedTotal,
                100.0 * static_cast<double>(codedTotal) / static_cast<double>(plainTotal));

    // Our decoder through the component: ExpandNamedEntry on an in-memory
    // archive, checksum verified, into a counting stream.
    const Bytes archive = BuildArchive(members);
    Timing ours;
    for (int r = 0; r < kRepeats; ++r) {
        const double cpuStart = ProcessCpu();
        const auto start = Clock::now();
        int64_t produced = 0;
        for (const Member& m : members) {
            kq::TKQInstCompress component;
            kq::TMemoryStream source(archive);
            kq::TCountingStream dest;
            component.ExpandNamedEntry(source, dest, m.name);
            produced += dest.BytesWritten();
        }
        ours.Add(Seconds(start), ProcessCpu() - cpuStart);
        if (produced != static_cast<int64_t>(plainTotal)) {
            std::fprintf(stderr, "component produced %lld bytes\n", static_cast<long long>(produced));
            return 1;
        }
    }

    // lhasa on the same coded bytes.
    Bytes buffer(65536);
    for (const Member& m : members) ExpandWithLhasa(m, buffer, true);
    Timing lhasa;
    for (int r = 0; r < kRepeats; ++r) {
        const double cpuStart = ProcessCpu();
        const auto start = Clock::now();
        for (const Member& m : members) ExpandWithLhasa(m, buffer, false);
        lhasa.Add(Seconds(start), ProcessCpu() - cpuStart);
    }

    // 7z t on an .lzh with the same streams: wall time of the whole process
    // (start, read, expand, CRC check), nothing subtracted.
    const fs::path lzh = fs::temp_directory_path() / ("lzh5_bench_" + std::to_string(getpid()) + ".lzh");
    std::vector<kq::bench::LzhMember> lzhMembers;
    for (const Member& m : members) lzhMembers.push_back({m.name, &m.plain, &m.coded});
    WriteFile(lzh, kq::bench::BuildLzh(lzhMembers, "-lh5-"));
    Timing sevenZip;
    bool sevenZipOk = true;
    for (int r = 0; r < kRepeats && sevenZipOk; ++r) {
        double cpu = 0;
        const double s = TimeCommand("7z t '" + lzh.string() + "' > /dev/null 2>&1", &cpu);
        sevenZipOk = s >= 0;
        sevenZip.Add(s, cpu);
    }
    fs::remove(lzh);

    std::printf("expand, output MB/s, best of %d (wall clock | CPU time):\n", kRepeats);
    std::printf("  ours (component, checksum)  %8.1f | %8.1f\n", mb / ours.wall, mb / ours.cpu);
    std::printf("  lhasa -lh5- decoder         %8.1f | %8.1f   ours/lhasa = %.2f | %.2f\n", mb / lhasa.wall,
                mb / lhasa.cpu, lhasa.wall / ours.wall, lhasa.cpu / ours.cpu);
    if (sevenZipOk) {
        std::printf("  7z t (whole process)        %8.1f | %8.1f   ours/7z    = %.2f | %.2f\n", mb / sevenZip.wall,
                    mb / sevenZip.cpu, sevenZip.wall / ours.wall, sevenZip.cpu / ours.cpu);
    } else {
        std::printf("  7z t failed or is not installed\n");
    }

    // jlha co5 on the same files: size of its -lh5- members.
    if (std::system("command -v jlha > /dev/null 2>&1") == 0) {
        const fs::path dir = fs::temp_directory_path() / ("lzh5_bench_jlha_" + std::to_string(getpid()));
        fs::create_directories(dir);
        size_t jlhaTotal = 0;
        bool ok = true;
        for (size_t i = 0; i < files.size() && ok; ++i) {
            const fs::path out = dir / ("m" + std::to_string(i) + ".lzh");
            const fs::path in = fs::absolute(files[i]);
            const double s = TimeCommand("cd '" + in.parent_path().string() + "' && jlha co5q '" + out.string() +
                                         "' '" + in.filename().string() + "' > /dev/null 2>&1");
            const Bytes lzhBytes = ReadFile(out.string());
            ok = s >= 0 && lzhBytes.size() > 22 && std::string(lzhBytes.begin() + 2, lzhBytes.begin() + 7) == "-lh5-";
            if (ok) jlhaTotal += lzhBytes[7] | lzhBytes[8] << 8 | lzhBytes[9] << 16 | size_t{lzhBytes[10]} << 24;
        }
        fs::remove_all(dir);
        if (ok) {
            std::printf("size: ours %zu bytes, jlha co5 %zu bytes, ours/jlha = %.4f\n", codedTotal, jlhaTotal,
                        static_cast<double>(codedTotal) / static_cast<double>(jlhaTotal));
        } else {
            std::printf("jlha failed\n");
        }
    } else {
        std::printf("jlha not installed: no size comparison\n");
    }
    return 0;
}
