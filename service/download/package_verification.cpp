// The package read back from the staging folder and verified.
#include "download/package_verification.h"

#include <windows.h>

#include <new>

#include "download/download_log.h"
#include "platform/file_handle.h"
#include "verify/crypto_helper.h"

bool readWholeFile(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size) {
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    DWORD fileSize = GetFileSize(file.get(), nullptr);
    if (fileSize == 0 || fileSize == INVALID_FILE_SIZE) return false;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[fileSize]);
    if (!buffer) return false;
    DWORD total = 0;
    while (total < fileSize) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.get() + total, fileSize - total, &read, nullptr) ||
            read == 0) {
            return false;
        }
        total += read;
    }
    bytes = std::move(buffer);
    size = fileSize;
    return true;
}

bool verifyPackage(const uint8_t* package, uint32_t packageSize,
                   std::unique_ptr<uint8_t[]>& content, uint32_t& contentSize) {
    bool verified = false;
    try {
        CryptoHelper crypto;
        verified = crypto.verifySignedMessage(package, packageSize, content, contentSize);
    } catch (const std::bad_alloc&) {
        verified = false;  // no memory for the helper or the extracted content
    }
    if (!verified) logError(MessageCode::PackageVerificationFailed);
    return verified;
}
