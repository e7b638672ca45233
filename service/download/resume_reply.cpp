// The resume reply's judgement and the validator it is judged by.
#include "download/resume_reply.h"

namespace {

// Reads decimal digits at text[pos...]; false when there are none, when there is a leading
// zero (one spelling per number), or when the value overflows.
bool readNumber(const std::string& text, size_t& pos, uint64_t& value) {
    const size_t start = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        const uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
        ++pos;
    }
    if (pos - start > 1 && text[start] == '0') return false;
    return pos > start && pos - start <= 19;
}

}  // namespace

bool parseContentRange(const std::string& text, uint64_t& first, uint64_t& last,
                       uint64_t& total) {
    static const char kUnit[] = "bytes ";
    if (text.compare(0, sizeof(kUnit) - 1, kUnit) != 0) return false;
    size_t pos = sizeof(kUnit) - 1;
    if (!readNumber(text, pos, first)) return false;
    if (pos >= text.size() || text[pos++] != '-') return false;
    if (!readNumber(text, pos, last)) return false;
    if (pos >= text.size() || text[pos++] != '/') return false;
    if (!readNumber(text, pos, total)) return false;
    return pos == text.size() && first <= last && last < total;
}

ResumeReply judgeResumeReply(uint32_t status, const std::string& contentRange, uint64_t held,
                             uint64_t total, const std::string& storedValidator,
                             const std::string& replyValidator) {
    if (status == 200) return contentRange.empty() ? ResumeReply::Whole : ResumeReply::RangeRefused;
    if (status != 206) return ResumeReply::RangeRefused;
    uint64_t first = 0, last = 0, length = 0;
    if (!parseContentRange(contentRange, first, last, length)) return ResumeReply::RangeRefused;
    if (first != held || length != total || last + 1 != total) return ResumeReply::RangeRefused;
    // The partial file and the rest must be of one version of the object: a validator the
    // server gives now must be the one it gave then.
    if (!storedValidator.empty() && replyValidator != storedValidator)
        return ResumeReply::ValidatorChanged;
    return ResumeReply::Append;
}

std::string chooseValidator(const std::string& etag, const std::string& lastModified) {
    if (!etag.empty() && etag.compare(0, 2, "W/") != 0) return "E" + etag;
    if (!lastModified.empty()) return "L" + lastModified;
    return std::string();
}

std::string validatorHeaderValue(const std::string& validator) {
    return validator.empty() ? validator : validator.substr(1);
}
