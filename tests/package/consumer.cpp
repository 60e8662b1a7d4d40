// Uses the installed headers and libraries:
//   consumer list FILE [KEY]           tests every entry and lists it
//   consumer extract FILE ENTRY [KEY]  expands the entries of a name to stdout
//   consumer roundtrip STUB SETUP      writes an archive and a setup with the
//                                      writer, then reads both back
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "InstCompress/EntryReader.h"
#include "InstCompress/InstCompress.h"
#include "InstCompress/KQVersion.h"
#include "InstCompressPack/ArchiveWriter.h"
#include "InstCompressPack/SetupImage.h"

namespace {

using Bytes = std::vector<uint8_t>;

int List(const std::string& path, int32_t key) {
    kq::TArchiveFile file(path);
    kq::TKQInstCompress component;
    component.Key = key;
    kq::TEntryReader reader(file.Stream(), component);
    int failed = 0;
    while (const kq::ArchiveEntry* entry = reader.Next()) {
        const char* outcome = "OK";
        try {
            reader.Test();
        } catch (const kq::Exception&) {
            outcome = "FAILED";
            ++failed;
        }
        std::printf("%s %u %d %d %d %s\n", outcome, entry->method, entry->expandedSize, entry->storedSize,
                    entry->lock, entry->name.c_str());
    }
    return failed == 0 ? 0 : 1;
}

int Extract(const std::string& path, const std::string& name, int32_t key) {
    kq::TArchiveFile file(path);
    kq::TKQInstCompress component;
    component.Key = key;
    kq::TMemoryStream out;
    component.ExpandNamedEntry(file.Stream(), out, name);
    std::fwrite(out.Bytes().data(), 1, out.Bytes().size(), stdout);
    return 0;
}

// Every entry read back through the reader, expanded.
std::vector<std::pair<std::string, Bytes>> ReadBack(kq::TStream& archive, int32_t key) {
    kq::TKQInstCompress component;
    component.Key = key;
    kq::TEntryReader reader(archive, component);
    std::vector<std::pair<std::string, Bytes>> entries;
    while (const kq::ArchiveEntry* entry = reader.Next()) {
        kq::TMemoryStream out;
        reader.Expand(out);
        entries.emplace_back(entry->name, out.Bytes());
    }
    return entries;
}

int Roundtrip(const std::string& stubPath, const std::string& setupPath) {
    using kq::pack::PackMethod;
    Bytes text;
    for (int i = 0; i < 5000; ++i) text.push_back(static_cast<uint8_t>("abcabcabd\n"[i % 10]));
    const std::vector<kq::pack::PackItem> items = {
        // Empty entries go first: the walk stops as soon as the expanded
        // sizes reach the total, so a trailing empty entry is never read.
        {"empty", {}, PackMethod::Lzh5},           {"stored.bin", {0, 1, 2, 255}, PackMethod::None},
        {"Data\\rle.txt", text, PackMethod::Rle},  {"Data\\lzh1.txt", text, PackMethod::Lzh1},
        {"Data\\lh5.txt", text, PackMethod::Lzh5},
    };
    const int32_t key = 0x1234;
    kq::TMemoryStream archive;
    kq::pack::WriteArchive(archive, items, kq::pack::PackOptions{"LH5", key, std::nullopt});

    archive.SetPosition(0);
    const auto fromArchive = ReadBack(archive, key);

    Bytes stub;
    {
        kq::TFileStream file(stubPath, kq::FileMode::OpenReadShared);
        stub.resize(static_cast<size_t>(file.Size()));
        file.ReadBuffer(stub.data(), static_cast<int32_t>(stub.size()));
    }
    const Bytes image = kq::pack::BuildSetupImage(stub, archive.Bytes());
    {
        kq::TFileStream file(setupPath, kq::FileMode::Create);
        file.WriteBuffer(image.data(), static_cast<int32_t>(image.size()));
    }
    kq::TArchiveFile setup(setupPath);
    if (!setup.IsSetupImage() ||
        setup.ArchiveOffset() != static_cast<int64_t>(image.size() - archive.Bytes().size())) {
        std::printf("setup image not recognised\n");
        return 1;
    }
    const auto fromSetup = ReadBack(setup.Stream(), key);

    for (const auto* read : {&fromArchive, &fromSetup}) {
        if (read->size() != items.size()) {
            std::printf("%zu entries read back, %zu written\n", read->size(), items.size());
            return 1;
        }
        for (size_t i = 0; i < items.size(); ++i) {
            if ((*read)[i].first != items[i].name || (*read)[i].second != items[i].plain) {
                std::printf("entry %zu (%s) differs\n", i, items[i].name.c_str());
                return 1;
            }
        }
    }
    std::printf("roundtrip %s: %zu entries\n", KQ_VERSION, items.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "list" && argc >= 3) return List(argv[2], argc > 3 ? std::atoi(argv[3]) : 0);
        if (mode == "extract" && argc >= 4)
            return Extract(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 0);
        if (mode == "roundtrip" && argc == 4) return Roundtrip(argv[2], argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "consumer: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: consumer list|extract|roundtrip ...\n");
    return 2;
}
