// Stand-in for the desktop application under Wine: records its start in started.log beside its
// own executable ("<pid>\n") and waits until it is terminated.
//   --hold <file>    first opens <file> without sharing, as a program using it would
//   --listen <name>  serves the named pipe \\.\pipe\<name> and appends what arrives to pipe.log
#include <windows.h>

#include <string>

namespace {

std::wstring ownFolder()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L'\\') + 1);
}

void append(const std::wstring& file, const std::string& text)
{
    HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
}

[[noreturn]] void servePipe(const std::wstring& name)
{
    const std::wstring pipe = L"\\\\.\\pipe\\" + name;
    for (;;) {
        HANDLE h = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                    PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) Sleep(INFINITE);
        if (ConnectNamedPipe(h, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            char buffer[4096];
            DWORD n = 0;
            std::string got = "connection:";
            while (ReadFile(h, buffer, sizeof(buffer), &n, nullptr) && n > 0) got.append(buffer, n);
            append(ownFolder() + L"pipe.log", got + "\n");
        }
        DisconnectNamedPipe(h);
        CloseHandle(h);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    HANDLE held = INVALID_HANDLE_VALUE;
    std::wstring listen;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--hold") {
            held = CreateFileW(argv[i + 1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        } else if (option == L"--listen") {
            listen = argv[i + 1];
        }
    }
    append(ownFolder() + L"started.log", std::to_string(GetCurrentProcessId()) + "\n");
    if (!listen.empty()) servePipe(listen);
    (void)held;  // kept open until the process ends
    for (;;) Sleep(INFINITE);
}
