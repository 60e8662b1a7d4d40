// kqi setup: a launcher stub plus an installer (and more entries) as one
// setup file.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/InstCompress.h"
#include "InstCompress/PayloadLocator.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/PeImage.h"
#include "InstCompressPack/SetupImage.h"
#include "Setup/LauncherFlow.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"
#include "tools/kqi/InstalledStub.h"
#include "tools/kqi/OutputFile.h"
#include "tools/kqi/PackInputs.h"
#include "tools/kqi/Progress.h"

namespace kq::tools {

namespace {

constexpr std::string_view kSetupUsage =
    "usage: kqi setup [--stub STUB] --installer FILE [-o OUT] [options] [--] [NAME=PATH...]\n"
    "  Writes a setup: a copy of the launcher STUB whose payload is an archive with\n"
    "  FILE as its first entry, Installer\\KQInstall.exe, followed by one entry per\n"
    "  NAME=PATH (as for kqi pack). The marker field in the copy is set to the\n"
    "  payload's offset. For a Windows stub, FILE must be a Windows program.\n"
    "  --stub STUB          the launcher (default: the one installed with kqi,\n"
    "                       beside it or in share/kqinstall: kqsetup.exe if it\n"
    "                       is there, else kqsetup)\n"
    "  -o, --output OUT     the setup file (default setup, with STUB's extension);\n"
    "                       standard output is refused: the payload's size comes\n"
    "                       before the archive\n"
    "  --method M           none, rle, lzh1 or lh5 (default lh5); an entry that does\n"
    "                       not get smaller is stored instead\n"
    "  --method-for P=M     method M for the entries whose names match P (as for kqi\n"
    "                       pack), kept even when larger; may be repeated\n"
    "  --best               lh5: smaller output, several times slower\n"
    "  -j, --threads N      threads (default: the machine's cores): entries are coded\n"
    "                       side by side, a large lh5 entry in segments side by side;\n"
    "                       the output is the same for every N\n"
    "  --key N              locks the further entries; the installer entry stays open,\n"
    "                       because the launcher has no key\n"
    "  --force              accept an installer that is empty or no Windows program\n"
    "  --strip-signature    drop the signature of a signed STUB (a signature made\n"
    "                       before the payload is added cannot cover the setup:\n"
    "                       sign the finished setup instead)\n"
    "  --icon FILE.ico      the setup's icon (a Windows stub): every image of the\n"
    "                       .ico file, PNG ones included, replaces the stub's icon\n"
    "  --version X.Y.Z[.W]  the setup's file and product version (1 to 4 numbers\n"
    "                       of 0 to 65535), also as FileVersion and ProductVersion\n"
    "  --version-info KEY=VALUE  one string of the version information, in UTF-8:\n"
    "                       Comments, CompanyName, FileDescription, FileVersion,\n"
    "                       InternalName, LegalCopyright, LegalTrademarks,\n"
    "                       OriginalFilename, PrivateBuild, ProductName,\n"
    "                       ProductVersion, SpecialBuild; may be repeated. Any\n"
    "                       version option replaces the stub's version information:\n"
    "                       FileDescription defaults to \"<ProductName> Setup\",\n"
    "                       OriginalFilename to OUT's file name\n"
    "  --skip-links         leave out unusable links instead of failing\n"
    "  --allow-duplicates   keep names the reader expands as one file\n"
    "  -q, --quiet          no progress line and no summary line\n";

std::vector<OptionSpec> SetupOptionSpecs() {
    std::vector<OptionSpec> options = InputOptionSpecs();
    options.push_back({"stub", 0, true});
    options.push_back({"installer", 0, true});
    options.push_back({"force", 0, false});
    options.push_back({"strip-signature", 0, false});
    options.push_back({"icon", 0, true});
    options.push_back({"version", 0, true});
    options.push_back({"version-info", 0, true});
    return options;
}

// The payload goes after a signed stub's certificate table, where the
// signature cannot cover it: the setup must be signed as a whole. A signed
// stub is refused, or taken with its certificate table dropped.
std::unique_ptr<TStream> UnsignedStub(std::unique_ptr<TStream> stub, const std::string& path, bool strip) {
    // Too large for a setup anyway: the size checks below say so.
    if (stub->Size() > kMaxEntrySize || !HasPeHeader(*stub)) return stub;
    std::vector<uint8_t> image(static_cast<size_t>(stub->Size()));
    if (!image.empty()) stub->ReadBuffer(image.data(), static_cast<int32_t>(image.size()));
    stub->SetPosition(0);
    const auto pe = ReadPeLayout(image);
    if (!pe || pe->certificateSize == 0) return stub;
    if (!strip) {
        throw ToolError(
            "the stub " + path +
            " is signed, and its signature would not cover the setup: give the unsigned stub and sign the "
            "finished setup instead, or drop the stub's signature with --strip-signature");
    }
    StripCertificateTable(image, *pe);
    return std::make_unique<TMemoryStream>(std::move(image));
}

// The icon and version information the options give, checked; the stub's
// own resources are read when the setup is written.
SetupResources ResourcesFrom(const ParsedArgs& args, const std::string& out) {
    SetupResources resources;
    if (const auto text = args.Last("version")) {
        resources.version = ParseVersionNumber(*text);
        if (!resources.version) {
            throw ToolError("bad --version '" + *text +
                            "': give 1 to 4 numbers of 0 to 65535, such as 2.1.0");
        }
    }
    for (const std::string& spec : args.All("version-info")) {
        const size_t equals = spec.find('=');
        const std::string key = spec.substr(0, equals);
        if (equals == std::string::npos)
            throw ToolError("bad --version-info '" + spec + "': write KEY=VALUE");
        if (!IsVersionKey(key)) {
            throw ToolError("unknown --version-info key '" + key + "': give one of " +
                            std::string(VersionKeyList()));
        }
        resources.strings.emplace_back(key, spec.substr(equals + 1));
    }
    resources.outputName = std::filesystem::path(out).filename().string();
    if (const auto icon = args.Last("icon")) {
        const auto file = OpenFile(*icon, FileMode::OpenReadShared);
        if (file->Size() > (int64_t{1} << 26))
            throw ToolError("the icon " + *icon + " is larger than 64 MiB");
        resources.icon.resize(static_cast<size_t>(file->Size()));
        if (!resources.icon.empty())
            file->ReadBuffer(resources.icon.data(), static_cast<int32_t>(resources.icon.size()));
        try {
            ParseIcon(resources.icon);
        } catch (const PackError& e) {
            throw ToolError("the icon " + *icon + " cannot be used: " + e.what());
        }
    }
    try {
        BuildVersionInfo(resources);
    } catch (const PackError& e) {
        throw ToolError(std::string("bad --version-info: ") + e.what());
    }
    return resources;
}

std::string DefaultOutput(const std::string& stub) {
    return "setup" + Utf8FromPath(PathFromUtf8(stub).extension());
}

}  // namespace

const CommandSpec kSetupCommand{"setup", "make a setup file from the launcher and an installer", kSetupUsage,
                                SetupOptionSpecs()};

int RunSetup(const ParsedArgs& args) {
    auto stubPath = args.Last("stub");
    if (!stubPath) {
        const InstalledStubs installed = FindInstalledStub();
        if (!installed.stub) {
            std::string places;
            for (const std::string& folder : installed.folders)
                places += (places.empty() ? "'" : "' or in '") + folder;
            throw UsageError("give the launcher with --stub STUB: none is installed" +
                             (places.empty() ? std::string() : " in " + places + "'"));
        }
        stubPath = *installed.stub;
        if (!args.Has("quiet")) std::printf("using the installed launcher %s\n", stubPath->c_str());
    }
    const auto installerPath = args.Last("installer");
    if (!installerPath) throw UsageError("give the installer with --installer FILE");
    const std::string out = args.Last("output").value_or(DefaultOutput(*stubPath));
    if (out == "-") {
        throw UsageError(
            "setup cannot write to standard output: the payload's size field comes before the archive, "
            "so the file must be written in place");
    }
    std::error_code ignored;
    if (std::filesystem::is_directory(PathFromUtf8(*installerPath), ignored)) {
        throw ReasonedError("EFileOpenError", CannotOpenFileMessage(*installerPath) +
                                                  " (the installer must be a file, not a folder)");
    }
    std::vector<InputSpec> specs{{kInstallerEntryName, *installerPath}};
    for (const std::string& text : args.Positional()) {
        const auto spec = ParseInputSpec(text);
        if (!spec) throw UsageError("bad entry '" + text + "': write NAME=PATH");
        specs.push_back(*spec);
    }
    const InputOptions inputOptions = InputOptionsFrom(args);
    const SetupResources resources = ResourcesFrom(args, out);
    const int32_t key = KeyOption(args);

    // Every check before any work: the inputs, the stub, the installer, the
    // output's place and the sizes.
    std::vector<InputFile> files = CollectInputs(specs, inputOptions);
    // The launcher expands every entry of the installer's name into one
    // file, so a second one would be glued to the installer.
    for (size_t i = 1; i < files.size(); ++i) {
        if (SameEntryName(files[i].name, kInstallerEntryName)) {
            throw ToolError(std::string("a further entry is named ") + kInstallerEntryName + " (from " +
                            files[i].path + "), which only --installer may give");
        }
    }
    const std::unique_ptr<TStream> stub =
        UnsignedStub(OpenFile(*stubPath, FileMode::OpenReadShared), *stubPath, args.Has("strip-signature"));
    CheckStub(*stub);
    if (files.front().size == 0 && !args.Has("force")) {
        throw ToolError(*installerPath +
                        ": the installer is empty, so the launcher could not start it; give --force "
                        "to use it anyway");
    }
    if (!resources.Empty()) {
        if (!HasPeHeader(*stub))
            throw ToolError("--icon, --version and --version-info need a Windows stub; " + *stubPath +
                            " is none");
        // The stub's resource tree, read now: a failure comes before any work.
        std::vector<uint8_t> image(static_cast<size_t>(stub->Size()));
        stub->ReadBuffer(image.data(), static_cast<int32_t>(image.size()));
        stub->SetPosition(0);
        try {
            ApplySetupResources(image, resources);
        } catch (const PackError& e) {
            throw ToolError("the resources of the stub " + *stubPath + " cannot be rewritten: " + e.what());
        }
    }
    if (HasPeHeader(*stub) && !args.Has("force")) {
        const auto installer = OpenFile(*installerPath, FileMode::OpenReadShared);
        if (!HasPeHeader(*installer)) {
            throw ToolError(*installerPath +
                            " is not a Windows program (no MZ/PE header), so the launcher could not "
                            "start it; give --force to use it anyway");
        }
    }
    std::vector<std::string> paths{*stubPath};
    int64_t total = 0;
    int64_t leastSize = PayloadLayout{stub->Size()}.ArchiveStart() + kArchiveHeaderSize;
    for (const InputFile& file : files) {
        paths.push_back(file.path);
        total += file.size;
        leastSize += kEntryHeaderSize + static_cast<int64_t>(file.name.size());
    }
    CheckOutputPath(out, paths);
    if (leastSize > kMaxEntrySize) throw ToolError("the setup would be larger than 2147483647 bytes");
    std::vector<PackEntry> entries = ToPackEntries(files);
    entries.front().lock = 0;
    CheckEntries(entries);

    const PackMethod method = inputOptions.method;
    PackOptions options(std::string(MethodIdOf(method)), key, std::nullopt);
    options.spillDirectory = SpillDirectoryFor(out);
    options.encode = EncodeOptionsFrom(args);
    std::vector<int64_t> startOf(files.size() + 1, 0);
    for (size_t i = 0; i < files.size(); ++i) startOf[i + 1] = startOf[i] + files[i].size;
    const bool quiet = args.Has("quiet");
    int64_t archiveSize = 0;
    SetupImageLayout layout;
    {
        ProgressLine progress(!quiet && StderrIsTerminal(), total);
        AtomicOutputFile output(out);
        layout = WriteSetupImage(
            output.Stream(), *stub,
            [&](TStream& archive) {
                WriteArchive(archive, entries, options, [&](size_t entry, int64_t done) {
                    progress.Update(startOf[entry] + done, files[entry].name);
                });
                archiveSize = archive.Size();
            },
            resources);
        output.Commit();
    }
    // The setup runs like the stub: keep its permission bits.
    std::filesystem::permissions(out, std::filesystem::status(*stubPath, ignored).permissions(), ignored);
    if (!quiet) {
        std::printf("%s: launcher %lld bytes, payload at offset %lld, archive %lld bytes, %zu entries\n",
                    out.c_str(), static_cast<long long>(layout.stubSize),
                    static_cast<long long>(layout.payloadOffset), static_cast<long long>(archiveSize),
                    files.size());
    }
    return 0;
}

}  // namespace kq::tools
