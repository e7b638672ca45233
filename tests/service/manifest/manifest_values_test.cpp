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

TEST(PlayerVersionRecord, ComparesAllFourParts) {
    EXPECT_EQ((PlayerVersion{11, 2, 202, 228}), (PlayerVersion{11, 2, 202, 228}));
    EXPECT_NE((PlayerVersion{11, 2, 202, 228}), (PlayerVersion{11, 2, 202, 229}));
    EXPECT_EQ(PlayerVersion{}, (PlayerVersion{0, 0, 0, 0}));
}
