// Stand-in for the desktop application under Wine: records its start in started.log beside its
// own executable ("<pid>\n") and runs a visible top-level window until it is closed or terminated.
//   WM_CLOSE (a request to close): records "<pid>\n" in closed.log and exits with 0, as an
//     application that saves its work and closes would.
//   --ignore-close   records each WM_CLOSE in asked.log instead and runs on; only
//                    TerminateProcess ends it then
//   --hold <file>    first opens <file> without sharing, as a program using it would
//   --listen <name>  serves the named pipe \\.\pipe\<name> and appends what arrives to pipe.log
// Where no window can be made, it waits until it is terminated.
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

bool g_ignoreClose = false;

std::string pidLine()
{
    return std::to_string(GetCurrentProcessId()) + "\n";
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == WM_CLOSE) {
        append(ownFolder() + (g_ignoreClose ? L"asked.log" : L"closed.log"), pidLine());
        if (!g_ignoreClose) DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

// The application's main window; null where none can be made.
HWND makeWindow()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"DomvistaStandIn";
    if (!RegisterClassW(&windowClass)) return nullptr;
    HWND window = CreateWindowExW(0, L"DomvistaStandIn", L"Domvista", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  320, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window) ShowWindow(window, SW_SHOWNOACTIVATE);
    return window;
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

DWORD WINAPI servePipeThread(LPVOID name)
{
    servePipe(*static_cast<const std::wstring*>(name));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    HANDLE held = INVALID_HANDLE_VALUE;
    static std::wstring listen;  // read by the pipe's thread for the life of the process
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--ignore-close") {
            g_ignoreClose = true;
        } else if (option == L"--hold" && i + 1 < argc) {
            held = CreateFileW(argv[++i], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        } else if (option == L"--listen" && i + 1 < argc) {
            listen = argv[++i];
        }
    }
    (void)held;  // kept open until the process ends
    HWND window = makeWindow();
    append(ownFolder() + L"started.log", pidLine());
    if (!listen.empty()) {
        CreateThread(nullptr, 0, servePipeThread, &listen, 0, nullptr);
    }
    if (!window) {
        for (;;) Sleep(INFINITE);
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
