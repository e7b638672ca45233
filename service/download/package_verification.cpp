// The staged package read back once, bound to the manifest, verified and written out.
#include "download/package_verification.h"

#include <windows.h>

#include <new>

#include "download/download_log.h"
#include "download/installer_write.h"
#include "download/manifest_binding.h"
#include "platform/block_worker.h"
#include "platform/file_handle.h"
#include "platform/transfer_control.h"
#include "verify/signed_package_check.h"

namespace {

// The content's bytes into the installer's temporary file.
class InstallerSink : public EnvelopeContentSink {
public:
    explicit InstallerSink(InstallerFileWriter& writer) : writer_(writer) {}
    bool content(const uint8_t* data, size_t size) override { return writer_.write(data, size); }

private:
    InstallerFileWriter& writer_;
};

// The binding's digest of one block, on the helper beside the check.
void bindBlock(void* binding, const uint8_t* data, size_t size) {
    static_cast<ManifestBindingCheck*>(binding)->update(data, size);
}

// The check's failure as the log shows it: the envelope's own codes with the offset, the
// content's with the error value, a trust rule's with the certificate's place in the chain (or
// the digest's ALG_ID); then the verification failure line with the error value.
void logCheckFailure(const SignedPackageCheck& check, const CryptoHelper& crypto) {
    const DWORD error = GetLastError();
    switch (check.failure()) {
        case PackageCheckFailure::DigestAlgorithmWeak:
            ServiceLog::write(LogLevel::Error,
                              codeText(MessageCode::PackageDigestAlgorithmWeak,
                                       static_cast<int32_t>(check.signerDigestAlgorithm())));
            break;
        case PackageCheckFailure::ChainRefused: {
            const VerificationFailure& rule = crypto.lastFailure();
            if (rule.code != MessageCode::PackageVerificationFailed)
                ServiceLog::write(LogLevel::Error, codeText(rule.code, rule.detail));
            break;
        }
        case PackageCheckFailure::ContentRefused:
            return;  // the installer write logged its own failure
        case PackageCheckFailure::EnvelopeMalformed:
            ServiceLog::write(LogLevel::Error, codeText(MessageCode::PackageEnvelopeMalformed,
                                                        static_cast<int32_t>(check.failOffset())));
            break;
        case PackageCheckFailure::EnvelopeIndefinite:
            ServiceLog::write(LogLevel::Error,
                              codeText(MessageCode::PackageEnvelopeIndefiniteLength,
                                       static_cast<int32_t>(check.failOffset())));
            break;
        case PackageCheckFailure::ContentDigestMismatch:
            logWithError(LogLevel::Error, MessageCode::PackageContentDigestMismatch, error);
            break;
        case PackageCheckFailure::ContentTypeMismatch:
            logWithError(LogLevel::Error, MessageCode::PackageContentTypeMismatch, error);
            break;
        default:
            break;
    }
    logWithError(LogLevel::Error, MessageCode::PackageVerificationFailed,
                 error ? error : static_cast<DWORD>(ERROR_INVALID_DATA));
}

}  // namespace

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

bool checkAndWritePackage(const wchar_t* path, const PackageBinding& binding,
                          std::wstring& installerPath) {
    // Shared for reading only: nobody writes the package while its one reading lasts.
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
        logError(MessageCode::StagedFileReadFailed);
        return false;
    }
    if (size.QuadPart == 0) {
        logWithError(LogLevel::Error, MessageCode::StagedFileReadFailed, ERROR_HANDLE_EOF);
        return false;
    }
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kPackageReadBlockBytes]);
    std::unique_ptr<CryptoHelper> crypto(new (std::nothrow) CryptoHelper);
    if (!block || !crypto) {
        logWithError(LogLevel::Error, MessageCode::PackageVerificationFailed, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    InstallerFileWriter installer;
    InstallerSink sink(installer);
    // The check's libraries first (crypt32 from the system folder before any provider).
    SignedPackageCheck check(*crypto, &sink);
    if (!check.begin()) {
        logCheckFailure(check, *crypto);
        return false;
    }
    ManifestBindingCheck bindingCheck(binding);
    if (!bindingCheck.begin(static_cast<uint64_t>(size.QuadPart))) return false;
    if (!installer.open()) return false;

    // The one reading: every block to the binding's digest (on a helper thread, beside the
    // rest) and to the check, whose content goes to the content's digest and the installer's
    // temporary file. A package that is no signed message stops the check, not the reading:
    // the binding still says whether it is the manifest's package. The helper is done with a
    // block before the next one is read (and before anything here goes).
    BlockWorker binder(&bindBlock, &bindingCheck);
    const uint64_t expected = static_cast<uint64_t>(size.QuadPart);
    uint64_t total = 0;
    bool checking = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block.get(), kPackageReadBlockBytes, &got, nullptr)) {
            logError(MessageCode::StagedFileReadFailed);
            return false;
        }
        if (got == 0) break;
        if (got > expected - total) {  // nobody may write it: it cannot grow
            logWithError(LogLevel::Error, MessageCode::StagedFileReadFailed, ERROR_FILE_TOO_LARGE);
            return false;
        }
        total += got;
        binder.post(block.get(), got);
        if (checking && !check.update(block.get(), got)) {
            if (check.failure() == PackageCheckFailure::ContentRefused) return false;
            checking = false;
        }
        binder.wait();
        noteStopProgress();  // after a stop: a checkpoint per block, the service is alive
    }
    binder.wait();
    if (total != expected) {
        logWithError(LogLevel::Error, MessageCode::StagedFileReadFailed, ERROR_HANDLE_EOF);
        return false;
    }
    file.close();
    if (!bindingCheck.finish()) return false;
    if (!checking || !check.finish()) {
        logCheckFailure(check, *crypto);
        return false;
    }
    return installer.commit(installerPath);
}
