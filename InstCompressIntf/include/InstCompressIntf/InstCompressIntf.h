// ExpandFileFromArchive: one expansion for callers that keep no component.
#pragma once

#include <cstdint>
#include <string>

#include "InstCompress/InstCompress.h"

namespace kq {

// A progress handler as plain code plus data; it counts as set when `code`
// is not null (`data` may be null).
using TProgressCode = void (*)(void* data, int32_t& PercentageDone);

// Expands every entry named `entryName` of the archive file into `dest`.
// Exceptions pass through to the caller.
void ExpandFileFromArchive(const std::string& archivePath, TStream& dest, const std::string& entryName,
                           TProgressCode progressCode, void* progressData);
// The same over an archive the caller keeps open, from its current position.
void ExpandFileFromArchive(TStream& archive, TStream& dest, const std::string& entryName,
                           TProgressCode progressCode, void* progressData);

}  // namespace kq
