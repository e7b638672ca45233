// The lenient UTF-8 reading, by hand rather than through the system's converter, so that the
// manifest parsers that use it build on any platform.
#include "platform/text_encoding.h"

#include <cstdint>
#include <new>

namespace {

void appendUnit(std::wstring& out, uint32_t codePoint) {
    if (codePoint < 0x10000) {
        out += static_cast<wchar_t>(codePoint);
    } else {
        codePoint -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
        out += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
    }
}

}  // namespace

bool wideFromUtf8Lenient(const char* text, std::wstring& out) {
    if (!text) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    try {
        std::wstring wide;
        while (*p) {
            const unsigned char lead = *p;
            if (lead < 0x80) {
                wide += static_cast<wchar_t>(lead);
                ++p;
                continue;
            }
            // Length and the range of the second byte (which excludes overlong forms,
            // surrogates and code points above U+10FFFF).
            int length = 0;
            unsigned char low = 0x80, high = 0xBF;
            if (lead >= 0xC2 && lead <= 0xDF) length = 2;
            else if (lead == 0xE0) { length = 3; low = 0xA0; }
            else if (lead == 0xED) { length = 3; high = 0x9F; }
            else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
            else if (lead == 0xF0) { length = 4; low = 0x90; }
            else if (lead == 0xF4) { length = 4; high = 0x8F; }
            else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
            uint32_t codePoint = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
            int taken = 1;
            for (; length && taken < length; ++taken) {
                const unsigned char next = p[taken];
                if (next < (taken == 1 ? low : 0x80) || next > (taken == 1 ? high : 0xBF)) break;
                codePoint = (codePoint << 6) | (next & 0x3F);
            }
            // An invalid sequence becomes one U+FFFD for its longest valid beginning.
            if (!length || taken < length) appendUnit(wide, 0xFFFD);
            else appendUnit(wide, codePoint);
            p += taken;
        }
        out.swap(wide);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
