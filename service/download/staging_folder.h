#pragma once
// The private folder under the temporary folder that holds "vpi.tmp" while it downloads.
//
// A package the manifest binds by size and SHA-256 is staged in a folder named from that
// digest ("vpi-" and the 64 hexadecimal characters), which a download cut short leaves behind
// so that the next start can ask for the rest. Any other package gets a fresh GUID-named
// folder, which always goes with the download.
//
// The temporary folder may be one where any user makes folders (C:\Windows\Temp, where the
// system has no GetTempPath2W). So every staging folder is held by a handle opened without
// following a link and checked on that handle (a folder, no reparse point, owned by SYSTEM,
// the Administrators or the service, reaching the place its name says), and every file in it
// is made, read and deleted through handles opened relative to the folder's: never by a path
// that a user could redirect between a check and a use.
#include <windows.h>

#include <cstdint>
#include <string>

#include "download/kept_part_rule.h"
#include "log/message_codes.h"
#include "platform/file_handle.h"

extern const wchar_t kStagedDownloadName[];   // L"vpi.tmp"
extern const wchar_t kStagedValidatorName[];  // L"vpi.validator"

// Whatever happens to the download, the folder and the files in it are removed when this
// object goes (or earlier, through remove()), unless keepForResume() was called.
class StagingFolder {
public:
    StagingFolder() = default;
    ~StagingFolder() { remove(); }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    // Makes a fresh GUID-named folder and holds it; every failure is logged here.
    bool create();
    // Opens the folder of the package with that digest (64 lowercase hexadecimal
    // characters), making it when it is not there. held receives the length of the "vpi.tmp"
    // it holds (0 when none). A folder of that name that is a file, a reparse point, owned by
    // another account than the service's, SYSTEM or the Administrators group, or reached
    // elsewhere than by its name, is never used, read or emptied: Foreign (logged as a warning).
    enum class DigestFolder { Opened, Foreign, Failed };
    DigestFolder openForDigest(const std::string& sha256, uint64_t& held);
    // Full path of "vpi.tmp" in the folder, and of the file keeping its validator (for what
    // the log and the tests name; the files themselves are reached through the folder's handle).
    const std::wstring& file() const { return file_; }
    const std::wstring& validatorFile() const { return validator_; }

    // "vpi.tmp": a new one (an earlier one deleted first) for writing, or, to append, the one
    // held, for reading and writing. Nobody else may open it meanwhile. INVALID_HANDLE_VALUE
    // on failure (GetLastError says why; not logged here).
    HANDLE openPart(bool append);
    // The validator kept beside the part (empty when none or unreadable), and its writing
    // (empty: none kept). A failed write only costs the If-Range of a later resume.
    std::string readValidator();
    void writeValidator(const std::string& validator);
    // Drops the part held: the file and its validator.
    void discardPart();

    // The folder and its partial file stay for the next start.
    void keepForResume() { keep_ = true; }
    // Deletes the files that were made and the folder (unless kept). The thread's last error
    // stays what it was, so a failure logged before the clean-up keeps its cause.
    void remove();

private:
    bool hold(const std::wstring& folder);
    std::wstring folder_;
    std::wstring file_;
    std::wstring validator_;
    FileHandle handle_{INVALID_HANDLE_VALUE};
    bool keep_ = false;
};

// The folder name of the package with that digest: L"vpi-" + the digest.
std::wstring stagingFolderNameForDigest(const std::string& sha256);

// Removes the staging folders a killed or stopped service left in the temporary folder: every
// GUID-named folder's "vpi.tmp" (such a folder is never resumed), and, when digestFolders is
// true, every "vpi-" folder except the one named keepName (empty: none is kept), each with its
// files; a folder that holds anything else is left, and so is one that fails the checks above
// (StaleStagingFolderRefused). Logs the count removed, when any.
void removeStaleStagingFolders(const std::wstring& keepName, bool digestFolders = true);

// Removes every "vpi-" folder with its part whose fate under facts is not Keep (keptPartFate),
// logging each with the code of its fate and the bytes it held.
void removeKeptParts(const KeptPartFacts& facts);
// Removes every "vpi-" folder with its part, each logged with code (the administration
// commands that end the service's updating).
void removeAllKeptParts(MessageCode code);
