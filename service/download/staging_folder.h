#pragma once
// The private folder under the temporary folder that holds "vpi.tmp" while it downloads.
#include <string>

extern const wchar_t kStagedDownloadName[];  // L"vpi.tmp"

// Whatever happens to the download, the folder and the file in it are removed when this
// object goes (or earlier, through remove()).
class StagingFolder {
public:
    StagingFolder() = default;
    ~StagingFolder() { remove(); }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    // Makes the folder; every failure is logged here.
    bool create();
    // Full path of "vpi.tmp" in the folder.
    const std::wstring& file() const { return file_; }
    // Deletes "vpi.tmp" (when it was made) and the folder. The thread's last error stays
    // what it was, so a failure logged before the clean-up keeps its cause.
    void remove();

private:
    std::wstring folder_;
    std::wstring file_;
};
