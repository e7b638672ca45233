// The package's byte limit and its binding to the manifest, checked as the package is read.
#include <gtest/gtest.h>

#include <string>

#include "download/manifest_binding.h"
#include "support/log_capture.h"

namespace {

ComponentOffer offerWithSize(bool hasSize, uint32_t size, bool patch) {
    ComponentOffer offer;
    offer.patchApplies = patch;
    PackageBinding& binding = patch ? offer.patchPackage : offer.fullPackage;
    binding.hasSize = hasSize;
    binding.size = size;
    return offer;
}

}  // namespace

TEST(PackageByteLimit, TheManifestLowersTheLimitAndNeverRaisesIt) {
    struct Case {
        const char* name;
        bool hasSize;
        uint32_t size;
        uint32_t limit;
    } cases[] = {
        {"no size", false, 0, kMaxPackageBytes},
        {"a lower size", true, 5000, 5000},
        {"the limit itself", true, kMaxPackageBytes, kMaxPackageBytes},
        {"one byte over", true, kMaxPackageBytes + 1, kMaxPackageBytes},
        {"4 GiB - 1", true, 0xFFFFFFFFu, kMaxPackageBytes},
    };
    for (const Case& c : cases) {
        for (bool patch : {false, true}) {
            EXPECT_EQ(packageByteLimit(offerWithSize(c.hasSize, c.size, patch)), c.limit)
                << c.name << (patch ? " (patch)" : " (full installer)");
        }
    }
    // The patch's binding counts only while the patch applies.
    ComponentOffer offer = offerWithSize(true, 100, false);
    offer.patchPackage.hasSize = true;
    offer.patchPackage.size = 7;
    EXPECT_EQ(packageByteLimit(offer), 100u);
    offer.patchApplies = true;
    EXPECT_EQ(packageByteLimit(offer), 7u);
}

TEST(ManifestBindingCheck, SizeAndDigestOfTheBytesFed) {
    testsupport::LogCapture log;
    const std::string bytes = "the package's bytes";
    // sha256 of "the package's bytes" (sha256sum), and the same with its last digit changed
    const std::string digest = "9b9b0f5e6b9f3d34c3a36c595d0dcb23062594d6230390fc070e7b4f1c9bd24d";
    const std::string other = "9b9b0f5e6b9f3d34c3a36c595d0dcb23062594d6230390fc070e7b4f1c9bd24e";
    struct Case {
        const char* name;
        bool hasSize;
        uint32_t size;
        std::string sha256;
        bool beginOk;
        bool finishOk;
    };
    const Case cases[] = {
        {"nothing bound", false, 0, "", true, true},
        {"size matches", true, static_cast<uint32_t>(bytes.size()), "", true, true},
        {"size differs", true, static_cast<uint32_t>(bytes.size() + 1), "", false, false},
        {"digest matches", false, 0, digest, true, true},
        {"size and digest match", true, static_cast<uint32_t>(bytes.size()), digest, true, true},
        {"digest differs", false, 0, other, true, false},
    };
    for (const Case& c : cases) {
        PackageBinding binding;
        binding.hasSize = c.hasSize;
        binding.size = c.size;
        binding.sha256 = c.sha256;
        ManifestBindingCheck check(binding);
        const bool begun = check.begin(bytes.size());
        EXPECT_EQ(begun, c.beginOk) << c.name;
        if (!begun) continue;
        check.update(reinterpret_cast<const uint8_t*>(bytes.data()), 4);
        check.update(reinterpret_cast<const uint8_t*>(bytes.data()) + 4, bytes.size() - 4);
        EXPECT_EQ(check.finish(), c.finishOk) << c.name;
    }
}
