// Turns NAME=PATH arguments into the entries of an archive: files and
// folder trees, entry names checked and normalised, sizes known ahead.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/kqi/Cli.h"
#include "tools/kqi/Options.h"

namespace kq::tools {

struct InputSpec {
    std::string name;  // as given, '/' already turned into '\'
    std::string path;  // a ':' is part of the path
};

// Splits NAME=PATH at the first '='; nullopt when either side is empty.
std::optional<InputSpec> ParseInputSpec(const std::string& spec);

// --method-for PATTERN=METHOD
struct MethodRule {
    std::string pattern;
    PackMethod method;
};
std::optional<MethodRule> ParseMethodRule(const std::string& text);

// Matches an entry name against a glob: '*' any run, '?' one character,
// ASCII letters without case, '/' the same as '\'. A pattern without a
// separator matches the last part of the name, else the whole name.
bool GlobMatch(std::string_view pattern, std::string_view name);

// Why an entry name is unusable ("" when it is fine): an empty, "." or ".."
// part, a leading '\', a drive letter, a control character.
std::string EntryNameProblem(std::string_view name);

struct InputOptions {
    PackMethod method = kDefaultPackMethod;  // default: coded unless storing is smaller
    std::vector<MethodRule> rules;           // explicit: kept even when larger
    bool skipLinks = false;                  // skip unusable links instead of failing
    bool allowDuplicates = false;            // keep names the reader would see as one
};

struct InputFile {
    std::string name;
    std::string path;  // opened when the entry is written
    int64_t size = 0;
    PackMethod method = kDefaultPackMethod;
    bool explicitMethod = false;
};

// Walks every spec (folders in sorted order, without following links out of
// the tree) and checks, before any work: names, duplicates, sizes via stat
// and that every file can be read. Skipped links are reported on stderr.
std::vector<InputFile> CollectInputs(const std::vector<InputSpec>& specs, const InputOptions& options);

// The archive entries for the writer library.
std::vector<PackEntry> ToPackEntries(const std::vector<InputFile>& files);

// Refuses an output that is a folder, lies in a missing folder, or is one of
// `inputs` (the same file under another name included).
void CheckOutputPath(const std::string& out, const std::vector<std::string>& inputs);

// --method, --method-for, --skip-links and --allow-duplicates; raises
// UsageError for a bad value.
InputOptions InputOptionsFrom(const ParsedArgs& args);

// Options pack and setup share, for their CommandSpec.
std::vector<OptionSpec> InputOptionSpecs();

// The folder of `out`, where temporary files take space the output needs anyway.
std::string SpillDirectoryFor(const std::string& out);

}  // namespace kq::tools
