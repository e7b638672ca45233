#include <gtest/gtest.h>

#include "player/player_detection.h"
#include "support/offers.h"

namespace {

PlayerVersion v(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return PlayerVersion{a, b, c, d}; }

using testsupport::offer;

}  // namespace

TEST(ComparePlayerVersions, FirstDifferingPartDecidesAsUnsignedNumber) {
    EXPECT_EQ(comparePlayerVersions(v(11, 2, 202, 235), v(11, 2, 202, 228)), 1);
    EXPECT_EQ(comparePlayerVersions(v(11, 2, 202, 228), v(11, 2, 202, 235)), -1);
    EXPECT_EQ(comparePlayerVersions(v(11, 2, 202, 228), v(11, 2, 202, 228)), 0);
    EXPECT_EQ(comparePlayerVersions(v(11, 10, 0, 0), v(11, 9, 0, 0)), 1);
    EXPECT_EQ(comparePlayerVersions(v(12, 0, 0, 0), v(11, 99, 999, 9999)), 1);
    EXPECT_EQ(comparePlayerVersions(v(11, 2, 201, 999), v(11, 2, 202, 0)), -1);
    EXPECT_EQ(comparePlayerVersions(v(0xFFFFFFFF, 0, 0, 0), v(1, 0, 0, 0)), 1);
    EXPECT_EQ(comparePlayerVersions(v(0, 0, 0, 0), v(0, 0, 0, 1)), -1);
}

TEST(InstalledVersionText, SplitsOnFullStopsAndReadsEachPieceLikeStrtoul) {
    struct Case {
        const wchar_t* text;
        PlayerVersion version;
    } cases[] = {
        {L"11.2.202.228", v(11, 2, 202, 228)},
        {L"11.2", v(11, 2, 0, 0)},
        {L"11", v(11, 0, 0, 0)},
        {L"11,2,202,228", v(11, 0, 0, 0)},
        {L" 11. 2.+202.228abc", v(11, 2, 202, 228)},
        {L"11..202.", v(11, 0, 202, 0)},
        {L"x.2.3.4", v(0, 2, 3, 4)},
        {L"-1.0.0.1", v(0xFFFFFFFF, 0, 0, 1)},
        {L"99999999999.1.1.1", v(0xFFFFFFFF, 1, 1, 1)},
        {L"", v(0, 0, 0, 0)},
        // A fifth piece, even an empty one, makes the whole text unusable.
        {L"11.2.202.228.", v(0, 0, 0, 0)},
        {L"1.2.3.4.5", v(0, 0, 0, 0)},
        {L"....", v(0, 0, 0, 0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseInstalledVersionText(c.text), c.version) << testing::PrintToString(std::wstring(c.text));
}

TEST(UpdateRule, OnlyAStrictlyNewerOfferForAnInstalledComponent) {
    const PlayerVersion installed = v(11, 2, 202, 228);
    for (PlayerComponent c : {PlayerComponent::ActiveX, PlayerComponent::Plugin}) {
        EXPECT_TRUE(isUpdateNeededFor(offer(c, v(11, 2, 202, 235)), OsClass::Vista7, installed));
        EXPECT_FALSE(isUpdateNeededFor(offer(c, v(11, 2, 202, 228)), OsClass::Vista7, installed));
        EXPECT_FALSE(isUpdateNeededFor(offer(c, v(11, 2, 201, 999)), OsClass::Vista7, installed));
        EXPECT_FALSE(isUpdateNeededFor(offer(c, v(99, 0, 0, 0)), OsClass::Legacy, v(0, 0, 0, 0)));
    }
}

TEST(UpdateRule, ActiveXIsNeverUpdatedOnWindows8OrLater) {
    const PlayerVersion installed = v(10, 0, 0, 0);
    EXPECT_FALSE(isUpdateNeededFor(offer(PlayerComponent::ActiveX, v(11, 0, 0, 0)), OsClass::Win8OrLater, installed));
    EXPECT_TRUE(isUpdateNeededFor(offer(PlayerComponent::Plugin, v(11, 0, 0, 0)), OsClass::Win8OrLater, installed));
    EXPECT_TRUE(isUpdateNeededFor(offer(PlayerComponent::ActiveX, v(11, 0, 0, 0)), OsClass::Legacy, installed));
}

TEST(PatchPath, JoinsFolderEntryAndComponentFileWithoutEscaping) {
    ComponentOffer ax = offer(PlayerComponent::ActiveX, {});
    buildPatchPath(ax, L"11.2.202.235/from-228");
    EXPECT_EQ(ax.patchPath,
              L"/pub/vextraplayer/update/current/sau/11/install/patch/11.2.202.235/from-228/patch_all_win_ax_sgn.z");
    ComponentOffer pl = offer(PlayerComponent::Plugin, {});
    pl.patchPath = L"old";
    buildPatchPath(pl, L"a b?c#d");
    EXPECT_EQ(pl.patchPath, L"/pub/vextraplayer/update/current/sau/11/install/patch/a b?c#d/patch_all_win_pl_sgn.z");
    buildPatchPath(pl, L"");
    EXPECT_EQ(pl.patchPath, L"/pub/vextraplayer/update/current/sau/11/install/patch//patch_all_win_pl_sgn.z");
}

TEST(DigestMatch, ExactlySixtyFourEqualCharacters) {
    const std::string d = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_TRUE(digestMatches(d, d.c_str()));
    EXPECT_FALSE(digestMatches(d.substr(0, 63), d.c_str()));
    EXPECT_FALSE(digestMatches(d + "a", d.c_str()));
    EXPECT_FALSE(digestMatches(d, d.substr(0, 63).c_str()));
    EXPECT_FALSE(digestMatches("", ""));
    std::string upper = d;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(digestMatches(upper, d.c_str()));
}
