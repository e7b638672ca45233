#pragma once
// UTF-8 <-> UTF-16 conversion at the boundary between the narrow byte strings of the
// configuration, the file manager and the manifests and the wide strings of the Windows API.
// Each name says how bad input is treated: Strict fails on it, Lenient replaces it with U+FFFD.
#include <string>

// Invalid UTF-8 fails (GetLastError tells why). An empty input gives an empty output.
bool wideFromUtf8Strict(const std::string& utf8, std::wstring& out);

// NUL-terminated UTF-8; invalid sequences become U+FFFD. False (out unchanged) only for a null
// text or when memory runs out.
bool wideFromUtf8Lenient(const char* text, std::wstring& out);

// An unpaired surrogate becomes U+FFFD. An empty input gives an empty output.
bool utf8FromWideLenient(const std::wstring& wide, std::string& out);
