// kqi setup: a launcher stub plus an installer (and more entries) as one
// setup file.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Exceptions.h"
#include "Setup/LauncherFlow.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"
#include "tools/kqi/InstalledStub.h"
#include "tools/kqi/PackInputs.h"
#include "InstCompressPack/PeImage.h"
#include "InstCompressPack/SetupImage.h"

namespace kq::tools {

namespace {

void PrintSetupUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: kqi setup [--stub STUB] --installer FILE [-o OUT] [--method M] [--best] [-j N] [--key N]\n"
                 "                 [--strip-signature] [-q] [NAME=PATH[:M]...]\n"
                 "  Writes a setup: a copy of the launcher STUB whose payload is an archive with\n"
                 "  FILE as its first entry, %s, followed by one entry per NAME=PATH\n"
                 "  (as for kqi pack). The marker field in the copy is set to the payload's offset.\n"
                 "  --stub STUB the launcher (default: the one installed with kqi, kqsetup.exe\n"
                 "              if it is there, else kqsetup)\n"
                 "  -o OUT      the setup file (default setup, with STUB's extension)\n"
                 "  --method M  none, rle, lzh1 or lh5 (default %.*s)\n"
                 "  --best      lh5: smaller output, several times slower\n"
                 "  -j N        lh5: threads (default: the machine's cores); the output is the\n"
                 "              same for every N\n"
                 "  --key N     locks the further entries; the installer entry stays open,\n"
                 "              because the launcher has no key\n"
                 "  --strip-signature  drops the signature of a signed STUB; sign the\n"
                 "              finished setup instead\n"
                 "  -q          no summary line\n",
                 kInstallerEntryName, static_cast<int>(PackMethodName(kDefaultPackMethod).size()),
                 PackMethodName(kDefaultPackMethod).data());
}

bool SameEntryName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The installer entry stays open because the launcher has no key; a key
// locks only the further entries. Written as two archives whose entries are
// joined under one header counting them all.
std::vector<uint8_t> BuildSetupArchive(const std::vector<PackItem>& items, PackMethod method, int32_t key,
                                       const EncodeOptions& encode) {
    const std::string methodId(MethodIdOf(method));
    PackOptions installerOptions{methodId, key, 0};
    installerOptions.encode = encode;
    PackOptions furtherOptions{methodId, key, std::nullopt};
    furtherOptions.encode = encode;
    TMemoryStream installer;
    WriteArchive(installer, {items.front()}, installerOptions);
    TMemoryStream further;
    WriteArchive(further, std::vector<PackItem>(items.begin() + 1, items.end()), furtherOptions);
    int64_t total = 0;
    for (const PackItem& item : items) total += static_cast<int64_t>(item.plain.size());
    if (total > kMaxEntrySize) throw ToolError("archive contents exceed 2147483647 bytes in all");
    const auto header = BuildArchiveHeader(methodId, static_cast<int32_t>(total), kArchiveTypeMulti, key);
    TMemoryStream archive;
    archive.WriteBuffer(header.data(), kArchiveHeaderSize);
    for (TMemoryStream* part : {&installer, &further}) {
        const std::vector<uint8_t>& bytes = part->Bytes();
        archive.WriteBuffer(bytes.data() + kArchiveHeaderSize, static_cast<int32_t>(bytes.size()) - kArchiveHeaderSize);
    }
    return std::move(archive.Bytes());
}

std::string DefaultOutput(const std::string& stub) {
    return "setup" + std::filesystem::path(stub).extension().string();
}

}  // namespace

int RunSetup(int argc, char** argv) {
    std::string stubPath;
    std::string installerPath;
    std::string out;
    PackMethod method = kDefaultPackMethod;
    int32_t key = 0;
    EncodeOptions encode{false, DefaultThreads()};
    bool quiet = false;
    bool stripSignature = false;
    std::vector<std::string> specs;
    try {
        ArgReader args(argc, argv, 0);
        while (!args.Done()) {
            const std::string arg = args.Next();
            if (arg == "-h" || arg == "--help") {
                PrintSetupUsage(stdout);
                return 0;
            }
            if (arg == "--stub") {
                stubPath = args.Value(arg);
            } else if (arg == "--installer") {
                installerPath = args.Value(arg);
            } else if (arg == "-o") {
                out = args.Value(arg);
            } else if (arg == "--method") {
                method = MethodOption(args, arg);
            } else if (arg == "--best") {
                encode.best = true;
            } else if (arg == "-j") {
                encode.threads = ThreadsOption(args, arg);
            } else if (arg == "--key") {
                key = KeyOption(args, arg);
            } else if (arg == "--strip-signature") {
                stripSignature = true;
            } else if (arg == "-q" || arg == "--quiet") {
                quiet = true;
            } else if (arg.size() > 1 && arg[0] == '-') {
                throw UsageError("unknown option " + arg);
            } else {
                specs.push_back(arg);
            }
        }
        if (stubPath.empty()) {
            const InstalledStubs installed = FindInstalledStub();
            if (!installed.stub) {
                throw UsageError("give the launcher with --stub STUB: none is installed in '" + installed.folder + "'");
            }
            stubPath = *installed.stub;
            if (!quiet) std::printf("using the installed launcher %s\n", stubPath.c_str());
        }
        if (installerPath.empty()) throw UsageError("give the installer with --installer FILE");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kqi: %s\n", e.what());
        PrintSetupUsage(stderr);
        return 2;
    }
    if (out.empty()) out = DefaultOutput(stubPath);

    try {
        std::vector<PackItem> items;
        items.push_back(PackItem{kInstallerEntryName, ReadWholeFile(installerPath), method});
        AddPackSpecs(specs, method, items);
        // The launcher expands every entry of the installer's name into one
        // file, so a second one would be glued to the installer.
        for (size_t i = 1; i < items.size(); ++i) {
            if (SameEntryName(items[i].name, kInstallerEntryName)) {
                throw ToolError(std::string("a further entry is named ") + kInstallerEntryName +
                                ", which only --installer may give");
            }
        }
        const std::vector<uint8_t> archive = BuildSetupArchive(items, method, key, encode);
        std::vector<uint8_t> stub = ReadWholeFile(stubPath);
        // The payload goes after the stub's signature, which then no longer
        // matches the file: the setup must be signed as a whole.
        if (const auto pe = pack::ReadPeLayout(stub); pe && pe->certificateSize != 0) {
            if (!stripSignature) {
                throw ToolError("the stub " + stubPath +
                                " is signed, and its signature would not cover the setup: give the unsigned "
                                "stub and sign the finished setup instead, or drop the stub's signature with "
                                "--strip-signature");
            }
            pack::StripCertificateTable(stub, *pe);
        }
        const std::vector<uint8_t> image = BuildSetupImage(std::move(stub), archive);

        AtomicOutputFile output(out);
        output.Stream().WriteBuffer(image.data(), static_cast<int32_t>(image.size()));
        output.Commit();
        // The setup runs like the stub: keep its permission bits.
        std::error_code ignored;
        std::filesystem::permissions(out, std::filesystem::status(stubPath, ignored).permissions(), ignored);
        if (!quiet) {
            const size_t stubSize = image.size() - 4 - archive.size();
            std::printf("%s: launcher %zu bytes, payload at offset %zu, archive %zu bytes, %zu entries\n",
                        out.c_str(), stubSize, stubSize, archive.size(), items.size());
        }
        return 0;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kqi: %s\n", e.what());
        PrintSetupUsage(stderr);
        return 2;
    } catch (const std::exception& e) {
        return ReportFailure(e);
    }
}

}  // namespace kq::tools
