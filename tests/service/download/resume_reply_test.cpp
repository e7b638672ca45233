// The answer to a request for the rest of a package: only an exact continuation is appended.
#include <gtest/gtest.h>

#include "download/resume_reply.h"

TEST(ResumeReply, OnlyAnExactContinuationIsAppended) {
    // A package of 1000 bytes, 800 of them held, which came with the ETag "v1".
    const std::string v1 = chooseValidator("\"v1\"", "");
    struct Case {
        const char* name;
        uint32_t status;
        const char* range;
        const char* replyEtag;
        ResumeReply expected;
    } cases[] = {
        {"exact rest", 206, "bytes 800-999/1000", "\"v1\"", ResumeReply::Append},
        {"200: whole again", 200, "", "\"v1\"", ResumeReply::Whole},
        {"200 with a range", 200, "bytes 800-999/1000", "\"v1\"", ResumeReply::RangeRefused},
        {"416", 416, "bytes */1000", "\"v1\"", ResumeReply::RangeRefused},
        {"206 from another start", 206, "bytes 801-999/1000", "\"v1\"", ResumeReply::RangeRefused},
        {"206 from zero", 206, "bytes 0-999/1000", "\"v1\"", ResumeReply::RangeRefused},
        {"206 short of the end", 206, "bytes 800-998/1000", "\"v1\"", ResumeReply::RangeRefused},
        {"206 of another total", 206, "bytes 800-1999/2000", "\"v1\"", ResumeReply::RangeRefused},
        {"206 without a range", 206, "", "\"v1\"", ResumeReply::RangeRefused},
        {"206 with a star total", 206, "bytes 800-999/*", "\"v1\"", ResumeReply::RangeRefused},
        {"206 with junk after", 206, "bytes 800-999/1000x", "\"v1\"", ResumeReply::RangeRefused},
        {"206 another unit", 206, "items 800-999/1000", "\"v1\"", ResumeReply::RangeRefused},
        {"206 changed validator", 206, "bytes 800-999/1000", "\"v2\"", ResumeReply::ValidatorChanged},
        {"206 validator gone", 206, "bytes 800-999/1000", "", ResumeReply::ValidatorChanged},
        {"304", 304, "", "\"v1\"", ResumeReply::RangeRefused},
    };
    for (const Case& c : cases)
        EXPECT_EQ(judgeResumeReply(c.status, c.range, 800, 1000, v1, chooseValidator(c.replyEtag, "")),
                  c.expected)
            << c.name;
}

TEST(ResumeReply, WithoutAStoredValidatorTheRangeAloneDecides) {
    EXPECT_EQ(judgeResumeReply(206, "bytes 5-9/10", 5, 10, "", chooseValidator("\"new\"", "")),
              ResumeReply::Append);
    EXPECT_EQ(judgeResumeReply(206, "bytes 4-9/10", 5, 10, "", ""), ResumeReply::RangeRefused);
}

TEST(ResumeReply, ContentRangeNumbersThatOverflowAreRefused) {
    uint64_t first = 0, last = 0, total = 0;
    EXPECT_TRUE(parseContentRange("bytes 0-0/1", first, last, total));
    EXPECT_FALSE(parseContentRange("bytes 0-99999999999999999999/1", first, last, total));
    EXPECT_FALSE(parseContentRange("bytes 5-4/10", first, last, total));
    EXPECT_FALSE(parseContentRange("bytes 0-10/10", first, last, total));
    EXPECT_FALSE(parseContentRange("bytes -1-5/10", first, last, total));
    EXPECT_FALSE(parseContentRange("bytes 00-0/10", first, last, total)) << "one spelling per number";
    EXPECT_TRUE(parseContentRange("bytes 0-9/10", first, last, total));
}

TEST(ResumeReply, TheValidatorIsAStrongEtagElseTheDate) {
    struct Case {
        const char* etag;
        const char* date;
        const char* header;
    } cases[] = {
        {"\"abc\"", "Tue, 08 Dec 2026 10:00:00 GMT", "\"abc\""},
        {"W/\"abc\"", "Tue, 08 Dec 2026 10:00:00 GMT", "Tue, 08 Dec 2026 10:00:00 GMT"},
        {"", "Tue, 08 Dec 2026 10:00:00 GMT", "Tue, 08 Dec 2026 10:00:00 GMT"},
        {"W/\"abc\"", "", ""},
        {"", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(validatorHeaderValue(chooseValidator(c.etag, c.date)), c.header) << c.etag;
}
