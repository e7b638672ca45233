#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/admin_config.h"
#include "manifest/manifest_fetch.h"
#include "support/log_capture.h"

using testsupport::LogCapture;

// Fetches against real servers run end to end (tests/e2e/test_manifest_fetch.py). Here the
// manifest host is empty, so the request cannot be sent and nothing reaches the network (Wine
// accepts the empty name at WinHttpConnect and fails at the send): the steps after the failed
// one log their codes with its error, and the fetch line is written all the same.

namespace {

class FetchWithoutConnection : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = serviceSettings().manifestServerHost;
        serviceSettings().manifestServerHost = L"";
    }
    void TearDown() override { serviceSettings().manifestServerHost = saved_; }
    std::wstring saved_;
};

std::vector<std::wstring> codesOf(const std::vector<std::wstring>& messages) {
    std::vector<std::wstring> codes;
    for (const auto& m : messages) codes.push_back(m.substr(0, m.find(L' ')));
    return codes;
}

}  // namespace

TEST_F(FetchWithoutConnection, VersionFetchLogsTheWholeCascade) {
    LogCapture capture;
    VersionManifest manifest;
    EXPECT_FALSE(fetchManifest(manifest, false));
    EXPECT_FALSE(manifest.activeX || manifest.plugin || manifest.checkFrequency);
    const auto lines = capture.entries();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, L"info");
    EXPECT_EQ(lines[0].message, L"1630 /pub/vextraplayer/update/current/sau/11/xml/version.xml");
    const auto codes = codesOf(capture.messages());
    EXPECT_EQ(codes, (std::vector<std::wstring>{L"1630", L"1403", L"1407", L"1408"}));
    // The error of the failed send is carried on to the receive step that was not attempted.
    const std::wstring error = lines[1].message.substr(5);
    EXPECT_NE(error, L"0");
    for (size_t i = 1; i <= 2; ++i) {
        EXPECT_EQ(lines[i].level, L"warning");
        EXPECT_EQ(lines[i].message.substr(5), error) << i;
    }
    EXPECT_EQ(lines[3].level, L"warning");
    EXPECT_EQ(lines[3].message, L"1408");
}

TEST_F(FetchWithoutConnection, PatchFetchEndsIn1450AndKeepsTheOffers) {
    LogCapture capture;
    VersionManifest manifest;
    manifest.activeX.reset(new ComponentOffer);
    manifest.plugin.reset(new ComponentOffer);
    manifest.plugin->component = PlayerComponent::Plugin;
    manifest.checkFrequency.reset(new uint32_t(2));
    EXPECT_FALSE(fetchManifest(manifest, true));
    ASSERT_TRUE(manifest.complete());
    EXPECT_FALSE(manifest.activeX->patchApplies);
    const auto messages = capture.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), L"1630 /pub/vextraplayer/update/current/sau/11/xml/patch.xml");
    EXPECT_EQ(codesOf(messages), (std::vector<std::wstring>{L"1630", L"1403", L"1407", L"1450"}));
}

// (how the request ended, patch, the code that closes the failed fetch): a reply that is not
// the manifest (a status other than 200, a Content-Range) and a body that does not parse (an
// empty one included) end as a failed parse; only no reply, or no whole body, as no response.
TEST(ManifestFetchFailureCode, EachOutcomeClosesWithItsOwnCode) {
    const struct {
        ManifestReply reply;
        bool patch;
        MessageCode code;
    } rows[] = {
        {ManifestReply::Refused, false, MessageCode::VersionManifestParseFailed},
        {ManifestReply::Refused, true, MessageCode::PatchManifestParseFailed},
        {ManifestReply::Body, false, MessageCode::VersionManifestParseFailed},
        {ManifestReply::Body, true, MessageCode::PatchManifestParseFailed},
        {ManifestReply::NoResponse, false, MessageCode::VersionManifestNoResponse},
        {ManifestReply::NoResponse, true, MessageCode::PatchManifestNoResponse},
    };
    for (const auto& row : rows)
        EXPECT_EQ(static_cast<int>(manifestFetchFailureCode(row.reply, row.patch)),
                  static_cast<int>(row.code))
            << static_cast<int>(row.reply) << " patch " << row.patch;
    EXPECT_EQ(static_cast<int>(MessageCode::VersionManifestParseFailed), 1409);
    EXPECT_EQ(static_cast<int>(MessageCode::PatchManifestParseFailed), 1442);
    EXPECT_EQ(static_cast<int>(MessageCode::VersionManifestNoResponse), 1408);
    EXPECT_EQ(static_cast<int>(MessageCode::PatchManifestNoResponse), 1450);
}
