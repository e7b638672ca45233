// SHA-256 of a file through CryptoHelper::fileDigest.
//   digest_probe <file> <result-out> [repeat] [native]
// Writes key=value lines: ok, digest, code, lastError, seconds (per digest).
// Exit code 0 when the digest was computed, 1 when not, 2 on usage.
#include <windows.h>

#include <cstdio>
#include <string>

#include "verify/crypto_helper.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const int repeat = argc > 3 ? _wtoi(argv[3]) : 1;
    const bool native = argc > 4 && std::wstring(argv[4]) == L"native";
    char hex[65] = {};
    uint32_t code = 0, lastError = 0;
    bool ok = false;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < (repeat > 0 ? repeat : 1); ++i) {
        CryptoHelper helper;  // one helper per digest, as the patch selection uses it
        ok = helper.fileDigest(argv[1], hex, code, lastError, native);
    }
    QueryPerformanceCounter(&end);
    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart) /
                           (repeat > 0 ? repeat : 1);
    FILE* out = _wfopen(argv[2], L"wb");
    if (!out) return 2;
    std::fprintf(out, "ok=%d\ndigest=%s\ncode=%u\nlastError=%u\nseconds=%.6f\n", ok ? 1 : 0, hex,
                 code, lastError, seconds);
    std::fclose(out);
    return ok ? 0 : 1;
}
