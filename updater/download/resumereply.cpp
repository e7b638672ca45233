#include "download/resumereply.h"

namespace {

// Decimal digits at text[*pos...] without a leading zero (but "0" itself), at most 18 of them so
// that no value overflows.
bool readNumber(const QByteArray& text, int* pos, qint64* value)
{
    const int start = *pos;
    qint64 v = 0;
    while (*pos < text.size() && text.at(*pos) >= '0' && text.at(*pos) <= '9') {
        if (*pos - start == 18) return false;
        v = v * 10 + (text.at(*pos) - '0');
        ++*pos;
    }
    if (*pos == start || (*pos - start > 1 && text.at(start) == '0')) return false;
    *value = v;
    return true;
}

}  // namespace

bool isSendableValidator(const QByteArray& value)
{
    if (value.isEmpty() || value.size() > 256) return false;
    for (char c : value) {
        if (uchar(c) < 0x20 || uchar(c) > 0x7e) return false;
    }
    return true;
}

bool parseContentRange(const QByteArray& text, qint64* first, qint64* last, qint64* total)
{
    static const QByteArray unit("bytes ");
    if (!text.startsWith(unit)) return false;
    int pos = unit.size();
    qint64 f = 0, l = 0, t = 0;
    if (!readNumber(text, &pos, &f) || pos >= text.size() || text.at(pos++) != '-') return false;
    if (!readNumber(text, &pos, &l) || pos >= text.size() || text.at(pos++) != '/') return false;
    if (!readNumber(text, &pos, &t) || pos != text.size() || f > l || l >= t) return false;
    *first = f;
    *last = l;
    *total = t;
    return true;
}

ResumeReply judgeResumeReply(int status, const QByteArray& contentRange, qint64 held, qint64 total,
                             const QByteArray& storedValidator, const QByteArray& replyValidator)
{
    if (status == 200) return contentRange.isEmpty() ? ResumeReply::Whole : ResumeReply::StartOver;
    if (status == 416 || (status >= 200 && status <= 299 && status != 206)) return ResumeReply::StartOver;
    if (status != 206) return ResumeReply::Failed;
    qint64 first = 0, last = 0, length = 0;
    if (!parseContentRange(contentRange, &first, &last, &length)) return ResumeReply::StartOver;
    if (first != held || length != total || last + 1 != total) return ResumeReply::StartOver;
    // The bytes held and the rest must be of one version of the file: a server that ignored
    // If-Range shows it by the validator it gives now.
    if (replyValidator != storedValidator) return ResumeReply::ValidatorChanged;
    return ResumeReply::Append;
}

QByteArray chooseValidator(const QByteArray& etag, const QByteArray& lastModified)
{
    const QByteArray tag = etag.trimmed();
    if (!tag.startsWith("W/") && isSendableValidator(tag)) return tag;
    const QByteArray date = lastModified.trimmed();
    return isSendableValidator(date) ? date : QByteArray();
}
