// Writes archives whose entry names try to escape the folder they are
// extracted into, with the writer library, for the kqi command tests.
// Usage: make_hostile_archives DIR
#include <cstdio>
#include <string>

#include "InstCompress/Stream.h"
#include "InstCompressPack/ArchiveWriter.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_hostile_archives DIR\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    const struct {
        const char* file;
        const char* name;
    } archives[] = {
        {"up.kqa", "..\\..\\kqi-escaped-up"},   {"deep.kqa", "a\\b\\..\\..\\..\\kqi-escaped-deep"},
        {"abs.kqa", "\\tmp\\kqi-escaped-abs"},  {"slash.kqa", "/tmp/kqi-escaped-slash"},
        {"drive.kqa", "C:\\kqi-escaped-drive"}, {"link.kqa", "inner\\kqi-escaped-link"},
    };
    using kq::pack::PackItem;
    for (const auto& a : archives) {
        const std::vector<PackItem> items = {{"ok.txt", {'o', 'k'}, kq::pack::PackMethod::None},
                                             {a.name, {'x'}, kq::pack::PackMethod::None}};
        const auto bytes = kq::pack::BuildArchive(items, kq::pack::PackOptions("NON", 0, std::nullopt));
        kq::TFileStream out(dir + "/" + a.file, kq::FileMode::Create);
        out.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    return 0;
}
