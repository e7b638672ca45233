// The package's one pass: bound to the manifest, verified and written out as its bytes come.
#include "download/package_verification.h"

#include <windows.h>

#include <new>

#include "download/download_log.h"
#include "download/installer_write.h"
#include "download/manifest_binding.h"
#include "platform/file_handle.h"
#include "platform/plain_file.h"
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

// What one pass holds; the temporary installer file goes last.
struct PackagePass::State {
    explicit State(const PackageBinding& binding)
        : sink(installer), check(crypto, &sink), bindingCheck(binding) {}
    CryptoHelper crypto;
    InstallerFileWriter installer;
    InstallerSink sink;
    SignedPackageCheck check;
    ManifestBindingCheck bindingCheck;
    uint64_t total = 0;
    bool checking = true;
};

PackagePass::PackagePass(const PackageBinding& binding) : binding_(binding) {}

PackagePass::~PackagePass() = default;

bool PackagePass::start() {
    state_.reset();  // an earlier start's temporary installer file goes first
    state_.reset(new (std::nothrow) State(binding_));
    if (!state_) {
        logWithError(LogLevel::Error, MessageCode::PackageVerificationFailed, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    State& s = *state_;
    // The check's libraries first (crypt32 from the system folder before any provider).
    if (!s.check.begin()) {
        logCheckFailure(s.check, s.crypto);
        return false;
    }
    return s.bindingCheck.begin() && s.installer.open();
}

bool PackagePass::bytes(const uint8_t* data, size_t size) {
    if (!state_) return false;
    State& s = *state_;
    // Every block to the binding's digest and to the check, whose content goes to the
    // content's digest and the installer's temporary file, all on this thread while the
    // transfer's pump reads the next block: handing each block to a third thread for the
    // binding's digest cost about as much as the digest (docs/development.md). A package that
    // is no signed message stops the check, not the pass: the binding still says whether it is
    // the manifest's package.
    s.total += size;
    s.bindingCheck.update(data, size);
    if (s.checking && !s.check.update(data, size)) {
        if (s.check.failure() == PackageCheckFailure::ContentRefused) return false;
        s.checking = false;
    }
    return true;
}

bool PackagePass::finish(std::wstring& installerPath) {
    if (!state_) return false;
    State& s = *state_;
    if (!s.bindingCheck.sizeMatches(s.total) || !s.bindingCheck.finish()) return false;
    if (!s.checking || !s.check.finish()) {
        logCheckFailure(s.check, s.crypto);
        return false;
    }
    return s.installer.commit(installerPath);
}

bool checkAndWritePackage(const wchar_t* path, const PackageBinding& binding,
                          std::wstring& installerPath) {
    // Shared for reading only: nobody writes the package while its one reading lasts. Only a
    // plain file of one name, not a link, is read.
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                kPlainFileOpenFlags | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file.valid() || !isPlainFileOfOneName(file.get()) || !GetFileSizeEx(file.get(), &size)) {
        logError(MessageCode::StagedFileReadFailed);
        return false;
    }
    if (size.QuadPart == 0) {
        logWithError(LogLevel::Error, MessageCode::StagedFileReadFailed, ERROR_HANDLE_EOF);
        return false;
    }
    const uint64_t expected = static_cast<uint64_t>(size.QuadPart);
    ManifestBindingCheck sizeCheck(binding);
    if (!sizeCheck.sizeMatches(expected)) return false;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kPackageReadBlockBytes]);
    if (!block) {
        logWithError(LogLevel::Error, MessageCode::PackageVerificationFailed, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    PackagePass pass(binding);
    if (!pass.start()) return false;
    uint64_t total = 0;
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
        if (!pass.bytes(block.get(), got)) return false;
        noteStopProgress();  // after a stop: a checkpoint per block, the service is alive
    }
    if (total != expected) {
        logWithError(LogLevel::Error, MessageCode::StagedFileReadFailed, ERROR_HANDLE_EOF);
        return false;
    }
    file.close();
    return pass.finish(installerPath);
}
