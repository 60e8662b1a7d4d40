#include "InstCompressIntf/InstCompressIntf.h"

#include <memory>

namespace kq {

namespace {

std::unique_ptr<TKQInstCompress> MakeComponent(TProgressCode progressCode, void* progressData) {
    auto component = std::make_unique<TKQInstCompress>();
    if (progressCode != nullptr) {
        component->OnShowProgress = [progressCode, progressData](int32_t& percentageDone) {
            progressCode(progressData, percentageDone);
        };
    }
    return component;
}

}  // namespace

void ExpandFileFromArchive(const std::string& archivePath, TStream& dest, const std::string& entryName,
                           TProgressCode progressCode, void* progressData) {
    MakeComponent(progressCode, progressData)->ExpandNamedEntry(archivePath, dest, entryName);
}

void ExpandFileFromArchive(TStream& archive, TStream& dest, const std::string& entryName,
                           TProgressCode progressCode, void* progressData) {
    MakeComponent(progressCode, progressData)->ExpandNamedEntry(archive, dest, entryName);
}

}  // namespace kq
