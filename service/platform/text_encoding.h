#pragma once
// UTF-8 <-> UTF-16 conversion at the boundary between the narrow byte strings of the
// configuration and file manager and the wide strings of the Windows API.
#include <string>

// Strict: invalid UTF-8 fails (GetLastError tells why). An empty input gives an empty output.
bool wideFromUtf8(const std::string& utf8, std::wstring& out);
bool utf8FromWide(const std::wstring& wide, std::string& out);
