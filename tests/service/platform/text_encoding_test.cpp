#include <gtest/gtest.h>

#include "platform/text_encoding.h"

TEST(WideFromUtf8Lenient, ConvertsAsciiAndMultiByteText) {
    std::wstring out;
    ASSERT_TRUE(wideFromUtf8Lenient("11.2.202", out));
    EXPECT_EQ(out, L"11.2.202");
    ASSERT_TRUE(wideFromUtf8Lenient("pl\xC3\xBC" "s/\xE4\xB8\xAD/\xF0\x9F\x98\x80", out));
    EXPECT_EQ(out, std::wstring(L"pl\u00FCs/\u4E2D/") + L"\xD83D\xDE00");
    ASSERT_TRUE(wideFromUtf8Lenient("", out));
    EXPECT_EQ(out, L"");
}

TEST(WideFromUtf8Lenient, ReplacesInvalidSequencesInsteadOfRejecting) {
    std::wstring out;
    ASSERT_TRUE(wideFromUtf8Lenient("a\xFF" "b", out));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], L'a');
    EXPECT_EQ(out[1], L'\xFFFD');
    EXPECT_EQ(out[2], L'b');
}

TEST(WideFromUtf8Lenient, NoTextLeavesTheOutputAlone) {
    std::wstring out = L"unchanged";
    EXPECT_FALSE(wideFromUtf8Lenient(nullptr, out));
    EXPECT_EQ(out, L"unchanged");
}
