// kqi pack: writes an archive from files and folders.
#include <cstdio>
#include <string>
#include <vector>

#include "InstCompressPack/ArchiveWriter.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"
#include "tools/kqi/OutputFile.h"
#include "tools/kqi/PackInputs.h"
#include "tools/kqi/Progress.h"

namespace kq::tools {

namespace {

constexpr std::string_view kPackUsage =
    "usage: kqi pack -o OUT [options] [--] NAME=PATH...\n"
    "  Writes an archive with one entry per NAME=PATH, in the order given. NAME is\n"
    "  stored as given, '/' turned into '\\' (for example Installer\\KQInstall.exe).\n"
    "  A PATH that is a folder adds its files in sorted order, named NAME\\sub\\file\n"
    "  after their place under the folder. A link to a file adds the file's bytes\n"
    "  under the link's name; a dangling link, a loop or a link to a folder outside\n"
    "  the tree is an error. Names with '..', '.', empty parts, a leading '\\', a\n"
    "  drive letter or control characters are refused, and so are two names the\n"
    "  reader sees as one (letters compared without case).\n"
    "  -o, --output OUT     the archive; '-' is standard output\n"
    "  --method M           none, rle, lzh1 or lh5 (default lh5); an entry that does\n"
    "                       not get smaller is stored instead\n"
    "  --method-for P=M     method M for the entries whose names match the pattern P\n"
    "                       ('*', '?'; without '\\' it matches the last part of the\n"
    "                       name), kept even when larger; may be repeated\n"
    "                       lzh1 is LZSS over a 4 KiB window with an adaptive Huffman\n"
    "                       code (the LHA -lh1- stream); lh5 is LZSS over an 8 KiB\n"
    "                       window with static Huffman blocks (the LHA -lh5- stream)\n"
    "  --best               lh5: smaller output, several times slower\n"
    "  -j, --threads N      threads (default: the machine's cores): entries are coded\n"
    "                       side by side, a large lh5 entry in segments side by side;\n"
    "                       the output is the same for every N\n"
    "  --key N              key: signed 32-bit decimal or 0x hex; locks the entries\n"
    "  --lock L             entry lock field: 0 open, 1 locked, 2 locked and\n"
    "                       scrambled (default 2 with a key, else 0); 1 and 2 need a key\n"
    "  --id XYZ             archive method id (default the method's: NON, RLE, LZH, LH5)\n"
    "  --skip-links         leave out unusable links instead of failing\n"
    "  --allow-duplicates   keep names the reader expands as one file\n"
    "  -q, --quiet          no progress line\n"
    "  RLE output is at most twice the input size (every lone 0x94 byte costs two\n"
    "  bytes; everything else at most one); runs of 4 or more bytes shrink.\n";

std::vector<OptionSpec> PackOptionSpecs() {
    std::vector<OptionSpec> options = InputOptionSpecs();
    options.push_back({"lock", 0, true});
    options.push_back({"id", 0, true});
    return options;
}

std::optional<int32_t> LockOption(const ParsedArgs& args, int32_t key) {
    const auto text = args.Last("lock");
    if (!text) return std::nullopt;
    if (*text != "0" && *text != "1" && *text != "2") throw UsageError("--lock takes 0, 1 or 2");
    const int32_t lock = (*text)[0] - '0';
    if (lock > 0 && key == 0) {
        throw UsageError(
            "--lock " + *text +
            " needs --key: a locked entry opens only with the key its checksum was made with, so "
            "without a key no reader could ever open it");
    }
    return lock;
}

}  // namespace

const CommandSpec kPackCommand{"pack", "write an archive from files and folders", kPackUsage,
                               PackOptionSpecs()};

int RunPack(const ParsedArgs& args) {
    const auto out = args.Last("output");
    if (!out) throw UsageError("give the output with -o OUT");
    if (args.Positional().empty()) throw UsageError("give at least one NAME=PATH");
    std::vector<InputSpec> specs;
    for (const std::string& text : args.Positional()) {
        const auto spec = ParseInputSpec(text);
        if (!spec) throw UsageError("bad entry '" + text + "': write NAME=PATH");
        specs.push_back(*spec);
    }
    const InputOptions inputOptions = InputOptionsFrom(args);
    PackOptions options;
    options.key = KeyOption(args);
    options.lock = LockOption(args, options.key);
    options.encode = EncodeOptionsFrom(args);
    const auto id = args.Last("id");
    if (id && id->size() != 3) throw UsageError("--id takes exactly three characters");
    options.methodId = id ? *id : std::string(MethodIdOf(inputOptions.method));

    // Every check before any work.
    const std::vector<InputFile> files = CollectInputs(specs, inputOptions);
    std::vector<std::string> paths;
    int64_t total = 0;
    for (const InputFile& file : files) {
        paths.push_back(file.path);
        total += file.size;
    }
    const bool toStdout = *out == "-";
    if (!toStdout) CheckOutputPath(*out, paths);
    const std::vector<PackEntry> entries = ToPackEntries(files);
    CheckEntries(entries);

    std::vector<int64_t> startOf(files.size() + 1, 0);
    for (size_t i = 0; i < files.size(); ++i) startOf[i + 1] = startOf[i] + files[i].size;
    ProgressLine progress(!args.Has("quiet") && StderrIsTerminal(), total);
    auto report = [&](size_t entry, int64_t done) {
        progress.Update(startOf[entry] + done, files[entry].name);
    };
    if (toStdout) {
        TStdoutStream stream;
        WriteArchive(stream, entries, options, report);
        return 0;
    }
    AtomicOutputFile output(*out);
    options.spillDirectory = SpillDirectoryFor(*out);
    WriteArchive(output.Stream(), entries, options, report);
    output.Commit();
    return 0;
}

}  // namespace kq::tools
