// kqi extract, list and test: the component's view of an archive.
#include <cinttypes>
#include <optional>
#include <cstdio>
#include <string>

#include <array>

#include "InstCompress/InstCompress.h"
#include "Setup/PayloadLocator.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"

namespace kq::tools {

namespace {

constexpr std::string_view kExtractUsage =
    "usage: kqi extract FILE ENTRY -o OUT [--key N]\n"
    "  Expands every entry named ENTRY (ASCII case-insensitive) into OUT, one\n"
    "  after the other. OUT '-' is standard output. FILE may be an archive or a\n"
    "  setup image. On failure nothing is left at OUT.\n"
    "  --key N   key for locked entries: signed 32-bit decimal or 0x hex\n";

constexpr std::string_view kListUsage =
    "usage: kqi list FILE\n"
    "  Shows the archive header and one line per entry: method, expanded size,\n"
    "  stored size, lock, checksum (hex) and name.\n";

constexpr std::string_view kTestUsage =
    "usage: kqi test FILE [--key N]\n"
    "  Expands each entry on its own without writing it and prints OK NAME or\n"
    "  FAILED NAME: CLASS: MESSAGE. Exit 0 only if every entry passes.\n";

class ArchiveSource {
public:
    explicit ArchiveSource(const std::string& path) : file_(OpenFile(path, FileMode::OpenReadExclusive)) {
        std::array<uint8_t, 5> head{};
        const int32_t got = file_->Read(head.data(), static_cast<int32_t>(head.size()));
        file_->SetPosition(0);
        if (got == 5 && head == kArchiveSignature) return;
        if (const auto payload = LocatePayloadArchive(*file_)) {
            offset_ = payload->start;
            view_ = std::make_unique<TSubStream>(*file_, payload->start, payload->length);
        }
        file_->SetPosition(0);
    }
    TStream& Stream() {
        if (view_) return *view_;
        return *file_;
    }
    bool IsSetupImage() const { return view_ != nullptr; }
    int64_t ArchiveOffset() const { return offset_; }

private:
    std::unique_ptr<TFileStream> file_;
    std::unique_ptr<TSubStream> view_;
    int64_t offset_ = 0;
};

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

}  // namespace

const CommandSpec kExtractCommand{"extract", "expand entries into files", kExtractUsage, {{"output", 'o', true}, {"key", 0, true}, {"directory", 'd', true}}};
const CommandSpec kListCommand{"list", "show an archive's header and entries", kListUsage, {{"json", 0, false}}};
const CommandSpec kTestCommand{"test", "expand every entry without writing it", kTestUsage, {{"key", 0, true}}};

int RunExtract(const ParsedArgs& args) {
    const std::string& file = args.Positional()[0];
    const std::string& entry = args.Positional()[1];
    const std::string out = *args.Last("output");
    const int32_t key = KeyOption(args);

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

void ListArchive(TStream& archive, std::FILE* out, bool, int64_t) {
    TKQInstCompress component;
    AcceptAnyId(component);
    const int64_t archiveSize = archive.Size();
    const ArchiveHeader header =
        ReadArchiveHeader(archive, [&](const std::string& id) { component.RecognizeMethodId(id); });
    if (archiveSize < kArchiveHeaderSize) {
        std::fprintf(out, "archive: too short for a header (%" PRId64 " bytes): no entries\n", archiveSize);
        return;
    }
    std::fprintf(out, "archive: method %s, total size %" PRId32 ", archive lock %" PRId32 "\n",
                 Printable(header.methodId).c_str(), header.totalSize, header.archiveLock);
    std::fprintf(out, "%-6s %12s %12s %5s %10s  %s\n", "method", "expanded", "stored", "lock", "checksum", "name");
    uint32_t runningSum = 0;
    int entries = 0;
    while (true) {
        const int64_t headerAt = archive.Position();
        const auto entry = ReadEntryHeader(archive);
        if (!entry) {
            if (headerAt < archiveSize) {
                std::fprintf(out, "(archive ends early: %" PRId64 " bytes after the last entry are not an entry)\n",
                             archiveSize - headerAt);
            }
            break;
        }
        if (static_cast<int32_t>(runningSum) >= header.totalSize) break;
        const EntryHeader& h = entry->header;
        std::fprintf(out, "%-6s %12" PRId32 " %12" PRId32 " %5" PRId32 "   %08" PRIx32 "  %s\n",
                     MethodName(h.method).c_str(), h.expandedSize, h.compressedSize, h.lock,
                     static_cast<uint32_t>(h.checksum), Printable(entry->name).c_str());
        ++entries;
        const int64_t dataEnd = archive.Position() + h.compressedSize;
        if (dataEnd > archiveSize) {
            std::fprintf(out, "(entry data truncated: %" PRId64 " of %" PRId32 " bytes present)\n",
                         archiveSize - archive.Position(), h.compressedSize);
            break;
        }
        archive.SetPosition(dataEnd);
        runningSum += static_cast<uint32_t>(h.expandedSize);
    }
    std::fprintf(out, "%d entr%s\n", entries, entries == 1 ? "y" : "ies");
}

int RunList(const ParsedArgs& args) {
    const std::string& file = args.Positional()[0];

    try {
        ArchiveSource source(file);
        if (source.IsSetupImage()) {
            std::printf("setup image, archive at offset %" PRId64 "\n", source.ArchiveOffset());
        }
        ListArchive(source.Stream(), stdout);
        return 0;
    } catch (const Exception& e) {
        return ReportFailure(e);
    }
}

int RunTest(const ParsedArgs& args) {
    const std::string& file = args.Positional()[0];
    const int32_t key = KeyOption(args);

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
