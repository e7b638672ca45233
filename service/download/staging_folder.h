#pragma once
// The private folder under the temporary folder that holds "vpi.tmp" while it downloads.
//
// A package the manifest binds by size and SHA-256 is staged in a folder named from that
// digest ("vpi-" and the 64 hexadecimal characters), which a download cut short leaves behind
// so that the next start can ask for the rest. Any other package gets a fresh GUID-named
// folder, which always goes with the download.
#include <cstdint>
#include <string>

extern const wchar_t kStagedDownloadName[];  // L"vpi.tmp"
extern const wchar_t kStagedValidatorName[];  // L"vpi.validator"

// Whatever happens to the download, the folder and the files in it are removed when this
// object goes (or earlier, through remove()), unless keepForResume() was called.
class StagingFolder {
public:
    StagingFolder() = default;
    ~StagingFolder() { remove(); }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    // Makes a fresh GUID-named folder; every failure is logged here.
    bool create();
    // Opens the folder of the package with that digest (64 lowercase hexadecimal
    // characters), making it when it is not there. held receives the length of the "vpi.tmp"
    // it holds (0 when none). A folder of that name that is a file, a reparse point, or owned
    // by another account than the service's, SYSTEM or the Administrators group is never
    // used, read or emptied: Foreign (logged as a warning).
    enum class DigestFolder { Opened, Foreign, Failed };
    DigestFolder openForDigest(const std::string& sha256, uint64_t& held);
    // Full path of "vpi.tmp" in the folder, and of the file keeping its validator.
    const std::wstring& file() const { return file_; }
    const std::wstring& validatorFile() const { return validator_; }
    // The folder and its partial file stay for the next start.
    void keepForResume() { keep_ = true; }
    // Deletes the files that were made and the folder (unless kept). The thread's last error
    // stays what it was, so a failure logged before the clean-up keeps its cause.
    void remove();

private:
    std::wstring folder_;
    std::wstring file_;
    std::wstring validator_;
    bool keep_ = false;
};

// The folder name of the package with that digest: L"vpi-" + the digest.
std::wstring stagingFolderNameForDigest(const std::string& sha256);

// Removes the staging folders a killed or stopped service left in the temporary folder: every
// GUID-named folder's "vpi.tmp" (such a folder is never resumed), and, when digestFolders is
// true, every "vpi-" folder except the one named keepName (empty: none is kept), each with its
// files; a folder that holds anything else is left. Logs the count removed, when any.
void removeStaleStagingFolders(const std::wstring& keepName, bool digestFolders = true);
