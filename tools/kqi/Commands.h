// The kqi commands. Each takes the arguments after its name and returns the
// process exit code: 0 success, 1 failure, 2 usage error.
#pragma once

#include <cstdio>

namespace kq {
class TStream;
}

namespace kq::tools {

// Prints the archive header and the entries the component would walk.
// Survives truncated archives; raises the component's header errors.
void ListArchive(TStream& archive, std::FILE* out);

int RunExtract(int argc, char** argv);
int RunList(int argc, char** argv);
int RunTest(int argc, char** argv);
int RunPack(int argc, char** argv);
int RunSetup(int argc, char** argv);

}  // namespace kq::tools
