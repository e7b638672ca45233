#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "platform/os_version.h"
#include "platform/transfer_control.h"
#include "manifest/manifest.h"
#include "support/log_capture.h"
#include "support/player_registry.h"

using testsupport::LogCapture;
using testsupport::PlayerRecord;

namespace {

// SHA-256 of the three bytes "abc" and of "xyz".
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kXyz = "3608bca1e44ea6c4d268eb6db02260269892c0b42b86bbf1e77a6fa16c3c9282";
const std::wstring kPatchRoot = L"/pub/vextraplayer/update/current/sau/11/install/patch/";

std::string entry(const char* name, const std::string& hash32, const std::string& path,
                  const std::string& hash64 = "0000") {
    return std::string("<") + name + " hash32='" + hash32 + "' hash64='" + hash64 + "' path='" +
           path + "'/>";
}

// Installed players (ActiveX file holds "abc", plug-in file "xyz") and a filled version manifest.
class PatchManifest : public ::testing::Test {
protected:
    void SetUp() override {
        runningUnderWow64 = false;
        ASSERT_TRUE(testsupport::writeBytes(capture_.folder() / L"ax.ocx", "abc"));
        ASSERT_TRUE(testsupport::writeBytes(capture_.folder() / L"pl.dll", "xyz"));
        activeX_.reset(new PlayerRecord(L"Software\\Telmora\\VextraPlayerActiveX"));
        plugin_.reset(new PlayerRecord(L"Software\\Telmora\\VextraPlayerPlugin"));
        activeX_->playerPath(capture_.folder() / L"ax.ocx");
        plugin_->playerPath(capture_.folder() / L"pl.dll");
        manifest_.activeX.reset(new ComponentOffer);
        manifest_.activeX->component = PlayerComponent::ActiveX;
        manifest_.plugin.reset(new ComponentOffer);
        manifest_.plugin->component = PlayerComponent::Plugin;
        manifest_.checkFrequency.reset(new uint32_t(1));
    }

    bool parse(const std::string& text) {
        capture_.clear();
        buffer_.assign(text.begin(), text.end());
        buffer_.push_back('\0');
        return parsePatchManifest(buffer_.data(), &manifest_);
    }
    std::vector<std::wstring> log() const { return capture_.messages(); }

    LogCapture capture_;
    std::unique_ptr<PlayerRecord> activeX_, plugin_;
    VersionManifest manifest_;
    std::vector<char> buffer_;
};

}  // namespace

TEST_F(PatchManifest, FirstMatchingEntryWinsPerComponent) {
    const std::string text =
        "<?xml version='1.0'?>"
        "<patch>" + entry("ActiveX", kXyz, "ax-1") + entry("Plugin", kAbc, "pl-1") + "</patch>"
        "<patch>" + entry("ActiveX", kAbc, "ax-2") + entry("Plugin", kAbc, "pl-2") + "</patch>"
        "<patch>" + entry("ActiveX", kAbc, "ax-3") + entry("Plugin", kXyz, "pl-3") + "</patch>"
        "<patch>" + entry("ActiveX", kAbc, "ax-4") + entry("Plugin", kXyz, "pl-4") + "</patch>";
    ASSERT_TRUE(parse(text));
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(manifest_.activeX->patchApplies);
    EXPECT_EQ(manifest_.activeX->patchPath, kPatchRoot + L"ax-2/patch_all_win_ax_sgn.z");
    EXPECT_TRUE(manifest_.plugin->patchApplies);
    EXPECT_EQ(manifest_.plugin->patchPath, kPatchRoot + L"pl-3/patch_all_win_pl_sgn.z");
    EXPECT_EQ(manifest_.activeX->hash32, kAbc);
    EXPECT_EQ(manifest_.activeX->hash64, "0000");
}

TEST_F(PatchManifest, NoMatchLeavesPatchOffAndTheLastExaminedPath) {
    ASSERT_TRUE(parse("<patch>" + entry("ActiveX", kXyz, "a") + entry("Plugin", kAbc, "b") +
                      "</patch><patch>" + entry("ActiveX", "", "c") + entry("Plugin", kAbc, "d") +
                      "</patch>"));
    EXPECT_FALSE(manifest_.activeX->patchApplies);
    EXPECT_FALSE(manifest_.plugin->patchApplies);
    EXPECT_EQ(manifest_.activeX->patchPath, kPatchRoot + L"c/patch_all_win_ax_sgn.z");
    EXPECT_EQ(manifest_.plugin->patchPath, kPatchRoot + L"d/patch_all_win_pl_sgn.z");
}

TEST_F(PatchManifest, DigestsMustBeExactLowerCaseAndSixtyFourCharacters) {
    std::string upper = kAbc;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const std::string& hash : {upper, kAbc.substr(0, 63), kAbc + "0", " " + kAbc}) {
        manifest_.activeX->patchApplies = false;
        ASSERT_TRUE(parse("<patch>" + entry("ActiveX", hash, "p") + entry("Plugin", kAbc, "q") + "</patch>"));
        EXPECT_FALSE(manifest_.activeX->patchApplies) << hash;
    }
}

TEST_F(PatchManifest, WalkStartsAtFirstPatchElementAndTakesAnyLaterElement) {
    const std::string text = "<other>" + entry("ActiveX", kAbc, "before") + "</other>"
                             "<patch>" + entry("ActiveX", kXyz, "first") + entry("Plugin", kAbc, "p1") +
                             "</patch><anything>" + entry("ActiveX", kAbc, "later") +
                             entry("Plugin", kXyz, "p2") + "</anything>";
    ASSERT_TRUE(parse(text));
    EXPECT_TRUE(manifest_.activeX->patchApplies);
    EXPECT_EQ(manifest_.activeX->patchPath, kPatchRoot + L"later/patch_all_win_ax_sgn.z");
    EXPECT_EQ(manifest_.plugin->patchPath, kPatchRoot + L"p2/patch_all_win_pl_sgn.z");
}

TEST_F(PatchManifest, MissingChildIsLoggedAndTheOtherComponentStillExamined) {
    ASSERT_TRUE(parse("<patch>" + entry("Plugin", kAbc, "only-plugin") + "</patch>"
                      "<patch>" + entry("ActiveX", kAbc, "only-activex") + "</patch>"));
    EXPECT_EQ(log(), (std::vector<std::wstring>{L"1447", L"1449"}));
    EXPECT_FALSE(manifest_.plugin->patchApplies);
    EXPECT_EQ(manifest_.plugin->patchPath, kPatchRoot + L"only-plugin/patch_all_win_pl_sgn.z");
    EXPECT_TRUE(manifest_.activeX->patchApplies);
}

TEST_F(PatchManifest, AfterAMatchLaterEntriesOfThatComponentAreNotLookedAt) {
    ASSERT_TRUE(parse("<patch>" + entry("ActiveX", kAbc, "good") + entry("Plugin", kXyz, "pgood") +
                      "</patch><patch><ActiveX hash32='x'/><Plugin/></patch><patch/>"));
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(manifest_.activeX->patchPath, kPatchRoot + L"good/patch_all_win_ax_sgn.z");
    EXPECT_EQ(manifest_.plugin->patchPath, kPatchRoot + L"pgood/patch_all_win_pl_sgn.z");
}

TEST_F(PatchManifest, MalformedEntryEndsTheWalkButKeepsEarlierResults) {
    EXPECT_FALSE(parse("<patch>" + entry("ActiveX", kAbc, "good") +
                       "<Plugin hash32='" + kXyz + "' hash64='0'/></patch>" +
                       "<patch>" + entry("Plugin", kXyz, "never") + "</patch>"));
    EXPECT_EQ(log(), std::vector<std::wstring>{L"1448"});
    EXPECT_TRUE(manifest_.activeX->patchApplies);
    EXPECT_FALSE(manifest_.plugin->patchApplies);

    manifest_.activeX->patchApplies = false;
    EXPECT_FALSE(parse("<patch><ActiveX hash64='0' path='x'/>" + entry("Plugin", kXyz, "p") + "</patch>"));
    EXPECT_EQ(log(), std::vector<std::wstring>{L"1446"});
    EXPECT_FALSE(manifest_.plugin->patchApplies);  // the walk ended before the plug-in entry
}

TEST_F(PatchManifest, PathIsJudgedAfterEntityReferencesAreTranslated) {
    // References that stand for plain characters make a plain path.
    ASSERT_TRUE(parse("<patch>" + entry("ActiveX", kAbc, "a&#x2D;b/c&#46;d") +
                      entry("Plugin", kXyz, "pl") + "</patch>"));
    EXPECT_EQ(manifest_.activeX->patchPath, kPatchRoot + L"a-b/c.d/patch_all_win_ax_sgn.z");
    // A dot segment is refused whatever spelled it.
    manifest_.activeX->patchApplies = false;
    manifest_.activeX->patchPath.clear();
    EXPECT_FALSE(parse("<patch>" + entry("ActiveX", kAbc, "&#46;&#46;/x") + "</patch>"));
    EXPECT_EQ(log(), std::vector<std::wstring>{L"1466"});
    EXPECT_TRUE(manifest_.activeX->patchPath.empty());
    // Other characters are names: '&', non-ASCII letters (as their UTF-8 bytes, encoded).
    manifest_.activeX->patchApplies = false;
    ASSERT_TRUE(parse("<patch>" + entry("ActiveX", kAbc, "a&amp;b&#x4E2D;\xC3\xBC") +
                      entry("Plugin", kXyz, "pl") + "</patch>"));
    EXPECT_EQ(manifest_.activeX->patchPath,
              kPatchRoot + L"a%26b%E4%B8%AD%C3%BC/patch_all_win_ax_sgn.z");
}

TEST_F(PatchManifest, DocumentLevelFailuresLogTheirCodes) {
    struct Case {
        std::string text;
        const wchar_t* code;
    } cases[] = {
        {"", L"1445"},
        {" \n ", L"1445"},
        {"<patches/>", L"1445"},
        {"<Patch/>", L"1445"},
        {"<patch>", L"1444"},
        {"<patch/> junk", L"1444"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(parse(c.text)) << c.text;
        EXPECT_EQ(log(), std::vector<std::wstring>{c.code}) << c.text;
    }
}

TEST_F(PatchManifest, NeedsBothOffersAndText) {
    char text[] = "<patch/>";
    EXPECT_FALSE(parsePatchManifest(nullptr, &manifest_));
    EXPECT_FALSE(parsePatchManifest(text, nullptr));
    VersionManifest empty;
    EXPECT_FALSE(parsePatchManifest(text, &empty));
    EXPECT_TRUE(log().empty());
}

TEST_F(PatchManifest, EntryBindsItsPatchPackageAndAMalformedBindingEndsTheWalk) {
    const std::string digest(64, 'C');
    ASSERT_TRUE(parse("<patch>" + entry("ActiveX", kXyz, "a") + "<Plugin hash32='" + kAbc +
                      "' hash64='0' path='b' size='9' sha256='" + std::string(64, 'e') +
                      "'/></patch><patch><ActiveX hash32='" + kAbc +
                      "' hash64='0' path='c' size='1234' sha256='" + digest + "'/>" +
                      entry("Plugin", kAbc, "d") + "</patch>"));
    // The matching ActiveX entry's binding stays; the plug-in's last examined entry had none.
    EXPECT_TRUE(manifest_.activeX->patchApplies);
    EXPECT_TRUE(manifest_.activeX->patchPackage.hasSize);
    EXPECT_EQ(manifest_.activeX->patchPackage.size, 1234u);
    EXPECT_EQ(manifest_.activeX->patchPackage.sha256, std::string(64, 'c'));
    EXPECT_FALSE(manifest_.plugin->patchApplies);
    EXPECT_FALSE(manifest_.plugin->patchPackage.any());

    manifest_.activeX->patchApplies = false;
    EXPECT_FALSE(parse("<patch><ActiveX hash32='" + kAbc + "' hash64='0' path='c' size='12x'/>" +
                       entry("Plugin", kAbc, "d") + "</patch>"));
    EXPECT_EQ(log(), std::vector<std::wstring>{L"1464"});
    EXPECT_FALSE(manifest_.activeX->patchApplies) << "a malformed entry is never chosen";
}

TEST_F(PatchManifest, EachPlayerFileIsHashedOnceAndMalformedDigestsHashNothing) {
    // Missing player files: every hash attempt logs 1151, so the log counts them.
    activeX_->playerPath(capture_.folder() / L"gone.ocx");
    plugin_->playerPath(capture_.folder() / L"gone.dll");
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "<patch>" + entry("ActiveX", kXyz, "a") + entry("Plugin", kAbc, "p") + "</patch>";
    ASSERT_TRUE(parse(text));
    EXPECT_EQ(log(), (std::vector<std::wstring>{L"1151 2", L"1151 2"}));

    // A digest text that no file can have is matched without hashing anything.
    std::string upper = kAbc;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    const std::string malformed[] = {"", kAbc.substr(0, 63), kAbc + "0", upper, "z" + kAbc.substr(1)};
    text.clear();
    for (const std::string& digest : malformed)
        text += "<patch>" + entry("ActiveX", digest, "a") + entry("Plugin", digest, "p") + "</patch>";
    ASSERT_TRUE(parse(text));
    EXPECT_TRUE(log().empty());
    // On 64-bit Windows a malformed hash64 rules the entry out before either file is hashed.
    runningUnderWow64 = true;
    ASSERT_TRUE(parse("<patch>" + entry("ActiveX", kAbc, "a", "") + entry("Plugin", kXyz, "p", upper) +
                      "</patch>"));
    runningUnderWow64 = false;
    EXPECT_TRUE(log().empty());
    EXPECT_FALSE(manifest_.activeX->patchApplies);
}

TEST_F(PatchManifest, TheWalkYieldsToTheServiceStop) {
    serviceStopSignal().request();
    const bool walked = parse("<patch>" + entry("ActiveX", kAbc, "a") + entry("Plugin", kXyz, "p") +
                              "</patch>");
    serviceStopSignal().reset();
    EXPECT_FALSE(walked);
    EXPECT_EQ(log(), std::vector<std::wstring>{L"1465"});
    EXPECT_FALSE(manifest_.activeX->patchApplies);
    EXPECT_FALSE(manifest_.plugin->patchApplies);
}

// (path attribute as parsed, its part of the request, or refused): any character the parsing
// yields is a folder's name, percent-encoded where it is not a letter, digit, - . _ ~ or /;
// only what climbs out of the patch folder or changes the request is refused.
TEST(PatchPath, AnyNameGoesPercentEncodedOnlyClimbsAndQueriesAreRefused) {
    const std::string longest(kMaxPatchPathBytes, 'a');
    const char* const kRefused = nullptr;
    const struct {
        std::string path;
        const char* request;
    } cases[] = {
        {"ax-1", "ax-1"},
        {"11.2.202.235/ax-from-228", "11.2.202.235/ax-from-228"},
        {"a_b.c-D9~", "a_b.c-D9~"},
        {"p&q", "p%26q"},
        {"a b", "a%20b"},
        {"a%2e%2e", "a%252e%252e"},
        {"a:b;c+d=e,f@g!h$i'j(k)l*m", "a%3Ab%3Bc%2Bd%3De%2Cf%40g%21h%24i%27j%28k%29l%2Am"},
        {"a\\b", "a%5Cb"},
        {"\xc3\xa4", "%C3%A4"},
        {"\xff", "%FF"},
        {".", "."},
        {"...", "..."},
        {"a/./b", "a/./b"},
        {"a..b/..c", "a..b/..c"},
        {"a/", "a/"},
        {"a//b", "a//b"},
        {"", ""},
        {longest, longest.c_str()},
        {longest + "a", kRefused},
        {"..", kRefused},
        {"a/..", kRefused},
        {"../a", kRefused},
        {"a/../b", kRefused},
        {"a\\..\\b", kRefused},
        {"a\\..", kRefused},
        {"p11/../../../install_all_win_ax_sgn.z?", kRefused},
        {"/a", kRefused},
        {"\\a", kRefused},
        {"a?b", kRefused},
        {"a#b", kRefused},
        {"a\tb", kRefused},
        {"a\nb", kRefused},
        {"a\x01", kRefused},
        {"\x1f", kRefused},
        {"a\x7f", kRefused},
    };
    for (const auto& c : cases) {
        std::string out = "untouched";
        const bool accepted = patchPathForRequest(c.path.c_str(), out);
        EXPECT_EQ(accepted, c.request != kRefused) << c.path;
        EXPECT_EQ(out, c.request ? c.request : "untouched") << c.path;
    }
}

// An entity reference in "path" reaches the request translated, then percent-encoded.
TEST_F(PatchManifest, EntityInThePathReachesTheRequestEncoded) {
    const std::string text = "<patch>" + entry("ActiveX", kAbc, "p&amp;q/&#x20;x") +
                             entry("Plugin", kXyz, "r&lt;s") + "</patch>";
    ASSERT_TRUE(parse(text));
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(manifest_.activeX->patchApplies);
    EXPECT_EQ(manifest_.activeX->patchPath, kPatchRoot + L"p%26q/%20x/patch_all_win_ax_sgn.z");
    EXPECT_TRUE(manifest_.plugin->patchApplies);
    EXPECT_EQ(manifest_.plugin->patchPath, kPatchRoot + L"r%3Cs/patch_all_win_pl_sgn.z");
}

TEST_F(PatchManifest, PathThatIsNotPlainEndsTheWalkAndTheFullPackageIsFetched) {
    const std::string text =
        "<?xml version='1.0'?>"
        "<patch>" + entry("ActiveX", kAbc, "p11/../../../install_all_win_ax_sgn.z?") +
        entry("Plugin", kXyz, "pl-1") + "</patch>";
    EXPECT_FALSE(parse(text));
    EXPECT_EQ(log(), std::vector<std::wstring>{L"1466"});
    EXPECT_FALSE(manifest_.activeX->patchApplies);
    EXPECT_TRUE(manifest_.activeX->patchPath.empty());
    EXPECT_FALSE(manifest_.plugin->patchApplies);
}
