// TKQInstCompress: the archive expansion component.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "InstCompress/ArchiveFormat.h"
#include "InstCompress/Exceptions.h"
#include "InstCompress/Stream.h"

namespace kq {

enum class TCProcessMode { cmCompress, cmExpand };

// Event handlers; a handler is set when it is non-empty. Reference
// parameters are the ones a handler may change for its caller.
using TCompressEvent = std::function<void(TStream& dest, TStream& source, std::string& CompressID,
                                          int32_t& Outputsize, uint32_t& checksum)>;
using TExpandEvent = std::function<void(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize,
                                        const std::string& CompressID, uint32_t& checksum)>;
using TFilenameCheckEvent = std::function<void(std::string& filepath, TCProcessMode mode)>;
using TRecognizeEvent = std::function<void(const std::string& CompressID, bool& recognized)>;
using TShowProgressEvent = std::function<void(int32_t& PercentageDone)>;

class TKQInstCompress {
public:
    TKQInstCompress() = default;

    // Events.
    TCompressEvent OnCompress;          // never called: this build does not compress
    TExpandEvent OnExpand;              // decoder for custom entries (method 3)
    TFilenameCheckEvent OnCheckFile;    // never called
    TRecognizeEvent OnRecognize;        // may accept an unknown archive method id
    TShowProgressEvent OnShowProgress;  // progress and abort during coded expansion

    // Properties.
    bool MakeDirectories = false;
    bool ExceptionOnFileError = false;
    int32_t Key = 0;
    bool CheckSpaceBeforeExpand = false;
    // Off: a stored entry (method 0) is verified like a coded one, by its
    // checksum over the bytes copied, and a locked one needs the key (its
    // checksum carries it): damaged data fails with EBadChecksum, or
    // EInvalidKey when locked. On: stored entries are copied as they are,
    // unverified, and locked ones without a key. Only for archives of other
    // writers whose stored checksums may never have been right; every
    // archive this project writes carries correct ones.
    bool AcceptUnverifiedStoredEntries = false;

    const std::string& TargetPath() const noexcept { return targetPath_; }
    // Stores the path with a trailing backslash (unless empty).
    void SetTargetPath(const std::string& value);

    // Index of the method id ("NON", "RLE", "LZH", "CUS", "LH5"), compared
    // exactly; an id accepted by OnRecognize counts as custom (3). Raises
    // EUnrecognizedCompressionMethod otherwise.
    int RecognizeMethodId(const std::string& id);

    // Expands every entry named `entryName` (ASCII case-insensitive) into
    // `dest`, one after the other.
    void ExpandNamedEntry(const std::string& archivePath, TStream& dest, const std::string& entryName);
    // The same over an archive stream positioned at the archive header.
    void ExpandNamedEntry(TStream& archive, TStream& dest, const std::string& entryName);

    // Expands one entry whose data starts at the archive stream's position
    // and verifies its checksum and key (a stored entry too, unless
    // AcceptUnverifiedStoredEntries).
    void ExpandEntry(TStream& dest, TStream& archive, int32_t lock, const std::string& methodId,
                     uint8_t method, uint32_t storedChecksum, int32_t expandedSize, int32_t storedSize);

private:
    void WalkEntries(TStream& archive, TStream& dest, const std::string& entryName);
    void ExpandOneEntry(TStream& dest, TStream& archive, int32_t lock, const std::string& methodId,
                        uint8_t method, uint32_t storedChecksum, int32_t expandedSize, int32_t storedSize);

    std::string targetPath_;
};

// Entry names match without regard to the case of ASCII letters only.
bool SameEntryName(std::string_view a, std::string_view b);
// The name with its ASCII capitals made small: two names match exactly when
// their folded forms are equal (a key for finding names that match).
std::string FoldEntryName(std::string_view name);

}  // namespace kq
