// Every rule of the package check, one row each, on packages that openssl signed at test time
// under the development authority this build embeds (tests/service/verify/make_packages.py,
// run by ctest as this program's fixture): the signed attributes against the content, the
// signer's digest algorithm and each rule of the chain. A row names the rule that must refuse
// its package, or that the package verifies and yields its content exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/content_collector.h"
#include "verify/crypto_helper.h"
#include "verify/signed_package_check.h"

namespace {

using Bytes = std::vector<uint8_t>;
using F = PackageCheckFailure;
using C = MessageCode;

const std::wstring kPackages = std::wstring(VEXTRA_BUILD_DIR_W) + L"\\test-packages\\verify\\";

Bytes readPackage(const std::string& name) {
    const std::wstring path = kPackages + std::wstring(name.begin(), name.end());
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    Bytes bytes;
    if (h == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size = {};
    GetFileSizeEx(h, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size()))
        bytes.clear();
    CloseHandle(h);
    return bytes;
}

using Collect = testsupport::ContentCollector;

struct Outcome {
    bool verified = false;
    PackageCheckFailure failure = F::None;
    ALG_ID digestAlgorithm = 0;
    VerificationFailure chain;
    Bytes content;
};

// The check as a download runs it: the package in blocks, then its end.
Outcome check(const Bytes& package, size_t block) {
    CryptoHelper crypto;
    Collect sink;
    SignedPackageCheck c(crypto, &sink);
    Outcome out;
    bool ok = c.begin();
    for (size_t at = 0; ok && at < package.size(); at += block)
        ok = c.update(package.data() + at, std::min(block, package.size() - at));
    out.verified = ok && c.finish();
    out.failure = c.failure();
    out.digestAlgorithm = c.signerDigestAlgorithm();
    out.chain = crypto.lastFailure();
    out.content = sink.bytes;
    return out;
}

struct Row {
    const char* package;
    PackageCheckFailure failure;  // None: it verifies
    MessageCode chainRule;        // for ChainRefused: the rule's code
    int32_t detail;               // ChainRefused: the certificate's place; DigestAlgorithmWeak: ALG_ID
};

void expectRow(const Row& row, const Bytes& payload) {
    SCOPED_TRACE(row.package);
    const Bytes package = readPackage(std::string(row.package) + ".z");
    ASSERT_FALSE(package.empty()) << "no package made by the fixture";
    for (size_t block : {size_t(4096), package.size()}) {
        const Outcome run = check(package, block);
        EXPECT_EQ(run.verified, row.failure == F::None) << "block " << block;
        EXPECT_EQ(static_cast<int>(run.failure), static_cast<int>(row.failure)) << "block " << block;
        if (row.failure == F::None) {
            EXPECT_EQ(run.content, payload);
        }
        if (row.failure == F::ChainRefused) {
            EXPECT_EQ(static_cast<int>(run.chain.code), static_cast<int>(row.chainRule));
            EXPECT_EQ(run.chain.detail, row.detail);
        }
        if (row.failure == F::DigestAlgorithmWeak) {
            EXPECT_EQ(static_cast<int32_t>(run.digestAlgorithm), row.detail);
        }
    }
}

}  // namespace

// The signed attributes must name this content: its digest, compared whole, and its type.
// Without them the signature itself covers the content's digest.
TEST(PackageRules, SignedAttributesAndTheSignerDigest) {
    const Bytes payload = readPackage("payload.bin");
    ASSERT_FALSE(payload.empty());
    const Row rows[] = {
        {"good-attrs", F::None, C::PackageVerificationFailed, 0},
        {"good-noattr", F::None, C::PackageVerificationFailed, 0},
        {"content-changed-attrs", F::ContentDigestMismatch, C::PackageVerificationFailed, 0},
        {"content-changed-noattr", F::SignatureInvalid, C::PackageVerificationFailed, 0},
        {"content-type-swapped", F::ContentTypeMismatch, C::PackageVerificationFailed, 0},
        {"digest-md5", F::DigestAlgorithmWeak, C::PackageVerificationFailed, CALG_MD5},
        {"digest-md5-noattr", F::DigestAlgorithmWeak, C::PackageVerificationFailed, CALG_MD5},
        {"digest-sha1", F::DigestAlgorithmWeak, C::PackageVerificationFailed, CALG_SHA1},
        {"digest-sha1-noattr", F::DigestAlgorithmWeak, C::PackageVerificationFailed, CALG_SHA1},
        {"digest-sha384", F::None, C::PackageVerificationFailed, 0},
        {"digest-sha384-noattr", F::None, C::PackageVerificationFailed, 0},
        {"digest-sha512", F::None, C::PackageVerificationFailed, 0},
        {"digest-sha512-noattr", F::None, C::PackageVerificationFailed, 0},
    };
    for (const Row& row : rows) expectRow(row, payload);
}

// The chain from the signer through the certificates the package carries to the embedded
// authority; detail is the refused certificate's place (0 the signer, 1 its issuer, ...).
TEST(PackageRules, ChainRules) {
    const Bytes payload = readPackage("payload.bin");
    ASSERT_FALSE(payload.empty());
    const F R = F::ChainRefused;
    const Row rows[] = {
        {"ca-signs", R, C::SignerIsAuthority, 0},
        {"intermediate-signs", R, C::SignerIsAuthority, 0},
        {"no-signature", R, C::SignerKeyUsageWithoutSignature, 0},
        {"tls-certificate-signs", R, C::SignerNotForCodeSigning, 0},
        {"pathlen-exceeded", R, C::IssuerPathLengthExceeded, 2},
        {"pathlen-held", F::None, C::PackageVerificationFailed, 0},
        // An issuer with CA:FALSE, or without basic constraints, issues nothing.
        {"signer-issues", R, C::IssuerNotAuthority, 1},
        {"code-signer-without-constraints-issues", R, C::IssuerNotAuthority, 1},
        {"bare-intermediate", R, C::IssuerNotAuthority, 1},
        {"bare-signer", F::None, C::PackageVerificationFailed, 0},
        // keyUsage digitalSignature and cRLSign: cRLSign does not stand for keyCertSign.
        {"ca-without-certsign", R, C::IssuerKeyUsageWithoutCertSign, 1},
        {"unknown-critical-signer", R, C::CertificateUnknownCriticalExtension, 0},
        {"unknown-critical-intermediate", R, C::CertificateUnknownCriticalExtension, 1},
        {"unknown-noncritical-signer", F::None, C::PackageVerificationFailed, 0},
        {"name-constraints", R, C::CertificateNameConstraints, 1},
        // MD5 with RSA refused on any link; SHA-1 links of older chains still verify.
        {"md5-signer", R, C::CertificateWeakSignature, 0},
        {"md5-intermediate", R, C::CertificateWeakSignature, 1},
        {"sha1-links", F::None, C::PackageVerificationFailed, 0},
        // The outer algorithm (what the signature is checked with) against the body's.
        {"outer-md5-signer", R, C::CertificateWeakSignature, 0},
        {"outer-md5-intermediate", R, C::CertificateWeakSignature, 1},
        {"outer-sha1-signer", R, C::CertificateAlgorithmMismatch, 0},
        {"outer-sha256-signer", F::None, C::PackageVerificationFailed, 0},
        // Every link within its validity dates.
        {"expired-signer", R, C::CertificateOutsideValidity, 0},
        {"expired-intermediate", R, C::CertificateOutsideValidity, 1},
        // Extended key usage narrows along the chain; a signer without it stays accepted.
        {"server-auth-intermediate", R, C::IssuerNotForCodeSigning, 1},
        {"code-signing-intermediate", F::None, C::PackageVerificationFailed, 0},
        {"any-purpose-intermediate", F::None, C::PackageVerificationFailed, 0},
    };
    for (const Row& row : rows) expectRow(row, payload);
}
