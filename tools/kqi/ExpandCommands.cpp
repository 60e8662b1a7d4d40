// kqi extract, list and test: the component's view of an archive.
#include <cinttypes>
#include <optional>
#include <cstdio>
#include <string>

#include "InstCompress/EntryReader.h"
#include "InstCompress/InstCompress.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"

namespace kq::tools {

namespace {

constexpr const char* kExtractUsage =
    "usage: kqi extract FILE ENTRY -o OUT [--key N]\n"
    "  Expands every entry named ENTRY (ASCII case-insensitive) into OUT, one\n"
    "  after the other. OUT '-' is standard output. FILE may be an archive or a\n"
    "  setup image. On failure nothing is left at OUT.\n"
    "  --key N   key for locked entries: signed 32-bit decimal or 0x hex\n";

constexpr const char* kListUsage =
    "usage: kqi list FILE\n"
    "  Shows the archive header and one line per entry: method, expanded size,\n"
    "  stored size, lock, checksum (hex) and name.\n";

constexpr const char* kTestUsage =
    "usage: kqi test FILE [--key N]\n"
    "  Expands each entry on its own without writing it and prints OK NAME or\n"
    "  FAILED NAME: CLASS: MESSAGE. Exit 0 only if every entry passes.\n";

bool IsHelp(const std::string& arg) { return arg == "-h" || arg == "--help"; }

int Usage(const char* text, const std::string& problem) {
    std::fprintf(stderr, "kqi: %s\n%s", problem.c_str(), text);
    return 2;
}

std::string MethodName(uint8_t method) {
    if (method < kMethodIds.size()) return std::string(kMethodIds[method]);
    // Appended rather than "#" + ...: GCC 12 at -O3 warns falsely about that.
    std::string name = "#";
    name += std::to_string(method);
    return name;
}

// Accepts any header id so that listing and testing never stop at it; a
// custom decoder is not known here anyway.
void AcceptAnyId(TKQInstCompress& component) {
    component.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
}

struct ReadArgs {
    std::vector<std::string> positional;
    std::optional<std::string> out;
    int32_t key = 0;
};

// Parses the arguments of extract, list and test: `positionals` plain
// arguments and the options the command accepts. Returns an exit code when
// the command is already done (help: 0, usage error: 2).
std::optional<int> ParseReadArgs(int argc, char** argv, const char* usage, size_t positionals, bool acceptsOut,
                                 bool acceptsKey, ReadArgs& parsed) {
    try {
        ArgReader args(argc, argv, 0);
        while (!args.Done()) {
            const std::string arg = args.Next();
            if (IsHelp(arg)) {
                std::fputs(usage, stdout);
                return 0;
            }
            if (acceptsOut && arg == "-o") {
                parsed.out = args.Value(arg);
            } else if (acceptsKey && arg == "--key") {
                parsed.key = KeyOption(args, arg);
            } else if (arg.size() > 1 && arg[0] == '-') {
                throw UsageError("unknown option " + arg);
            } else {
                parsed.positional.push_back(arg);
            }
        }
        if (parsed.positional.size() != positionals) {
            throw UsageError(positionals == 1 ? "give one FILE" : "give FILE and ENTRY");
        }
        if (acceptsOut && !parsed.out) throw UsageError("give the output with -o OUT");
        return std::nullopt;
    } catch (const UsageError& e) {
        return Usage(usage, e.what());
    }
}

}  // namespace

int RunExtract(int argc, char** argv) {
    ReadArgs args;
    if (const auto done = ParseReadArgs(argc, argv, kExtractUsage, 2, true, true, args)) return *done;
    const std::string& file = args.positional[0];
    const std::string& entry = args.positional[1];
    const std::string& out = *args.out;
    const int32_t key = args.key;

    try {
        TArchiveFile source(file);
        TKQInstCompress component;
        component.Key = key;
        if (out == "-") {
            TStdoutStream stdoutStream;
            component.ExpandNamedEntry(source.Stream(), stdoutStream, entry);
            std::fflush(stdout);
            return 0;
        }
        AtomicOutputFile output(out);
        component.ExpandNamedEntry(source.Stream(), output.Stream(), entry);
        output.Commit();
        return 0;
    } catch (const Exception& e) {
        return ReportFailure(e);
    }
}

void ListArchive(TStream& archive, std::FILE* out) {
    TKQInstCompress component;
    AcceptAnyId(component);
    const int64_t archiveSize = archive.Size();
    TEntryReader reader(archive, component);
    if (archiveSize < kArchiveHeaderSize) {
        std::fprintf(out, "archive: too short for a header (%" PRId64 " bytes): no entries\n", archiveSize);
        return;
    }
    const ArchiveHeader& header = reader.Header();
    std::fprintf(out, "archive: method %s, total size %" PRId32 ", archive lock %" PRId32 "\n",
                 Printable(header.methodId).c_str(), header.totalSize, header.archiveLock);
    std::fprintf(out, "%-6s %12s %12s %5s %10s  %s\n", "method", "expanded", "stored", "lock", "checksum", "name");
    int entries = 0;
    while (const ArchiveEntry* entry = reader.Next()) {
        std::fprintf(out, "%-6s %12" PRId32 " %12" PRId32 " %5" PRId32 "   %08" PRIx32 "  %s\n",
                     MethodName(entry->method).c_str(), entry->expandedSize, entry->storedSize, entry->lock,
                     entry->checksum, Printable(entry->name).c_str());
        ++entries;
        if (entry->dataOffset + entry->storedSize > archiveSize) {
            std::fprintf(out, "(entry data truncated: %" PRId64 " of %" PRId32 " bytes present)\n",
                         archiveSize - entry->dataOffset, entry->storedSize);
            break;
        }
    }
    if (reader.WalkEnd() == TEntryReader::End::NoHeader && reader.EndOffset() < archiveSize) {
        std::fprintf(out, "(archive ends early: %" PRId64 " bytes after the last entry are not an entry)\n",
                     archiveSize - reader.EndOffset());
    }
    std::fprintf(out, "%d entr%s\n", entries, entries == 1 ? "y" : "ies");
}

int RunList(int argc, char** argv) {
    ReadArgs args;
    if (const auto done = ParseReadArgs(argc, argv, kListUsage, 1, false, false, args)) return *done;
    const std::string& file = args.positional[0];

    try {
        TArchiveFile source(file);
        if (source.IsSetupImage()) {
            std::printf("setup image, archive at offset %" PRId64 "\n", source.ArchiveOffset());
        }
        ListArchive(source.Stream(), stdout);
        return 0;
    } catch (const Exception& e) {
        return ReportFailure(e);
    }
}

int RunTest(int argc, char** argv) {
    ReadArgs args;
    if (const auto done = ParseReadArgs(argc, argv, kTestUsage, 1, false, true, args)) return *done;
    const std::string& file = args.positional[0];
    const int32_t key = args.key;

    try {
        TArchiveFile source(file);
        TKQInstCompress component;
        component.Key = key;
        TEntryReader reader(source.Stream(), component);
        bool allPassed = true;
        while (const ArchiveEntry* entry = reader.Next()) {
            try {
                reader.Test();
                std::printf("OK %s\n", Printable(entry->name).c_str());
            } catch (const Exception& e) {
                allPassed = false;
                std::printf("FAILED %s: %s: %s\n", Printable(entry->name).c_str(), e.ClassName(),
                            Printable(e.Message()).c_str());
            }
        }
        return allPassed ? 0 : 1;
    } catch (const Exception& e) {
        return ReportFailure(e);
    }
}

}  // namespace kq::tools
