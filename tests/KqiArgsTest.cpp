// The kqi option parser and the entry name rules every command shares.
#include <gtest/gtest.h>

#include "tools/kqi/Cli.h"
#include "tools/kqi/PackInputs.h"

namespace kq::tools {
namespace {

const CommandSpec kSpec{"demo", "", "", {{"output", 'o', true}, {"quiet", 'q', false}, {"key", 0, true}}};

TEST(KqiArgsTest, EveryOptionSpellingAndTheEndOfOptions) {
    const struct {
        std::vector<std::string> args;
        std::string output;
        bool quiet;
        std::vector<std::string> positional;
    } cases[] = {
        {{"-o", "a", "x"}, "a", false, {"x"}},
        {{"-oa", "x"}, "a", false, {"x"}},
        {{"--output", "a", "-q"}, "a", true, {}},
        {{"--output=a=b", "x"}, "a=b", false, {"x"}},
        {{"--output=", "x"}, "", false, {"x"}},
        {{"-o", "first", "--output=last"}, "last", false, {}},
        {{"-", "-o", "-"}, "-", false, {"-"}},
        {{"x", "--", "-o", "--quiet"}, "", false, {"x", "-o", "--quiet"}},
    };
    for (const auto& c : cases) {
        const ParsedArgs parsed = ParseArgs(kSpec, c.args);
        EXPECT_EQ(parsed.Last("output").value_or(""), c.output) << c.args[0];
        EXPECT_EQ(parsed.Has("quiet"), c.quiet) << c.args[0];
        EXPECT_EQ(parsed.Positional(), c.positional) << c.args[0];
    }
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--nope"}, {"-x"}, {"-o"}, {"--key"}, {"--quiet=1"}, {"--out=a"}}) {
        EXPECT_THROW(ParseArgs(kSpec, bad), UsageError) << bad[0];
    }
    EXPECT_TRUE(ParseArgs(kSpec, {"-h"}).Has("help"));
}

TEST(KqiArgsTest, EntryNamesAndPatterns) {
    for (const char* good : {"a", "Installer\\KQInstall.exe", "a b\\c:d", "d\\.hidden",
                             "gr\xC3\xBC\xC3\x9F"
                             "e",
                             "x..y"}) {
        EXPECT_EQ(EntryNameProblem(good), "") << good;
    }
    const struct {
        const char* name;
        const char* problem;
    } bad[] = {
        {"", "an empty name"},       {"a\\\\b", "an empty part"},     {"a\\", "an empty part"},
        {"\\a", "an absolute path"}, {"/a", "an absolute path"},      {"C:a", "a drive letter"},
        {"a\\..\\b", "a '..' part"}, {"a/../b", "a '..' part"},       {"..", "a '..' part"},
        {"a\\.\\b", "a '.' part"},   {"a\tb", "a control character"}, {"a\x7F", "a control character"},
    };
    for (const auto& c : bad) EXPECT_EQ(EntryNameProblem(c.name), c.problem) << c.name;

    const struct {
        const char* pattern;
        const char* name;
        bool matches;
    } globs[] = {
        {"*.txt", "Data\\docs\\A.TXT", true}, {"*.txt", "a.txt.bak", false},
        {"data\\*", "Data\\x\\y", true},      {"data/*.bin", "Data\\b.bin", true},
        {"?.bin", "Data\\ab.bin", false},     {"a*b*c", "axxbyyc", true},
        {"a*b*c", "axxbyy", false},           {"*", "Installer\\KQInstall.exe", true},
    };
    for (const auto& g : globs)
        EXPECT_EQ(GlobMatch(g.pattern, g.name), g.matches) << g.pattern << " " << g.name;
}

}  // namespace
}  // namespace kq::tools
