// kqi pack: writes an archive from files and folders.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "InstCompress/Exceptions.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"
#include "tools/kqi/PackInputs.h"

namespace kq::tools {

namespace {

constexpr const char* kPackUsage =
    "usage: kqi pack -o OUT [--method M] [--best] [-j N] [--key N] [--lock 0|1|2] [--id XYZ] [-q] NAME=PATH[:M]...\n"
    "  Writes an archive with one entry per NAME=PATH, in the order given. NAME is\n"
    "  stored as given (for example Installer\\KQInstall.exe). A PATH that is a\n"
    "  folder adds its files recursively in sorted order, named NAME\\relative\\path.\n"
    "  A ':M' after PATH sets that entry's method (for example data.bin=big.bin:none).\n"
    "  --method M  none, rle, lzh1 or lh5 (default lh5); lzh1 is LZSS over a 4 KiB\n"
    "              window with an adaptive Huffman code (the LHA -lh1- stream)\n"
    "              lh5 is LZSS over an 8 KiB window with static Huffman blocks (the\n"
    "              LHA -lh5- stream)\n"
    "  --best      lh5: smaller output, several times slower\n"
    "  -j N        lh5: threads (default: the machine's cores); the output is the\n"
    "              same for every N\n"
    "  --key N     key: signed 32-bit decimal or 0x hex; locks the entries\n"
    "  --lock L    entry lock field: 0 open, 1 locked, 2 locked and scrambled\n"
    "              (default 2 with a non-zero key, else 0)\n"
    "  --id XYZ    archive method id (default the method's: NON, RLE, LZH, LH5)\n"
    "  -q          no progress bar\n"
    "  RLE output is at most twice the input size (every lone 0x94 byte costs two\n"
    "  bytes; everything else at most one); runs of 4 or more bytes shrink.\n";

class ProgressBar {
public:
    ProgressBar(bool enabled, int64_t total) : enabled_(enabled && total > 0), total_(total) {}
    ~ProgressBar() {
        if (enabled_ && shown_ >= 0) std::fputs("\r\033[K", stderr);
    }
    void Update(int64_t done) {
        if (!enabled_) return;
        const int percent = static_cast<int>(std::min<int64_t>(100, done * 100 / total_));
        if (percent == shown_) return;
        shown_ = percent;
        const int width = 40;
        const int filled = percent * width / 100;
        std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                     width - filled, "", percent);
        std::fflush(stderr);
    }

private:
    bool enabled_;
    int64_t total_;
    int shown_ = -1;
};

constexpr int64_t kProgressThreshold = 4 << 20;

}  // namespace

int RunPack(int argc, char** argv) {
    std::string out;
    PackMethod method = kDefaultPackMethod;
    PackOptions options;
    options.encode.threads = DefaultThreads();
    std::optional<std::string> id;
    bool quiet = false;
    std::vector<std::string> specs;
    try {
        ArgReader args(argc, argv, 0);
        while (!args.Done()) {
            const std::string arg = args.Next();
            if (arg == "-h" || arg == "--help") {
                std::fputs(kPackUsage, stdout);
                return 0;
            }
            if (arg == "-o") {
                out = args.Value(arg);
            } else if (arg == "--method") {
                method = MethodOption(args, arg);
            } else if (arg == "--best") {
                options.encode.best = true;
            } else if (arg == "-j") {
                options.encode.threads = ThreadsOption(args, arg);
            } else if (arg == "--key") {
                options.key = KeyOption(args, arg);
            } else if (arg == "--lock") {
                const std::string lock = args.Value(arg);
                if (lock != "0" && lock != "1" && lock != "2") throw UsageError("--lock takes 0, 1 or 2");
                options.lock = lock[0] - '0';
            } else if (arg == "--id") {
                id = args.Value(arg);
                if (id->size() != 3) throw UsageError("--id takes exactly three characters");
            } else if (arg == "-q" || arg == "--quiet") {
                quiet = true;
            } else if (arg.size() > 1 && arg[0] == '-') {
                throw UsageError("unknown option " + arg);
            } else {
                specs.push_back(arg);
            }
        }
        if (out.empty()) throw UsageError("give the output with -o OUT");
        if (specs.empty()) throw UsageError("give at least one NAME=PATH");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kqi: %s\n%s", e.what(), kPackUsage);
        return 2;
    }
    options.methodId = id ? *id : std::string(MethodIdOf(method));

    try {
        std::vector<PackItem> items;
        AddPackSpecs(specs, method, items);
        // Where each item starts in the plain bytes of all items together.
        std::vector<int64_t> startOf(items.size() + 1, 0);
        for (size_t i = 0; i < items.size(); ++i) {
            startOf[i + 1] = startOf[i] + static_cast<int64_t>(items[i].plain.size());
        }
        const int64_t total = startOf.back();
        ProgressBar bar(!quiet && StderrIsTerminal() && total > kProgressThreshold, total);
        AtomicOutputFile output(out);
        WriteArchive(output.Stream(), items, options, [&](size_t item, size_t done) {
            bar.Update(startOf[item] + static_cast<int64_t>(done));
        });
        output.Commit();
        return 0;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kqi: %s\n%s", e.what(), kPackUsage);
        return 2;
    } catch (const std::exception& e) {
        return ReportFailure(e);
    }
}

}  // namespace kq::tools
