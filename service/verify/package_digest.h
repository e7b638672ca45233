#pragma once
// SHA-256 of bytes held in memory, as lowercase hex: the downloaded package is bound to the
// manifest's digest on the very bytes that are then verified.
#include <cstddef>
#include <cstdint>

// On success hexOut (>= 65 bytes) gets 64 lowercase hex characters and a NUL; on failure
// errorCode gets a FileDigestResult (crypto_helper.h), lastError the GetLastError value at
// the failure, and hexOut is untouched.
bool bytesDigest(const uint8_t* data, size_t size, char* hexOut, uint32_t& errorCode,
                 uint32_t& lastError);
