#pragma once
// The staged package checked in one pass: read once from the disk in blocks, nobody else
// writing it meanwhile; each block feeds the manifest binding's digest and the signed
// package's check, whose content goes into the installer's temporary file. The installer file
// is replaced only when the package matched the manifest and verified.
#include <cstdint>
#include <memory>
#include <string>

#include "manifest/manifest.h"

// The size of the blocks the package is read in.
constexpr uint32_t kPackageReadBlockBytes = 1u << 20;

// Reads a whole non-empty file into a new buffer; nobody may write the file while it is read.
// On false GetLastError says why (ERROR_HANDLE_EOF: empty or shorter than its size). The
// handle is always closed.
bool readWholeFile(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size);

// The staged package at path against the manifest's binding and the embedded certificate
// authority; on true "VextraPlayerInstaller.exe" holds its content and installerPath its full
// path. Every failure is logged here; on false GetLastError holds the error value logged.
bool checkAndWritePackage(const wchar_t* path, const PackageBinding& binding,
                          std::wstring& installerPath);
