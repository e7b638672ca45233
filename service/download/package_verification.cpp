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
    LARGE_INTEGER fileSize = {};
    if (!GetFileSizeEx(file.get(), &fileSize)) return false;
    if (fileSize.QuadPart == 0) {
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    if (fileSize.QuadPart > MAXDWORD) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    const DWORD total = static_cast<DWORD>(fileSize.QuadPart);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[total]);
    if (!buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    DWORD done = 0;
    while (done < total) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.get() + done, total - done, &read, nullptr)) return false;
        if (read == 0) {
            SetLastError(ERROR_HANDLE_EOF);
            return false;
        }
        done += read;
    }
    bytes = std::move(buffer);
    size = total;
    return true;
}

bool readStagedPackage(const wchar_t* path, std::unique_ptr<uint8_t[]>& bytes, uint32_t& size) {
    if (readWholeFile(path, bytes, size)) return true;
    logError(MessageCode::StagedFileReadFailed);
    return false;
}

bool verifyPackage(const uint8_t* package, uint32_t packageSize,
                   std::unique_ptr<uint8_t[]>& content, uint32_t& contentSize) {
    VerificationFailure failure;
    try {
        CryptoHelper crypto;
        if (crypto.verifySignedMessage(package, packageSize, content, contentSize)) return true;
        failure = crypto.lastFailure();
    } catch (const std::bad_alloc&) {
        failure.code = MessageCode::DownloadOutOfMemory;  // no memory for the helper
        failure.detail = ERROR_NOT_ENOUGH_MEMORY;
    }
    // The rule that refused it, with its detail; that detail is also left as the last error.
    logWithError(LogLevel::Error, failure.code, static_cast<DWORD>(failure.detail));
    return false;
}
