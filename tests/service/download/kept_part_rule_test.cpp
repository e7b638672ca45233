// The rule that ends a kept part, and the digest a download resumes under.
#include <gtest/gtest.h>

#include <string>

#include "download/kept_part_rule.h"
#include "download/manifest_binding.h"
#include "download/package_transfer.h"

namespace {

const std::string kPart(64, 'a');
const std::string kOther(64, 'b');

TEST(KeptPartRule, APartWaitsOnlyWhileItsOwnDownloadMayFollow) {
    struct Case {
        const char* name;
        KeptPartFacts facts;
        KeptPartFate fate;
    } cases[] = {
        {"notify or disable mode", {false, false, true, true, kPart}, KeptPartFate::UpdatesOff},
        {"off wins over exhausted", {false, true, false, false, ""}, KeptPartFate::UpdatesOff},
        {"attempts exhausted", {true, true, true, true, kPart}, KeptPartFate::AttemptsExhausted},
        {"offers not known (not due, failed fetch)", {true, false, false, false, ""},
         KeptPartFate::Keep},
        {"player at the offered build", {true, false, true, false, ""}, KeptPartFate::UpToDate},
        {"another package downloads", {true, false, true, true, kOther},
         KeptPartFate::NotOffered},
        {"an unbound package downloads", {true, false, true, true, ""},
         KeptPartFate::NotOffered},
        {"its own package downloads", {true, false, true, true, kPart}, KeptPartFate::Keep},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keptPartFate(kPart, c.facts), c.fate) << c.name;
        EXPECT_EQ(shouldKeepPart(kPart, c.facts), c.fate == KeptPartFate::Keep) << c.name;
    }
}

TEST(KeptPartRule, ADownloadResumesUnderItsDigestOnlyWhenBoundWithinTheLimit) {
    struct Case {
        const char* name;
        bool patch;
        PackageBinding binding;
        std::string digest;
    } cases[] = {
        {"full package bound", false, {true, 4096, kPart}, kPart},
        {"patch bound", true, {true, 4096, kOther}, kOther},
        {"no size", false, {false, 0, kPart}, ""},
        {"size 0", false, {true, 0, kPart}, ""},
        {"no digest", false, {true, 4096, ""}, ""},
        {"size over the limit", false, {true, kMaxPackageBytes + 1u, kPart}, ""},
        {"size at the limit", false, {true, kMaxPackageBytes, kPart}, kPart},
    };
    for (const Case& c : cases) {
        ComponentOffer offer;
        offer.patchApplies = c.patch;
        (c.patch ? offer.patchPackage : offer.fullPackage) = c.binding;
        // The other binding never counts.
        (c.patch ? offer.fullPackage : offer.patchPackage) = {true, 10, std::string(64, 'c')};
        EXPECT_EQ(resumablePartDigest(offer), c.digest) << c.name;
    }
}

}  // namespace
