// kqi: the publisher's command for archives and setups.
#include <string>
#include <vector>

#include "tools/kqi/Commands.h"

int main(int argc, char** argv) {
    const int code = kq::tools::RunKqi(std::vector<std::string>(argv + 1, argv + argc));
    // Whatever went to standard output must have arrived.
    if (!kq::tools::CloseStdout()) return 1;
    return code;
}
