// The kqi commands. Each takes the arguments after its name and returns the
// process exit code: 0 success, 1 failure, 2 usage error.
#pragma once

namespace kq::tools {

int RunExtract(int argc, char** argv);
int RunList(int argc, char** argv);
int RunTest(int argc, char** argv);
int RunPack(int argc, char** argv);
int RunSetup(int argc, char** argv);

}  // namespace kq::tools
