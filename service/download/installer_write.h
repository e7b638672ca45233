#pragma once
// The verified installer written as "VextraPlayerInstaller.exe" in the current directory:
// all of it or nothing, a previous installer file staying as it was until the new one is
// complete on the disk.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/file_handle.h"

extern const wchar_t kInstallerFileName[];      // L"VextraPlayerInstaller.exe"
extern const wchar_t kInstallerTempFileName[];  // L"VextraPlayerInstaller.exe.tmp", beside it

// Full path of "VextraPlayerInstaller.exe" in the current directory; empty when it cannot be
// resolved (GetLastError then says why).
std::wstring installerFilePath();

// The installer's temporary file, filled block by block while the package is checked, and put
// in place only once the package verified: commit() replaces the installer file in one step;
// anything else (a failure, or the object going without a commit) deletes the temporary file
// and leaves the installer file untouched. Every failure is logged here.
class InstallerFileWriter {
public:
    // How the temporary file is written: WriteFile, or in a test a stand-in for it that
    // reports what a full disk or a failing device can report.
    using WriteFunction = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

    InstallerFileWriter() = default;
    explicit InstallerFileWriter(WriteFunction writeFile) : writeFile_(writeFile) {}
    ~InstallerFileWriter() { discard(); }
    InstallerFileWriter(const InstallerFileWriter&) = delete;
    InstallerFileWriter& operator=(const InstallerFileWriter&) = delete;

    // Creates the temporary file beside the installer file.
    bool open();
    // The next bytes of the installer, every write checked.
    bool write(const uint8_t* data, uint64_t size);
    // Flushes and closes the temporary file and replaces the installer file with it; empty
    // content is refused. installerPath receives the installer file's full path.
    bool commit(std::wstring& installerPath);
    // Deletes the temporary file (when there is one); the thread's last error stays.
    void discard();
    uint64_t written() const { return written_; }

private:
    WriteFunction writeFile_ = &WriteFile;
    std::wstring path_;
    std::wstring temporary_;
    FileHandle file_{INVALID_HANDLE_VALUE};
    uint64_t written_ = 0;
};

// Removes the installer's temporary file that a service killed while writing it left beside
// the installer file: content never verified as a whole, which no start uses. Only a plain
// file of one name goes, opened without following a link and deleted through that handle;
// one held open (being written) stays. Logged as InstallerTempFileRemoved with its size.
void removeLeftInstallerTempFile();

// Only a verified package reaches this. Empty content is refused; otherwise the content goes
// into a temporary file in the same folder, every write checked, flushed, and then replaces
// the installer file in one step. installerPath receives its full path. A failure is logged
// here, leaves no temporary file and the installer file untouched.
bool writeVerifiedInstaller(const uint8_t* content, uint32_t size, std::wstring& installerPath);
