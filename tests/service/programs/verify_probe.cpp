// Verifies a signed package with the embedded certificate authority and writes the extracted
// content.  verify_probe <package> <content-out> [repeat]
// Writes "<content-out>.info" (key=value lines): the result, the content size, where crypt32
// came from, the time per verification, the process's peak working set, and for a refusal its
// message code and detail.
// Exit code 0 when verified, 1 when not, 2 on usage.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "verify/crypto_helper.h"

namespace {

bool readFile(const wchar_t* path, std::vector<uint8_t>& bytes) {
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    GetFileSizeEx(h, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(h, bytes.data() + done, want, &got, nullptr) || got == 0) break;
        done += got;
    }
    CloseHandle(h);
    return done == bytes.size();
}

std::string moduleFile(const wchar_t* name) {
    HMODULE m = GetModuleHandleW(name);
    if (!m) return "not loaded";
    char buffer[MAX_PATH] = {};
    GetModuleFileNameA(m, buffer, MAX_PATH);
    return buffer;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const int repeat = argc > 3 ? _wtoi(argv[3]) : 1;
    const bool crypt32Before = GetModuleHandleW(L"crypt32.dll") != nullptr;
    std::vector<uint8_t> package;
    if (!readFile(argv[1], package)) return 2;

    CryptoHelper helper;
    std::unique_ptr<uint8_t[]> content;
    uint32_t contentSize = 0;
    bool ok = false;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < (repeat > 0 ? repeat : 1); ++i)
        ok = helper.verifySignedMessage(package.data(), static_cast<uint32_t>(package.size()),
                                        content, contentSize);
    QueryPerformanceCounter(&end);
    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart) /
                           (repeat > 0 ? repeat : 1);

    if (ok) {
        HANDLE h = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 2;
        DWORD written = 0;
        WriteFile(h, content.get(), contentSize, &written, nullptr);
        CloseHandle(h);
    }
    const std::wstring infoPath = std::wstring(argv[2]) + L".info";
    FILE* info = _wfopen(infoPath.c_str(), L"wb");
    if (!info) return 2;
    std::fprintf(info, "verified=%d\n", ok ? 1 : 0);
    std::fprintf(info, "contentSize=%u\n", contentSize);
    std::fprintf(info, "contentBuffer=%d\n", content ? 1 : 0);
    std::fprintf(info, "crypt32Before=%d\n", crypt32Before ? 1 : 0);
    std::fprintf(info, "crypt32=%s\n", moduleFile(L"crypt32.dll").c_str());
    std::fprintf(info, "seconds=%.6f\n", seconds);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory)))
        std::fprintf(info, "peakWorkingSetBytes=%llu\n",
                     static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    if (!ok) {
        std::fprintf(info, "failureCode=%d\n", static_cast<int>(helper.lastFailure().code));
        std::fprintf(info, "failureDetail=%d\n", static_cast<int>(helper.lastFailure().detail));
    }
    std::fclose(info);
    return ok ? 0 : 1;
}
