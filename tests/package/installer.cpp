// A stand-in installer: reports its build and the readme it finds in the
// archive the launcher hands it (/DATA=), to the file $KQ_TEST_REPORT.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "InstCompress/EntryReader.h"
#include "InstCompress/InstCompress.h"

int main(int argc, char** argv) {
    const char* report = std::getenv("KQ_TEST_REPORT");
    if (report == nullptr || argc < 3) return 1;
    const std::string data = std::string(argv[2]).substr(6);  // after "/DATA="
    kq::TKQInstCompress component;
    component.Key = 7;
    kq::TMemoryStream readme;
    kq::TArchiveFile archive(data, kq::FileMode::OpenReadShared);
    component.ExpandNamedEntry(archive.Stream(), readme, "Data\\readme.txt");
    std::FILE* out = std::fopen(report, "w");
    if (out == nullptr) return 1;
    std::fprintf(out, "installer build 1\n%.*s", static_cast<int>(readme.Size()),
                 reinterpret_cast<const char*>(readme.Bytes().data()));
    std::fclose(out);
    return 0;
}
