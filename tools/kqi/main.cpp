// kqi: the publisher's command for archives and setups.
#include <string>
#include <vector>

#include "tools/kqi/Cli.h"
#include "tools/kqi/Commands.h"
#include "tools/kqi/Platform.h"

namespace {

int Run(const std::vector<std::string>& args) {
    int code = 0;
    {
        const kq::tools::Utf8Console console;
        code = kq::tools::RunKqi(args);
        // Whatever went to standard output must have arrived.
        if (!kq::tools::CloseStdout()) code = 1;
    }
    return code;
}

}  // namespace

#ifdef _WIN32
// The UTF-16 command line: a narrow one loses every name outside the ANSI
// code page.
int wmain(int argc, wchar_t** argv) {
    return Run(kq::tools::Utf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
