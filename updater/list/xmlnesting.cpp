#include "list/xmlnesting.h"

#include <QtGlobal>

int xmlNestingDepth(const QByteArray& xml, int limit)
{
    int depth = 0;
    int deepest = 0;
    const int n = xml.size();
    const char* s = xml.constData();
    auto skipPast = [&](int from, const char* end) {
        const int at = xml.indexOf(end, from);
        return at < 0 ? n : at + int(qstrlen(end));
    };
    for (int i = 0; i < n;) {
        if (s[i] != '<') {
            ++i;
            continue;
        }
        if (xml.mid(i, 4) == "<!--") { i = skipPast(i + 4, "-->"); continue; }
        if (xml.mid(i, 9) == "<![CDATA[") { i = skipPast(i + 9, "]]>"); continue; }
        if (i + 1 < n && (s[i + 1] == '?' || s[i + 1] == '!')) { i = skipPast(i + 2, ">"); continue; }
        const bool closing = i + 1 < n && s[i + 1] == '/';
        // Find the end of the tag, stepping over quoted attribute values.
        int j = i + 1;
        char quote = 0;
        for (; j < n; ++j) {
            if (quote) {
                if (s[j] == quote) quote = 0;
            } else if (s[j] == '"' || s[j] == '\'') {
                quote = s[j];
            } else if (s[j] == '>') {
                break;
            }
        }
        const bool selfClosing = j < n && j > i + 1 && s[j - 1] == '/';
        if (closing) {
            if (depth > 0) --depth;
        } else if (!selfClosing) {
            ++depth;
            if (depth > deepest) deepest = depth;
            if (deepest > limit) return limit + 1;
        } else if (depth + 1 > deepest) {
            deepest = depth + 1;
            if (deepest > limit) return limit + 1;
        }
        i = j + 1;
    }
    return deepest;
}
