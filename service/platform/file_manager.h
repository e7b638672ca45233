#pragma once
// File-system services over narrow UTF-8 paths: recursive deletion, deletion by age, sizes,
// folder creation and listing, and the locations of the player's data folders and of the
// machine-wide administrator configuration file.
#include <cstdint>
#include <string>

#include "platform/pointer_vector.h"

namespace RUZE {

class FileManager {
public:
    virtual ~FileManager();

    // A file or a whole folder tree; true also when the path does not exist.
    virtual bool deletePath(const std::string& path) = 0;
    // Deletes every file below `folder` whose age in seconds lies strictly between the two
    // bounds; removes folders that end up empty, `folder` itself included.
    virtual bool deleteFilesByAge(const std::string& folder, int64_t minimumAgeSeconds,
                                  int64_t maximumAgeSeconds) = 0;
    // Bytes of a file, or the sum over a folder tree; 0 for a missing path.
    virtual uint64_t getSize(const std::string& path) = 0;
    // Creates parent (and any missing folders above it), then parent\name.
    virtual bool createFolder(const std::string& parent, const std::string& name) = 0;
    virtual std::string pathSeparator() = 0;
    virtual const std::string& assetCacheFolder() = 0;
    virtual const std::string& kdCacheFolder() = 0;
    virtual const std::string& playerDataFolder() = 0;
    virtual const std::string& privateDataFolder() = 0;
    // Entry names (UTF-8, sorted) owned by the caller; null when memory runs out or the
    // folder name is not valid UTF-8. A folder that cannot be listed gives an empty vector.
    virtual StringVector* listFolder(const std::string& folder) = 0;
};

class WindowsFileManager : public FileManager {
public:
    // "<system folder>\Telmor\Vextra\kvc.cfg", computed once per process.
    static const std::string& configFilePath();

    bool deletePath(const std::string& path) override;
    bool deleteFilesByAge(const std::string& folder, int64_t minimumAgeSeconds,
                          int64_t maximumAgeSeconds) override;
    uint64_t getSize(const std::string& path) override;
    bool createFolder(const std::string& parent, const std::string& name) override;
    std::string pathSeparator() override;
    const std::string& assetCacheFolder() override;
    const std::string& kdCacheFolder() override;
    const std::string& playerDataFolder() override;
    const std::string& privateDataFolder() override;
    StringVector* listFolder(const std::string& folder) override;
};

// The order of folder listings: two all-digit names by numeric value, an all-digit name after
// any other name, other names byte by byte as unsigned bytes.
bool listingNameLess(const std::string& a, const std::string& b);

// Whether a file of the given age (100-ns units) lies strictly inside the window given in
// seconds. Large bounds saturate instead of overflowing.
bool isAgeInWindow(int64_t ageUnits, int64_t minimumAgeSeconds, int64_t maximumAgeSeconds);

}  // namespace RUZE
