#pragma once
// What a reply to one of the service's plain GET requests must be for its body to count: the
// whole object, status 200, no Content-Range. Redirects are switched off on every session, so
// a 3xx arrives here as itself and is refused like any other status; nothing else the server
// says moves a request elsewhere.
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

enum class ReplyHead {
    Whole,           // 200 without Content-Range: the body is the object
    StatusRefused,   // any other status (the detail to log is the status; 0 when unreadable)
    PartialRefused,  // a Content-Range (or a 206) in the reply to a request that asked for none
};

// The decision alone: a status and whether the reply carried a Content-Range header.
ReplyHead judgeReplyHead(DWORD status, bool hasContentRange);

// Reads the status and the Content-Range header of a request whose response headers have
// arrived, and judges them. status receives the number (0 when it could not be read).
ReplyHead readReplyHead(HINTERNET request, DWORD& status);

// Switches automatic redirects off for every request opened on the session. False (with the
// thread's last error) when WinHTTP refused: the caller must then send nothing.
bool refuseRedirects(HINTERNET session);

// The text of a response header (WINHTTP_QUERY_ETAG, ..._LAST_MODIFIED, ..._CONTENT_RANGE)
// of a request whose response headers have arrived, as ASCII. "" when the header is absent,
// longer than 1024 characters, or holds anything but printable ASCII.
std::string readHeaderText(HINTERNET request, DWORD query);

// The reply's Content-Length. False when it is absent or unreadable.
bool readContentLength(HINTERNET request, uint64_t& length);
