// The answer to a request for the rest of a file that an earlier download left cut short, judged
// from its status, its Content-Range and its validator alone: only an exact continuation of the
// bytes held is appended to them.
#pragma once

#include <QByteArray>

enum class ResumeReply {
    Append,            // a 206 whose Content-Range starts at the bytes held and ends the file
    Whole,             // a 200 without Content-Range: the whole file comes again
    StartOver,         // a 416, a 206 of another range, a Content-Range on a 200, another 2xx
    ValidatorChanged,  // a 206 from another version of the file than the bytes held
    Failed,            // any other status: the download fails as any would, the bytes held stay
};

// Reads "bytes FIRST-LAST/TOTAL" exactly (one spelling per number, no blanks, no "*" forms, and
// FIRST <= LAST < TOTAL). False for anything else.
bool parseContentRange(const QByteArray& text, qint64* first, qint64* last, qint64* total);

// `held`: the bytes on disk; `total`: the file's size in the list; `storedValidator`: the one
// the bytes held came with; `replyValidator`: chooseValidator() of this reply.
ResumeReply judgeResumeReply(int status, const QByteArray& contentRange, qint64 held, qint64 total,
                             const QByteArray& storedValidator, const QByteArray& replyValidator);

// The validator that If-Range sends back, from a reply's ETag and Last-Modified: a strong ETag
// first, else the date. Empty when there is none, for a weak ETag without a date (a weak one
// never validates a range), and for a value that could not be sent back as it is (a control
// character, or over 256 bytes).
QByteArray chooseValidator(const QByteArray& etag, const QByteArray& lastModified);
// Whether `value` can be sent back as a validator as it is: 1 to 256 printable ASCII bytes.
bool isSendableValidator(const QByteArray& value);
