#pragma once
// The package checked in one pass over its bytes, as the download brings them (or, for a file
// on the disk, as it is read once in blocks, nobody else writing it meanwhile): each block
// feeds the manifest binding's digest and the signed package's check, whose content goes into
// the installer's temporary file. The installer file is replaced only when the package matched
// the manifest and verified.
#include <cstdint>
#include <memory>
#include <string>

#include "download/package_transfer.h"
#include "manifest/manifest.h"

// The size of the blocks a package file is read in.
constexpr uint32_t kPackageReadBlockBytes = 1u << 20;

// Reads a whole non-empty file into a new buffer; nobody may write the file while it is read.
// On false GetLastError says why (ERROR_HANDLE_EOF: empty or shorter than its size). The
// handle is always closed.
bool readWholeFile(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size);

// One pass over a package's bytes against the manifest's binding and the embedded certificate
// authority. start() begins it (again: whatever an earlier start fed, and its temporary
// installer file, go); bytes() takes the package's next bytes in order; finish() says whether
// all of them were the package the manifest binds and verified, and puts the installer in
// place. Every failure is logged here; on false GetLastError holds the error value logged.
// Nothing is written to the installer file itself unless finish() succeeds.
class PackagePass : public PackageByteSink {
public:
    explicit PackagePass(const PackageBinding& binding);
    ~PackagePass() override;
    PackagePass(const PackagePass&) = delete;
    PackagePass& operator=(const PackagePass&) = delete;

    // The check's libraries, the binding's digest and the installer's temporary file.
    bool start() override;
    // False only when the content could not be written (the rest is judged by finish()).
    bool bytes(const uint8_t* data, size_t size) override;
    // The package ended: on true "VextraPlayerInstaller.exe" holds its content and
    // installerPath its full path.
    bool finish(std::wstring& installerPath);

private:
    struct State;
    const PackageBinding& binding_;
    std::unique_ptr<State> state_;
};

// The package file at path through one PackagePass, its size against the manifest's first.
bool checkAndWritePackage(const wchar_t* path, const PackageBinding& binding,
                          std::wstring& installerPath);
