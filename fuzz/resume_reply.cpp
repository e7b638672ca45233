// The answer to a request for the rest of a package: a Content-Range is read only in its one
// exact form, and only an exact continuation of the part held is ever appended.
#include <string>

#include "download/resume_reply.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Pieces: the Content-Range, the stored validator's ETag, the reply's ETag.
    const std::vector<std::string> pieces = splitInput(data, size, 3);
    const std::string& range = pieces[0];
    uint64_t first = 0, last = 0, total = 0;
    if (parseContentRange(range, first, last, total)) {
        // What was read is what was written: the canonical form, numbers in order.
        FUZZ_ASSERT(first <= last && last < total);
        FUZZ_ASSERT(range == "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                 std::to_string(total));
    }
    const std::string stored = chooseValidator(pieces.size() > 1 ? pieces[1] : "", "");
    const std::string reply = chooseValidator(pieces.size() > 2 ? pieces[2] : "", "");
    const uint64_t held = size, whole = size * 3 + 1;
    for (uint32_t status : {200u, 206u, 416u}) {
        const ResumeReply verdict = judgeResumeReply(status, range, held, whole, stored, reply);
        if (verdict == ResumeReply::Append) {
            FUZZ_ASSERT(status == 206);
            FUZZ_ASSERT(range == "bytes " + std::to_string(held) + "-" + std::to_string(whole - 1) +
                                     "/" + std::to_string(whole));
            FUZZ_ASSERT(stored.empty() || stored == reply);
        }
        if (verdict == ResumeReply::Whole) FUZZ_ASSERT(status == 200 && range.empty());
    }
    // A validator never carries a weak ETag, and what goes back in If-Range is what was given.
    const std::string header = validatorHeaderValue(stored);
    if (!stored.empty()) FUZZ_ASSERT(header == pieces[1] && header.compare(0, 2, "W/") != 0);
    return 0;
}
