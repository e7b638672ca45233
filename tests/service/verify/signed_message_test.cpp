#include <gtest/gtest.h>

#include <string>

#include "verify/crypto_helper.h"

// Packages made by openssl are verified end to end (tests/e2e); here only inputs that are not
// signed messages at all.

TEST(VerifySignedMessage, EmbeddedCertificateIsTheBuildsCertificateAuthority) {
    ASSERT_GT(kEmbeddedCaCertificateSize, 100u);
    EXPECT_EQ(kEmbeddedCaCertificate[0], 0x30);  // DER SEQUENCE
    PCCERT_CONTEXT ca = CertCreateCertificateContext(kMessageEncoding, kEmbeddedCaCertificate,
                                                     kEmbeddedCaCertificateSize);
    ASSERT_NE(ca, nullptr);
    DWORD flags = CERT_STORE_SIGNATURE_FLAG;
    EXPECT_TRUE(CertVerifySubjectCertificateContext(ca, ca, &flags));
    EXPECT_EQ(flags, 0u) << "self-signed";
    EXPECT_EQ(ca->pCertInfo->SerialNumber.cbData, 1u);
    EXPECT_EQ(ca->pCertInfo->SerialNumber.pbData[0], 0);
    EXPECT_STREQ(ca->pCertInfo->SignatureAlgorithm.pszObjId, szOID_RSA_SHA1RSA);
    CertFreeCertificateContext(ca);
}

TEST(VerifySignedMessage, NonMessagesFailWithTheContentCleared) {
    const std::string inputs[] = {
        "<html><head><title>404 Not Found</title></head><body>Not Found</body></html>",
        std::string("\x30\x82\x01\x00garbage", 12),
        std::string(1, '\0'),
    };
    for (const std::string& input : inputs) {
        CryptoHelper helper;
        std::unique_ptr<uint8_t[]> content(new uint8_t[4]);
        uint32_t size = 4;
        EXPECT_FALSE(helper.verifySignedMessage(reinterpret_cast<const uint8_t*>(input.data()),
                                                static_cast<uint32_t>(input.size()), content, size));
        EXPECT_EQ(content, nullptr);
        EXPECT_EQ(size, 0u);
    }
    CryptoHelper helper;
    std::unique_ptr<uint8_t[]> content;
    uint32_t size = 9;
    EXPECT_FALSE(helper.verifySignedMessage(nullptr, 0, content, size));
    EXPECT_EQ(size, 0u);
}
