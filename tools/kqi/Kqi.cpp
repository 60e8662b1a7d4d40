// The command table and the one path every failure takes.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "InstCompress/KQVersion.h"
#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"

namespace kq::tools {

namespace {

const Command kCommands[] = {
    {kPackCommand, &RunPack},       {kListCommand, &RunList},   {kTestCommand, &RunTest},
    {kExtractCommand, &RunExtract}, {kSetupCommand, &RunSetup},
};

void PrintUsage(std::FILE* to) {
    std::fputs(
        "usage: kqi COMMAND [ARGS]\n"
        "       kqi --version | --help\n"
        "commands:\n",
        to);
    for (const Command& c : kCommands) {
        std::fprintf(to, "  %-8.*s %.*s\n", static_cast<int>(c.spec.name.size()), c.spec.name.data(),
                     static_cast<int>(c.spec.summary.size()), c.spec.summary.data());
    }
    std::fputs(
        "'kqi COMMAND --help' describes each command. FILE may be an archive or a setup image.\n"
        "Options take their value as '--opt value' or '--opt=value'; '--' ends the options.\n"
        "Exit status: 0 success, 1 failure, 2 usage error.\n",
        to);
}

// Every command's options, one a line: "COMMAND --NAME", then " -X" for a
// short name. Left out of the usage text: it is for the checks that the
// manual and the completion offer each option.
void ListOptions() {
    for (const Command& c : kCommands) {
        const auto print = [&](const OptionSpec& o) {
            std::printf("%.*s --%.*s", static_cast<int>(c.spec.name.size()), c.spec.name.data(),
                        static_cast<int>(o.name.size()), o.name.data());
            if (o.shortName != 0) std::printf(" -%c", o.shortName);
            std::putchar('\n');
        };
        print(kHelpOption);
        for (const OptionSpec& o : c.spec.options) print(o);
    }
}

}  // namespace

int RunKqi(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string& name = args[0];
    if (name == "-h" || name == "--help" || name == "help") {
        PrintUsage(stdout);
        return 0;
    }
    if (name == "--list-options") {
        ListOptions();
        return 0;
    }
    if (name == "--version") {
        std::printf("kqi %s\n", KQ_VERSION);
        return 0;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (c.spec.name == name) command = &c;
    }
    if (!command) {
        std::fprintf(stderr, "kqi: unknown command '%s'\n", name.c_str());
        PrintUsage(stderr);
        return 2;
    }
    const std::string_view usage = command->spec.usage;
    try {
        const ParsedArgs parsed =
            ParseArgs(command->spec, std::vector<std::string>(args.begin() + 1, args.end()));
        if (parsed.Has("help")) {
            std::fwrite(usage.data(), 1, usage.size(), stdout);
            return 0;
        }
        return command->run(parsed);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kqi: %s\n", e.what());
        std::fwrite(usage.data(), 1, usage.size(), stderr);
        return 2;
    } catch (const std::exception& e) {
        return ReportFailure(e);
    }
}

}  // namespace kq::tools
