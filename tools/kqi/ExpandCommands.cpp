// kqi extract, list and test: the component's view of an archive, through
// its entry reader.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "InstCompress/EntryReader.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/InstCompress.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompressPack/PeImage.h"
#include "InstCompressPack/PeResources.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"
#include "tools/kqi/OutputFile.h"
#include "tools/kqi/PackInputs.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kq::tools {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kExtractUsage =
    "usage: kqi extract FILE ENTRY -o OUT [--key N]\n"
    "       kqi extract FILE -d DIR [--key N] [--] [PATTERN...]\n"
    "  With ENTRY: expands every entry named ENTRY (ASCII case-insensitive, '/' the\n"
    "  same as '\\') into OUT, one after the other; OUT '-' is standard output.\n"
    "  With -d: expands every entry, or those matching a PATTERN ('*', '?'; without\n"
    "  '\\' it matches the last part of the name), under DIR in one pass, '\\' turned\n"
    "  into '/'. Names that would land outside DIR, through '..', an absolute path,\n"
    "  a drive letter or a link already in DIR, are refused before anything is\n"
    "  written. Entries of the same name are concatenated, as the launcher does.\n"
    "  Files appear only when complete: a failure leaves no partial file and names\n"
    "  the entry. FILE may be an archive or a setup image.\n"
    "  -o, --output OUT      the file for ENTRY\n"
    "  -d, --directory DIR   the folder for all entries (made when missing)\n"
    "  --key N               key for locked entries: signed 32-bit decimal or 0x hex\n";

constexpr std::string_view kListUsage =
    "usage: kqi list [--json] FILE\n"
    "  Shows the archive header and one line per entry: the method used, expanded\n"
    "  size, stored size, ratio (stored to expanded), lock, checksum (hex) and name,\n"
    "  then the totals. A locked entry that is stored is marked \"stored, not\n"
    "  scrambled\". Control characters in names are shown as \\xNN.\n"
    "  --json   one JSON document: the header, one object per entry with the fields\n"
    "           above plus data_offset (the file offset of its data), and the totals\n";

constexpr std::string_view kTestUsage =
    "usage: kqi test [--key N] FILE\n"
    "  Expands each entry without writing it and prints OK NAME or\n"
    "  FAILED NAME: CLASS: MESSAGE, then a summary. Exit 0 only if every entry\n"
    "  passes. Every entry is verified by its checksum, stored ones too; a locked\n"
    "  entry needs the key.\n"
    "  --key N   key for locked entries: signed 32-bit decimal or 0x hex\n";

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

// A setup whose payload is cut short has a patched marker but no complete
// archive behind it: say so instead of failing on the header.
void DiagnoseCutPayload(const PayloadFields& fields, int64_t fileSize) {
    if (fields.verdict == PayloadFields::Verdict::OffsetOutside) {
        throw ToolError("a setup whose payload is cut short: the payload offset " +
                        std::to_string(fields.offset) + " lies beyond the end of the file (" +
                        std::to_string(fileSize) + " bytes)");
    }
    if (fields.verdict == PayloadFields::Verdict::ArchiveCut && fields.announced > fields.present) {
        throw ToolError("a setup whose payload is cut short: payload size field says " +
                        std::to_string(fields.announced) + " bytes, only " + std::to_string(fields.present) +
                        " present");
    }
}

std::unique_ptr<TArchiveFile> OpenArchive(const std::string& path) {
    std::unique_ptr<TArchiveFile> archive;
    try {
        archive = std::make_unique<TArchiveFile>(path);
    } catch (const EFileOpenError& e) {
        const int error = LastSystemError();
        throw ReasonedError(e.ClassName(), e.Message() + " (" + FileProblem(path, error) + ")");
    }
    if (!archive->IsSetupImage()) DiagnoseCutPayload(archive->Payload(), archive->Stream().Size());
    return archive;
}

// Stored to expanded in percent, one decimal; "null" for nothing expanded
// (the JSON form), and "-" or "NN.N%" as the listing shows it.
std::string RatioNumber(int64_t stored, int64_t expanded) {
    if (expanded <= 0) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f",
                  100.0 * static_cast<double>(stored) / static_cast<double>(expanded));
    return text;
}

std::string Ratio(int64_t stored, int64_t expanded) {
    return expanded <= 0 ? "-" : RatioNumber(stored, expanded) + "%";
}

// A JSON string: the name's bytes as UTF-8 where they are, else as Latin-1.
std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A well-formed UTF-8 sequence is copied; any other byte is Latin-1.
            const size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool wellFormed = length > 0 && i + length <= text.size();
            for (size_t k = 1; wellFormed && k < length; ++k) {
                wellFormed = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            }
            if (wellFormed) {
                out.append(text.substr(i, length));
                i += length - 1;
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            }
        }
    }
    return out + "\"";
}

struct Selected {
    std::string path;  // under DIR, '/' separated
    size_t last = 0;   // index of the last entry of this name
};

// Refuses a path under `dir` whose existing parts include a link: the file
// would land wherever the link points.
void CheckNoLinkOnTheWay(const fs::path& dir, const std::string& relative, const std::string& name) {
    fs::path at = dir;
    const fs::path rel = PathFromUtf8(relative);
    for (auto part = rel.begin(); part != rel.end(); ++part) {
        if (std::next(part) == rel.end()) break;  // the file itself is replaced, never followed
        at /= *part;
        std::error_code error;
        const fs::file_status status = fs::symlink_status(at, error);
        if (status.type() == fs::file_type::symlink) {
            throw ToolError("entry '" + Printable(name) + "' would land outside " + Utf8FromPath(dir) +
                            " through the link " + Utf8FromPath(at));
        }
        if (status.type() == fs::file_type::not_found) return;
    }
}

// Runs `body` for one entry; a failure says which entry it was.
template <typename Body>
void ForEntry(const ArchiveEntry& entry, Body body) {
    try {
        body();
    } catch (const Exception& e) {
        throw ReasonedError(e.ClassName(), e.Message() + " (entry " + Printable(entry.name) + ")");
    } catch (const std::exception& e) {
        throw ToolError(std::string(e.what()) + " (entry " + Printable(entry.name) + ")");
    }
}

int ExtractAll(TArchiveFile& archive, const fs::path& dir, const std::vector<std::string>& patterns,
               int32_t key) {
    TKQInstCompress component;
    component.Key = key;
    // Names first (headers only): every check before anything is written.
    std::map<std::string, Selected> byName;  // folded name
    std::vector<const Selected*> target;     // per entry index; null when not selected
    {
        archive.Stream().SetPosition(0);
        TEntryReader reader(archive.Stream(), component);
        while (const ArchiveEntry* entry = reader.Next()) {
            const size_t index = target.size();
            bool wanted = patterns.empty();
            for (const std::string& pattern : patterns) wanted = wanted || GlobMatch(pattern, entry->name);
            if (!wanted) {
                target.push_back(nullptr);
                continue;
            }
            if (const std::string problem = EntryNameProblem(entry->name); !problem.empty()) {
                throw ToolError("entry '" + Printable(entry->name) + "' would land outside " +
                                Utf8FromPath(dir) + ": it has " + problem);
            }
            std::string path = entry->name;
            std::replace(path.begin(), path.end(), '\\', '/');
            auto [it, fresh] = byName.try_emplace(FoldEntryName(entry->name), Selected{path, index});
            it->second.last = index;
            if (fresh) CheckNoLinkOnTheWay(dir, path, entry->name);
            target.push_back(&it->second);
        }
    }

    std::error_code error;
    fs::create_directories(dir, error);
    if (error) throw ToolError("cannot make " + Utf8FromPath(dir) + " (" + error.message() + ")");
    archive.Stream().SetPosition(0);
    TEntryReader reader(archive.Stream(), component);
    std::map<const Selected*, std::unique_ptr<AtomicOutputFile>> open;
    size_t index = 0;
    for (; const ArchiveEntry* entry = reader.Next(); ++index) {
        const Selected* selected = index < target.size() ? target[index] : nullptr;
        if (!selected) continue;
        const fs::path file = dir / PathFromUtf8(selected->path);
        ForEntry(*entry, [&] {
            auto& output = open[selected];
            if (!output) {
                fs::create_directories(file.parent_path(), error);
                if (error)
                    throw ToolError("cannot make " + Utf8FromPath(file.parent_path()) + " (" +
                                    error.message() + ")");
                output = std::make_unique<AtomicOutputFile>(Utf8FromPath(file));
            }
            reader.Expand(output->Stream());
            if (index == selected->last) {
                output->Commit();
                open.erase(selected);
            }
        });
    }
    if (!patterns.empty() && byName.empty()) throw ToolError("no entry matches the patterns given");
    return 0;
}

int ExtractOne(TArchiveFile& archive, const std::string& name, const std::string& out, int32_t key) {
    TKQInstCompress component;
    component.Key = key;
    std::string wanted = name;
    std::replace(wanted.begin(), wanted.end(), '/', '\\');
    std::unique_ptr<AtomicOutputFile> file;
    std::unique_ptr<TStdoutStream> standardOutput;
    TEntryReader reader(archive.Stream(), component);
    bool found = false;
    while (const ArchiveEntry* entry = reader.Next()) {
        if (!SameEntryName(entry->name, wanted)) continue;
        if (!found) {
            if (out == "-") {
                standardOutput = std::make_unique<TStdoutStream>();
            } else {
                file = std::make_unique<AtomicOutputFile>(out);
            }
            found = true;
        }
        ForEntry(*entry,
                 [&] { reader.Expand(file ? file->Stream() : static_cast<TStream&>(*standardOutput)); });
    }
    if (!found) throw ToolError("no entry named " + Printable(name));
    if (file) file->Commit();
    return 0;
}

}  // namespace

const CommandSpec kExtractCommand{"extract",
                                  "expand one entry into a file, or every entry into a folder",
                                  kExtractUsage,
                                  {{"output", 'o', true}, {"directory", 'd', true}, {"key", 0, true}}};
const CommandSpec kListCommand{
    "list", "show an archive's header and entries", kListUsage, {{"json", 0, false}}};
const CommandSpec kTestCommand{
    "test", "expand every entry without writing it", kTestUsage, {{"key", 0, true}}};

int RunExtract(const ParsedArgs& args) {
    const auto out = args.Last("output");
    const auto dir = args.Last("directory");
    const std::vector<std::string>& positional = args.Positional();
    if (positional.empty()) throw UsageError("give the FILE to extract from");
    if (out && dir) throw UsageError("give either ENTRY -o OUT or -d DIR, not both");
    if (!out && !dir) throw UsageError("give ENTRY -o OUT for one entry, or -d DIR for all of them");
    if (out && positional.size() != 2) throw UsageError("give FILE and one ENTRY with -o");
    const int32_t key = KeyOption(args);
    const auto archive = OpenArchive(positional[0]);
    if (out) return ExtractOne(*archive, positional[1], *out, key);
    return ExtractAll(*archive, PathFromUtf8(*dir),
                      std::vector<std::string>(positional.begin() + 1, positional.end()), key);
}

namespace {

// ProductName and version of a setup's launcher, from its version
// information, read before the archive is opened (which holds the file alone).
SetupIdentity IdentityOf(const std::string& path) {
    SetupIdentity identity;
    try {
        const auto file = OpenFile(path, FileMode::OpenReadShared);
        if (!HasPeHeader(*file)) return identity;
        auto readPrefix = [&](uint64_t length) {
            std::vector<uint8_t> bytes(
                static_cast<size_t>(std::min<uint64_t>(length, static_cast<uint64_t>(file->Size()))));
            file->SetPosition(0);
            if (!bytes.empty()) file->ReadBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
            return bytes;
        };
        const auto end = SectionsEnd(readPrefix(4096));
        if (!end || *end > kMaxEntrySize) return identity;
        const auto info = ReadVersionInfo(readPrefix(*end));
        if (!info) return identity;
        identity.productName = info->Find("ProductName");
        identity.version = info->Find("ProductVersion");
        if (identity.version.empty()) identity.version = VersionText(info->productVersion);
    } catch (const std::exception&) {
        // No identity then; the archive's own errors come when it is opened.
    }
    return identity;
}

}  // namespace

void ListArchive(TStream& archive, std::FILE* out, bool json, int64_t archiveOffset,
                 const SetupIdentity* setup) {
    TKQInstCompress component;
    AcceptAnyId(component);
    const int64_t archiveSize = archive.Size();
    TEntryReader reader(archive, component);
    const ArchiveHeader& header = reader.Header();
    if (json) {
        std::fprintf(out, "{");
        if (setup) {
            auto orNull = [](const std::string& text) {
                return text.empty() ? std::string("null") : JsonString(text);
            };
            std::fprintf(out, "\"product_name\": %s, \"version\": %s, ", orNull(setup->productName).c_str(),
                         orNull(setup->version).c_str());
        }
        std::fprintf(out,
                     "\"archive_offset\": %" PRId64 ", \"method_id\": %s, \"total_size\": %" PRId32
                     ", \"archive_lock\": %" PRId32 ",\n \"entries\": [",
                     archiveOffset,
                     JsonString(archiveSize < kArchiveHeaderSize ? "" : header.methodId).c_str(),
                     header.totalSize, header.archiveLock);
    } else if (archiveSize < kArchiveHeaderSize) {
        std::fprintf(out, "archive: too short for a header (%" PRId64 " bytes): no entries\n", archiveSize);
        return;
    } else {
        std::fprintf(out, "archive: method %s, total size %" PRId32 ", archive lock %" PRId32 "\n",
                     Printable(header.methodId).c_str(), header.totalSize, header.archiveLock);
        std::fprintf(out, "%-6s %12s %12s %6s %5s %10s  %s\n", "method", "expanded", "stored", "ratio",
                     "lock", "checksum", "name");
    }
    int64_t entries = 0;
    int64_t expanded = 0;
    int64_t stored = 0;
    std::string note;
    while (const ArchiveEntry* entry = reader.Next()) {
        const bool notScrambled = entry->lock > 0 && entry->method == kMethodStored;
        if (json) {
            std::fprintf(out,
                         "%s\n  {\"name\": %s, \"method\": \"%s\", \"expanded\": %" PRId32
                         ", \"stored\": %" PRId32 ", \"ratio\": %s, \"lock\": %" PRId32
                         ", \"scrambled\": %s, \"checksum\": \"%08" PRIx32 "\", \"data_offset\": %" PRId64
                         "}",
                         entries ? "," : "", JsonString(entry->name).c_str(),
                         MethodName(entry->method).c_str(), entry->expandedSize, entry->storedSize,
                         RatioNumber(entry->storedSize, entry->expandedSize).c_str(), entry->lock,
                         entry->lock == 2 && entry->method != kMethodStored ? "true" : "false",
                         entry->checksum, archiveOffset + entry->dataOffset);
        } else {
            std::fprintf(out, "%-6s %12" PRId32 " %12" PRId32 " %6s %5" PRId32 "   %08" PRIx32 "  %s%s\n",
                         MethodName(entry->method).c_str(), entry->expandedSize, entry->storedSize,
                         Ratio(entry->storedSize, entry->expandedSize).c_str(), entry->lock, entry->checksum,
                         Printable(entry->name).c_str(), notScrambled ? "  (stored, not scrambled)" : "");
        }
        ++entries;
        expanded += entry->expandedSize;
        stored += entry->storedSize;
        if (entry->dataOffset + entry->storedSize > archiveSize) {
            note = "entry data truncated: " + std::to_string(archiveSize - entry->dataOffset) + " of " +
                   std::to_string(entry->storedSize) + " bytes present";
            break;
        }
    }
    if (note.empty() && reader.WalkEnd() == TEntryReader::End::NoHeader && reader.EndOffset() < archiveSize) {
        note = "archive ends early: " + std::to_string(archiveSize - reader.EndOffset()) +
               " bytes after the last entry are not an entry";
    }
    if (json) {
        std::fprintf(out,
                     "\n ],\n \"totals\": {\"entries\": %" PRId64 ", \"expanded\": %" PRId64
                     ", \"stored\": %" PRId64 ", \"ratio\": %s},\n \"note\": %s}\n",
                     entries, expanded, stored, RatioNumber(stored, expanded).c_str(),
                     note.empty() ? "null" : JsonString(note).c_str());
        return;
    }
    if (!note.empty()) std::fprintf(out, "(%s)\n", note.c_str());
    std::fprintf(out, "%" PRId64 " entr%s, %" PRId64 " bytes expanded, %" PRId64 " stored (%s)\n", entries,
                 entries == 1 ? "y" : "ies", expanded, stored, Ratio(stored, expanded).c_str());
}

int RunList(const ParsedArgs& args) {
    if (args.Positional().size() != 1) throw UsageError("give one FILE");
    const SetupIdentity identity = IdentityOf(args.Positional()[0]);
    const auto archive = OpenArchive(args.Positional()[0]);
    const bool json = args.Has("json");
    if (archive->IsSetupImage() && !json) {
        std::string shown;
        if (!identity.productName.empty()) shown += " of " + Printable(identity.productName);
        if (!identity.version.empty())
            shown += (shown.empty() ? " version " : " ") + Printable(identity.version);
        std::printf("setup image%s, archive at offset %" PRId64 "\n", shown.c_str(),
                    archive->ArchiveOffset());
    }
    ListArchive(archive->Stream(), stdout, json, archive->ArchiveOffset(),
                archive->IsSetupImage() ? &identity : nullptr);
    return 0;
}

int RunTest(const ParsedArgs& args) {
    if (args.Positional().size() != 1) throw UsageError("give one FILE");
    const auto archive = OpenArchive(args.Positional()[0]);
    TKQInstCompress component;
    component.Key = KeyOption(args);
    TEntryReader reader(archive->Stream(), component);
    int64_t passed = 0;
    int64_t failed = 0;
    while (const ArchiveEntry* entry = reader.Next()) {
        try {
            reader.Test();
            std::printf("OK %s\n", Printable(entry->name).c_str());
            ++passed;
        } catch (const Exception& e) {
            std::printf("FAILED %s: %s: %s\n", Printable(entry->name).c_str(), e.ClassName(),
                        Printable(e.Message()).c_str());
            ++failed;
        }
    }
    std::printf("%" PRId64 " entr%s, %" PRId64 " OK, %" PRId64 " failed\n", passed + failed,
                passed + failed == 1 ? "y" : "ies", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace kq::tools
