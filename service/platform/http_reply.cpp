// The status line and range of a reply, and the redirect policy of a session.
#include "platform/http_reply.h"

ReplyHead judgeReplyHead(DWORD status, bool hasContentRange) {
    if (status == HTTP_STATUS_PARTIAL_CONTENT) return ReplyHead::PartialRefused;
    if (status != HTTP_STATUS_OK) return ReplyHead::StatusRefused;
    return hasContentRange ? ReplyHead::PartialRefused : ReplyHead::Whole;
}

ReplyHead readReplyHead(HINTERNET request, DWORD& status) {
    status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX))
        status = 0;
    // Only whether the header is there matters: asked with no buffer, WinHTTP answers
    // ERROR_INSUFFICIENT_BUFFER when it is, ERROR_WINHTTP_HEADER_NOT_FOUND when not.
    DWORD rangeSize = 0;
    const BOOL gotRange = WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE,
                                              WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                                              &rangeSize, WINHTTP_NO_HEADER_INDEX);
    const bool hasRange = gotRange || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    return judgeReplyHead(status, hasRange);
}

bool refuseRedirects(HINTERNET session) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    return WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy)) !=
           FALSE;
}

std::string readHeaderText(HINTERNET request, DWORD query) {
    wchar_t buffer[1025] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return std::string();
    std::string text;
    for (DWORD i = 0; i < size / sizeof(wchar_t) && buffer[i]; ++i) {
        if (buffer[i] < 0x20 || buffer[i] > 0x7E) return std::string();
        text += static_cast<char>(buffer[i]);
    }
    return text;
}

bool readContentLength(HINTERNET request, uint64_t& length) {
    const std::string text = readHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
    if (text.empty() || text.size() > 19) return false;
    length = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        length = length * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}
