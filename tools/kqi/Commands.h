// The kqi commands. Each gets its parsed arguments and returns the exit
// code: 0 success, 1 failure; a UsageError (exit 2) or any other exception
// (exit 1) goes to the one failure path in main.
#pragma once

#include <cstdio>
#include <string>

#include "tools/kqi/Options.h"

namespace kq {
class TStream;
}

namespace kq::tools {

struct Command {
    const CommandSpec& spec;
    int (*run)(const ParsedArgs& args);
};

extern const CommandSpec kPackCommand;
extern const CommandSpec kSetupCommand;
extern const CommandSpec kListCommand;
extern const CommandSpec kTestCommand;
extern const CommandSpec kExtractCommand;

int RunPack(const ParsedArgs& args);
int RunSetup(const ParsedArgs& args);
int RunList(const ParsedArgs& args);
int RunTest(const ParsedArgs& args);
int RunExtract(const ParsedArgs& args);

// What a setup's version information says of it; empty when it has none.
struct SetupIdentity {
    std::string productName;
    std::string version;
};

// Prints the archive header and the entries the component would walk, as
// text or as JSON (with the setup's identity, when given). Survives
// truncated archives; raises the component's header errors.
void ListArchive(TStream& archive, std::FILE* out, bool json = false, int64_t archiveOffset = 0,
                 const SetupIdentity* setup = nullptr);

// Runs one command line (argv without the program name); the whole of kqi
// but the closing of standard output.
int RunKqi(const std::vector<std::string>& args);

}  // namespace kq::tools
