#include "InstCompressIntf/InstCompressIntf.h"

#include <memory>

namespace kq {

void ExpandFileFromArchive(const std::string& archivePath, TStream& dest,
                           const std::string& entryName, TProgressCode progressCode,
                           void* progressData) {
    auto component = std::make_unique<TKQInstCompress>();
    if (progressCode != nullptr) {
        component->OnShowProgress = [progressCode, progressData](int32_t& percentageDone) {
            progressCode(progressData, percentageDone);
        };
    }
    component->ExpandNamedEntry(archivePath, dest, entryName);
}

}  // namespace kq
