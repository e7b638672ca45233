#include <gtest/gtest.h>

#include "manifest/manifest.h"

TEST(ManifestNumber, ReadsLikeStrtoulInBaseTen) {
    struct Case {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"11", 11},          {" 11", 11},      {"\t\n11", 11},        {"11.2", 11},
        {"11abc", 11},       {"", 0},          {"abc", 0},            {"+7", 7},
        {"-1", 4294967295u}, {"-2", 4294967294u}, {"4294967295", 4294967295u},
        {"4294967296", 4294967295u}, {"99999999999", 4294967295u}, {"-99999999999", 4294967295u},
        {"007", 7},          {"0x10", 0},      {"- 5", 0},            {"1 2", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(manifestNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(Utf8ToWide, ConvertsAsciiAndMultiByteText) {
    std::wstring out;
    ASSERT_TRUE(utf8ToWide("11.2.202", out));
    EXPECT_EQ(out, L"11.2.202");
    ASSERT_TRUE(utf8ToWide("pl\xC3\xBC" "s/\xE4\xB8\xAD/\xF0\x9F\x98\x80", out));
    EXPECT_EQ(out, std::wstring(L"pl\u00FCs/\u4E2D/") + L"\xD83D\xDE00");
    ASSERT_TRUE(utf8ToWide("", out));
    EXPECT_EQ(out, L"");
}

TEST(Utf8ToWide, ReplacesInvalidSequencesInsteadOfRejecting) {
    std::wstring out;
    ASSERT_TRUE(utf8ToWide("a\xFF" "b", out));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], L'a');
    EXPECT_EQ(out[1], L'\xFFFD');
    EXPECT_EQ(out[2], L'b');
}

TEST(Utf8ToWide, NoTextLeavesTheOutputAlone) {
    std::wstring out = L"unchanged";
    EXPECT_FALSE(utf8ToWide(nullptr, out));
    EXPECT_EQ(out, L"unchanged");
}

TEST(PlayerVersionRecord, ComparesAllFourParts) {
    EXPECT_EQ((PlayerVersion{11, 2, 202, 228}), (PlayerVersion{11, 2, 202, 228}));
    EXPECT_NE((PlayerVersion{11, 2, 202, 228}), (PlayerVersion{11, 2, 202, 229}));
    EXPECT_EQ(PlayerVersion{}, (PlayerVersion{0, 0, 0, 0}));
}
