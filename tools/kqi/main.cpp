// kqi: the publisher's command for archives and setups.
#include <cstdio>
#include <cstring>
#include <exception>

#include "InstCompress/KQVersion.h"
#include "tools/kqi/Commands.h"

namespace {

constexpr const char* kUsage =
    "usage: kqi COMMAND [ARGS]\n"
    "commands:\n"
    "  pack     write an archive from files and folders\n"
    "  list     show an archive's header and entries\n"
    "  test     expand every entry without writing it\n"
    "  extract  expand the entries of one name into a file\n"
    "  setup    make a setup file from the launcher and an installer\n"
    "'kqi --version' prints the version. 'kqi COMMAND --help' describes each command. FILE may be an archive or a setup image.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "-h") == 0 || std::strcmp(command, "--help") == 0 ||
        std::strcmp(command, "help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("kqi %s\n", KQ_VERSION);
        return 0;
    }
    try {
        if (std::strcmp(command, "pack") == 0) return kq::tools::RunPack(argc - 2, argv + 2);
        if (std::strcmp(command, "list") == 0) return kq::tools::RunList(argc - 2, argv + 2);
        if (std::strcmp(command, "test") == 0) return kq::tools::RunTest(argc - 2, argv + 2);
        if (std::strcmp(command, "extract") == 0) return kq::tools::RunExtract(argc - 2, argv + 2);
        if (std::strcmp(command, "setup") == 0) return kq::tools::RunSetup(argc - 2, argv + 2);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kqi: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "kqi: unknown command '%s'\n%s", command, kUsage);
    return 2;
}
