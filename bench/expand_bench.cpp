// Expansion speed, all in one run on the same corpus: our LZH5 and LZH1
// decoders through the component (ExpandNamedEntry on an in-memory archive
// into a null stream, checksum verified) against libdeflate and zlib on the
// same bytes deflated at level 6, lhasa's decoders on the same coded
// streams, and `7z t` on an .lzh holding the LZH5 streams (7z has no -lh1-);
// stored entries through the component, verified and not, against memcpy.
// Speeds are MB of output per
// processor second, best of N: the machine may be shared.
//
//   expand_bench [-n N] [--only lzh5|lzh1|stored] [FILE...]
//   (default N 5, /tmp/corpus/text.bin /tmp/corpus/binary.bin; --only runs
//   just that decoder of ours and libdeflate, alternately, for tuning and
//   profiling)
#include <libdeflate.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/InstCompress.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/Encoders.h"
#include "bench/BenchSupport.h"

namespace {

using kq::bench::Bytes;
namespace fs = std::filesystem;

struct File {
    std::string name;
    Bytes plain;
    Bytes lzh5;
    Bytes lzh1;
    Bytes deflated;
};

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    auto seconds = [](const timeval& v) {
        return static_cast<double>(v.tv_sec) + static_cast<double>(v.tv_usec) * 1e-6;
    };
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

using kq::bench::BestSeconds;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "expand_bench: %s\n", what.c_str());
    std::exit(1);
}

// One archive of every file coded with `method`.
Bytes BuildArchive(const std::vector<File>& files, uint8_t method, Bytes File::*coded) {
    int64_t total = 0;
    for (const File& f : files) total += static_cast<int64_t>(f.plain.size());
    const auto header = kq::BuildArchiveHeader(kq::kMethodIds[method], static_cast<int32_t>(total), 1, 0);
    Bytes out(header.begin(), header.end());
    for (const File& f : files) {
        kq::EntryHeader e;
        e.nameLength = static_cast<int16_t>(f.name.size());
        e.expandedSize = static_cast<int32_t>(f.plain.size());
        e.storedSize = static_cast<int32_t>((f.*coded).size());
        e.method = method;
        e.checksum = static_cast<int32_t>(kq::pack::ByteSum(f.plain));
        const auto raw = kq::BuildEntryHeader(e);
        out.insert(out.end(), raw.begin(), raw.end());
        out.insert(out.end(), f.name.begin(), f.name.end());
        out.insert(out.end(), (f.*coded).begin(), (f.*coded).end());
    }
    return out;
}

int64_t ExpandAll(const std::vector<File>& files, const Bytes& archive, bool acceptUnverifiedStored = false) {
    int64_t produced = 0;
    for (const File& f : files) {
        kq::TKQInstCompress component;
        component.AcceptUnverifiedStoredEntries = acceptUnverifiedStored;
        kq::TSpanStream source(archive.data(), archive.size());
        kq::TCountingStream sink;
        component.ExpandNamedEntry(source, sink, f.name);
        produced += sink.BytesWritten();
    }
    return produced;
}

// `7z t` on an .lzh of the coded streams: processor time of the whole
// process; -1 when it fails or is missing.
double SevenZip(const std::vector<File>& files, Bytes File::*coded, const char* method, int repeats) {
    std::vector<kq::bench::LzhMember> members;
    for (const File& f : files) members.push_back({f.name, &f.plain, &(f.*coded)});
    const fs::path path = fs::temp_directory_path() / ("expand_bench_" + std::to_string(getpid()) + ".lzh");
    const Bytes lzh = kq::bench::BuildLzh(members, method);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(lzh.data()), static_cast<std::streamsize>(lzh.size()));
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        const double before = ChildrenCpu();
        const int status = std::system(("7z t '" + path.string() + "' > /dev/null 2>&1").c_str());
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            best = -1;
            break;
        }
        best = std::min(best, ChildrenCpu() - before);
    }
    fs::remove(path);
    return best;
}

struct Row {
    std::string name;
    double seconds;  // < 0: not measured
};

void PrintTable(const char* title, const std::vector<Row>& rows, double mb, const std::string& reference) {
    double referenceSeconds = 0;
    for (const Row& r : rows) {
        if (r.name == reference) referenceSeconds = r.seconds;
    }
    std::printf("\n%s\n%-44s %10s %12s\n", title, "decoder", "MB/s", ("vs " + reference).c_str());
    for (const Row& r : rows) {
        if (r.seconds < 0) {
            std::printf("%-44s %10s\n", r.name.c_str(), "failed");
            continue;
        }
        std::printf("%-44s %10.1f %11.2fx\n", r.name.c_str(), mb / r.seconds, referenceSeconds / r.seconds);
    }
    // The lines bench/run.sh collects (see encode_bench.cpp).
    if (std::getenv("KQ_BENCH_ROWS") == nullptr) return;
    for (const Row& r : rows) {
        if (r.seconds >= 0) std::printf("ROW\texpand\t%s\t%.1f\t-\n", r.name.c_str(), mb / r.seconds);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    std::string only;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-n" && i + 1 < argc) {
            repeats = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.empty()) paths = {"/tmp/corpus/text.bin", "/tmp/corpus/binary.bin"};

    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (compressor == nullptr || decompressor == nullptr) Die("libdeflate allocation failed");

    std::vector<File> files;
    size_t total = 0;
    for (const std::string& path : paths) {
        File f;
        f.name = fs::path(path).filename().string();
        f.plain = kq::bench::ReadFile(path);
        f.lzh5 = kq::pack::EncodeLzh5(f.plain);
        f.lzh1 = kq::pack::EncodeLzh1(f.plain);
        f.deflated.resize(libdeflate_deflate_compress_bound(compressor, f.plain.size()));
        f.deflated.resize(libdeflate_deflate_compress(compressor, f.plain.data(), f.plain.size(),
                                                      f.deflated.data(), f.deflated.size()));
        if (f.deflated.empty()) Die("deflate failed on " + path);
        total += f.plain.size();
        files.push_back(std::move(f));
    }
    const double mb = static_cast<double>(total) / 1e6;
    std::printf("corpus: %zu files, %.1f MB; best of %d, MB of output per processor second\n", files.size(),
                mb, repeats);

    const Bytes lzh5Archive = BuildArchive(files, kq::kMethodLzh5, &File::lzh5);
    const Bytes lzh1Archive = BuildArchive(files, kq::kMethodLzh1, &File::lzh1);
    if (ExpandAll(files, lzh5Archive) != static_cast<int64_t>(total)) Die("LZH5 expansion gave another size");
    if (ExpandAll(files, lzh1Archive) != static_cast<int64_t>(total)) Die("LZH1 expansion gave another size");
    const Bytes storedArchive = BuildArchive(files, kq::kMethodStored, &File::plain);
    if (ExpandAll(files, storedArchive) != static_cast<int64_t>(total))
        Die("stored expansion gave another size");

    Bytes out(std::max_element(files.begin(), files.end(), [](const File& a, const File& b) {
                  return a.plain.size() < b.plain.size();
              })->plain.size());
    for (const File& f : files) {
        size_t got = 0;
        if (libdeflate_deflate_decompress(decompressor, f.deflated.data(), f.deflated.size(), out.data(),
                                          f.plain.size(), &got) != LIBDEFLATE_SUCCESS ||
            got != f.plain.size() || !std::equal(f.plain.begin(), f.plain.end(), out.begin())) {
            Die("libdeflate did not give the file back");
        }
    }
    auto libdeflateAll = [&] {
        for (const File& f : files) {
            libdeflate_deflate_decompress(decompressor, f.deflated.data(), f.deflated.size(), out.data(),
                                          f.plain.size(), nullptr);
        }
    };
    if (!only.empty()) {
        const Bytes& archive = only == "lzh1" ? lzh1Archive : only == "stored" ? storedArchive : lzh5Archive;
        double ours = 1e30, reference = 1e30;
        for (int i = 0; i < repeats; ++i) {
            ours = std::min(ours, BestSeconds(1, [&] { ExpandAll(files, archive); }));
            reference = std::min(reference, BestSeconds(1, libdeflateAll));
        }
        std::printf("ours %s: %.1f MB/s, libdeflate %.1f MB/s, ratio %.2f\n", only.c_str(), mb / ours,
                    mb / reference, reference / ours);
        return 0;
    }
    auto inflateAll = [&] {
        for (const File& f : files) {
            z_stream z{};
            if (inflateInit2(&z, -15) != Z_OK) Die("inflateInit2 failed");
            z.next_in = const_cast<Bytef*>(f.deflated.data());
            z.avail_in = static_cast<uInt>(f.deflated.size());
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(f.plain.size());
            const int rc = inflate(&z, Z_FINISH);
            inflateEnd(&z);
            if (rc != Z_STREAM_END || z.total_out != f.plain.size()) Die("zlib did not give the file back");
        }
    };
    Bytes scratch(65536);
    auto lhasaAll = [&](Bytes File::*coded, const char* method) {
        for (const File& f : files) {
            if (kq::bench::ExpandWithLhasa(f.*coded, f.plain.size(), method, scratch) != f.plain.size()) {
                Die(std::string("lhasa ") + method + " gave another size");
            }
        }
    };

    // Each decoder's repeats run back to back; the rounds alternate.
    std::vector<Row> lzh5Rows = {{"ours LZH5 (ExpandNamedEntry, checksum)", 1e30},
                                 {"libdeflate (deflate level 6)", 1e30},
                                 {"zlib inflate (same deflate data)", 1e30},
                                 {"lhasa -lh5- (same stream)", 1e30}};
    std::vector<Row> lzh1Rows = {{"ours LZH1 (ExpandNamedEntry, checksum)", 1e30},
                                 {"lhasa -lh1- (same stream)", 1e30}};
    // Stored entries: the component's copy, verified and not, against
    // memcpy through a buffer of the copy's chunk size. A pass takes a few
    // milliseconds, so each timed run makes several.
    constexpr int kStoredPasses = 8;
    std::vector<Row> storedRows = {{"ours stored, verified (ExpandNamedEntry)", 1e30},
                                   {"ours stored, AcceptUnverifiedStoredEntries", 1e30},
                                   {"memcpy (61440-byte chunks)", 1e30}};
    auto storedPasses = [&](bool acceptUnverified) {
        for (int pass = 0; pass < kStoredPasses; ++pass) ExpandAll(files, storedArchive, acceptUnverified);
    };
    Bytes chunk(kq::TStream::kCopyChunk);
    volatile uint8_t copied = 0;
    auto memcpyPasses = [&] {
        for (int pass = 0; pass < kStoredPasses; ++pass) {
            for (const File& f : files) {
                for (size_t at = 0; at < f.plain.size(); at += chunk.size()) {
                    std::memcpy(chunk.data(), f.plain.data() + at,
                                std::min(chunk.size(), f.plain.size() - at));
                    copied = chunk[0];  // kept, so that the copy is not optimised away
                }
            }
        }
    };
    for (int round = 0; round < 2; ++round) {
        const int n = (repeats + 1) / 2;
        auto best = [&](double& into, auto&& run) { into = std::min(into, BestSeconds(n, run)); };
        best(lzh5Rows[0].seconds, [&] { ExpandAll(files, lzh5Archive); });
        best(lzh5Rows[1].seconds, libdeflateAll);
        best(lzh5Rows[2].seconds, inflateAll);
        best(lzh5Rows[3].seconds, [&] { lhasaAll(&File::lzh5, "-lh5-"); });
        best(lzh1Rows[0].seconds, [&] { ExpandAll(files, lzh1Archive); });
        best(lzh1Rows[1].seconds, [&] { lhasaAll(&File::lzh1, "-lh1-"); });
        best(storedRows[0].seconds, [&] { storedPasses(false); });
        best(storedRows[1].seconds, [&] { storedPasses(true); });
        best(storedRows[2].seconds, memcpyPasses);
    }
    lzh5Rows.push_back({"7z t -lh5- (whole process)", SevenZip(files, &File::lzh5, "-lh5-", repeats)});

    PrintTable("LZH5 expansion", lzh5Rows, mb, "libdeflate (deflate level 6)");
    PrintTable("LZH1 expansion", lzh1Rows, mb, "lhasa -lh1- (same stream)");
    PrintTable("Stored expansion", storedRows, mb * kStoredPasses,
               "ours stored, AcceptUnverifiedStoredEntries");
    std::printf("\nours LZH5 / libdeflate = %.2f (goal 0.75); ours LZH1 / lhasa -lh1- = %.2f\n",
                lzh5Rows[1].seconds / lzh5Rows[0].seconds, lzh1Rows[1].seconds / lzh1Rows[0].seconds);
    std::printf("ours stored, verified / unverified = %.2f\n", storedRows[1].seconds / storedRows[0].seconds);

    libdeflate_free_compressor(compressor);
    libdeflate_free_decompressor(decompressor);
    return 0;
}
