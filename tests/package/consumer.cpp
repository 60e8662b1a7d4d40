// Expands an entry from an archive built in memory, through the installed headers.
#include <cstdio>

#include "InstCompress/InstCompress.h"
#include "InstCompressIntf/InstCompressIntf.h"

int main() {
    const auto header = kq::BuildArchiveHeader("NON", 2, 1, 0);
    kq::EntryHeader entry;
    entry.nameLength = 1;
    entry.expandedSize = 2;
    entry.compressedSize = 2;
    const auto raw = kq::BuildEntryHeader(entry);
    std::vector<uint8_t> archive(header.begin(), header.end());
    archive.insert(archive.end(), raw.begin(), raw.end());
    archive.insert(archive.end(), {'n', 'o', 'k'});
    kq::TMemoryStream source(archive), dest;
    kq::TKQInstCompress component;
    component.ExpandNamedEntry(source, dest, "N");
    std::printf("%.*s\n", static_cast<int>(dest.Size()), reinterpret_cast<const char*>(dest.Bytes().data()));
    return dest.Bytes() == std::vector<uint8_t>{'o', 'k'} ? 0 : 1;
}
