// kqi extract, list and test: the component's view of an archive.
#include <cinttypes>
#include <cstdio>
#include <string>

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

int ReportFailure(const Exception& e) {
    std::fprintf(stderr, "kqi: %s: %s\n", e.ClassName(), e.Message().c_str());
    return 1;
}

std::string MethodName(uint8_t method) {
    if (method < kMethodIds.size()) return std::string(kMethodIds[method]);
    // Appended rather than "#" + ...: GCC 12 warns falsely (-Wrestrict) on that at -O3.
    std::string name = "#";
    name += std::to_string(method);
    return name;
}

// Accepts any header id so that listing and testing never stop at it; a
// custom decoder is not known here anyway.
void AcceptAnyId(TKQInstCompress& component) {
    component.OnRecognize = [](const std::string&, bool& recognized) { recognized = true; };
}

}  // namespace

int RunExtract(int argc, char** argv) {
    std::string file, entry, out;
    int32_t key = 0;
    bool haveOut = false;
    try {
        ArgReader args(argc, argv, 0);
        std::vector<std::string> positional;
        while (!args.Done()) {
            const std::string arg = args.Next();
            if (IsHelp(arg)) {
                std::fputs(kExtractUsage, stdout);
                return 0;
            }
            if (arg == "-o") {
                out = args.Value(arg);
                haveOut = true;
            } else if (arg == "--key") {
                key = KeyOption(args, arg);
            } else if (arg.size() > 1 && arg[0] == '-') {
                throw UsageError("unknown option " + arg);
            } else {
                positional.push_back(arg);
            }
        }
        if (positional.size() != 2) throw UsageError("give FILE and ENTRY");
        if (!haveOut) throw UsageError("give the output with -o OUT");
        file = positional[0];
        entry = positional[1];
    } catch (const UsageError& e) {
        return Usage(kExtractUsage, e.what());
    }

    try {
        ArchiveSource source(file);
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

int RunList(int argc, char** argv) {
    std::string file;
    try {
        ArgReader args(argc, argv, 0);
        std::vector<std::string> positional;
        while (!args.Done()) {
            const std::string arg = args.Next();
            if (IsHelp(arg)) {
                std::fputs(kListUsage, stdout);
                return 0;
            }
            if (arg.size() > 1 && arg[0] == '-') throw UsageError("unknown option " + arg);
            positional.push_back(arg);
        }
        if (positional.size() != 1) throw UsageError("give one FILE");
        file = positional[0];
    } catch (const UsageError& e) {
        return Usage(kListUsage, e.what());
    }

    try {
        ArchiveSource source(file);
        TStream& archive = source.Stream();
        TKQInstCompress component;
        AcceptAnyId(component);
        const int64_t archiveSize = archive.Size();
        const ArchiveHeader header = ReadArchiveHeader(
            archive, [&](const std::string& id) { component.RecognizeMethodId(id); });
        if (source.IsSetupImage()) {
            std::printf("setup image, archive at offset %" PRId64 "\n", source.ArchiveOffset());
        }
        if (archiveSize < kArchiveHeaderSize) {
            std::printf("archive: too short for a header (%" PRId64 " bytes): no entries\n", archiveSize);
            return 0;
        }
        std::printf("archive: method %s, total size %" PRId32 ", archive lock %" PRId32 "\n",
                    header.methodId.c_str(), header.totalSize, header.archiveLock);
        std::printf("%-6s %12s %12s %5s %10s  %s\n", "method", "expanded", "stored", "lock", "checksum", "name");
        uint32_t runningSum = 0;
        int entries = 0;
        while (true) {
            const int64_t headerAt = archive.Position();
            const auto entry = ReadEntryHeader(archive);
            if (!entry) {
                if (headerAt < archiveSize) {
                    std::printf("(archive ends early: %" PRId64 " bytes after the last entry are not an entry)\n",
                                archiveSize - headerAt);
                }
                break;
            }
            if (static_cast<int32_t>(runningSum) >= header.totalSize) break;
            const EntryHeader& h = entry->header;
            std::printf("%-6s %12" PRId32 " %12" PRId32 " %5" PRId32 "   %08" PRIx32 "  %s\n",
                        MethodName(h.method).c_str(), h.expandedSize, h.compressedSize, h.lock,
                        static_cast<uint32_t>(h.checksum), entry->name.c_str());
            ++entries;
            const int64_t dataEnd = archive.Position() + h.compressedSize;
            if (dataEnd > archiveSize) {
                std::printf("(entry data truncated: %" PRId64 " of %" PRId32 " bytes present)\n",
                            archiveSize - archive.Position(), h.compressedSize);
                break;
            }
            archive.SetPosition(dataEnd);
            runningSum += static_cast<uint32_t>(h.expandedSize);
        }
        std::printf("%d entr%s\n", entries, entries == 1 ? "y" : "ies");
        return 0;
    } catch (const Exception& e) {
        return ReportFailure(e);
    }
}

int RunTest(int argc, char** argv) {
    std::string file;
    int32_t key = 0;
    try {
        ArgReader args(argc, argv, 0);
        std::vector<std::string> positional;
        while (!args.Done()) {
            const std::string arg = args.Next();
            if (IsHelp(arg)) {
                std::fputs(kTestUsage, stdout);
                return 0;
            }
            if (arg == "--key") {
                key = KeyOption(args, arg);
            } else if (arg.size() > 1 && arg[0] == '-') {
                throw UsageError("unknown option " + arg);
            } else {
                positional.push_back(arg);
            }
        }
        if (positional.size() != 1) throw UsageError("give one FILE");
        file = positional[0];
    } catch (const UsageError& e) {
        return Usage(kTestUsage, e.what());
    }

    try {
        ArchiveSource source(file);
        TStream& archive = source.Stream();
        TKQInstCompress component;
        component.Key = key;
        const ArchiveHeader header = ReadArchiveHeader(
            archive, [&](const std::string& id) { component.RecognizeMethodId(id); });
        bool allPassed = true;
        uint32_t runningSum = 0;
        while (const auto entry = ReadEntryHeader(archive)) {
            if (static_cast<int32_t>(runningSum) >= header.totalSize) break;
            const EntryHeader& h = entry->header;
            const int64_t dataStart = archive.Position();
            try {
                TCountingStream sink;
                component.ExpandEntry(sink, archive, h.lock, header.methodId, h.method,
                                      static_cast<uint32_t>(h.checksum), h.expandedSize, h.compressedSize);
                std::printf("OK %s\n", entry->name.c_str());
            } catch (const Exception& e) {
                allPassed = false;
                std::printf("FAILED %s: %s: %s\n", entry->name.c_str(), e.ClassName(), e.Message().c_str());
            }
            archive.SetPosition(dataStart + h.compressedSize);
            runningSum += static_cast<uint32_t>(h.expandedSize);
        }
        return allPassed ? 0 : 1;
    } catch (const Exception& e) {
        return ReportFailure(e);
    }
}

}  // namespace kq::tools
