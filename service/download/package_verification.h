#pragma once
// The staged package read back once into memory, and its signature verified against the
// embedded certificate authority.
#include <cstdint>
#include <memory>

// Reads a whole non-empty file into a new buffer; nobody may write the file while it is read.
// On false GetLastError says why (ERROR_HANDLE_EOF: empty or shorter than its size). The
// handle is always closed.
bool readWholeFile(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size);

// The staged package into memory, once: these bytes are bound to the manifest and verified.
// A failure is logged here.
bool readStagedPackage(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size);

// The package's signature against the embedded certificate authority; content receives the
// installer it carries. A failure is logged here.
bool verifyPackage(const uint8_t* package, uint32_t packageSize,
                   std::unique_ptr<uint8_t[]>& content, uint32_t& contentSize);
