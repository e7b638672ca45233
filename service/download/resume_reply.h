#pragma once
// The answer to a request for the rest of a partly downloaded package, judged from its status,
// its Content-Range and its validator alone: only an exact continuation is appended.
#include <cstdint>
#include <string>

enum class ResumeReply {
    Append,             // 206 whose Content-Range starts at the bytes held and ends the package
    Whole,              // 200 without Content-Range: the server sent the whole package again
    RangeRefused,       // any other answer: another range, a 416, a 206 without range, ...
    ValidatorChanged,   // a 206 whose validator differs from the one the partial file came with
};

// Reads "bytes FIRST-LAST/TOTAL" (no "*" forms). False for anything else.
bool parseContentRange(const std::string& text, uint64_t& first, uint64_t& last, uint64_t& total);

// status: the reply's status; contentRange: its Content-Range header ("" when absent);
// held: the bytes already on disk; total: the package's size bound by the manifest;
// storedValidator: the validator the partial file came with ("" when it came with none);
// replyValidator: the same kind of validator in this reply ("" when absent).
ResumeReply judgeResumeReply(uint32_t status, const std::string& contentRange, uint64_t held,
                             uint64_t total, const std::string& storedValidator,
                             const std::string& replyValidator);

// The validator to send back in If-Range, from a reply's ETag and Last-Modified: a strong ETag
// ("E" + the tag) first, else the Last-Modified date ("L" + the date), else "". A weak ETag
// never validates a range.
std::string chooseValidator(const std::string& etag, const std::string& lastModified);
// The header value of a validator chosen above ("" stays "").
std::string validatorHeaderValue(const std::string& validator);
