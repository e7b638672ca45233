// Runs one program for the end-to-end harness and records what became of it, so that the
// harness can tell "never started" (safe to try again) from "started and ended with this code".
// Wine's cmd, used for this before, answered 9009 now and then on a loaded machine for a
// program that was there, and once ended without writing the code at all.
//
// Usage: vextra_run <request file> <result file>
//   request (UTF-8, one item a line): the command line exactly as a prompt would pass it, then
//   the working directory (an empty line keeps this process's own).
//   result: "launched <pid>" once the program runs, then "exit <signed 32-bit code>";
//   or "failed <error of CreateProcessW>" when it could not be started.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

bool readLines(const wchar_t* path, std::string& first, std::string& second) {
    FILE* in = _wfopen(path, L"rb");
    if (!in) return false;
    std::string bytes;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), in)) > 0) bytes.append(buffer, n);
    fclose(in);
    size_t end = bytes.find('\n');
    if (end == std::string::npos) return false;
    first = bytes.substr(0, end);
    size_t secondEnd = bytes.find('\n', end + 1);
    second = bytes.substr(end + 1, secondEnd == std::string::npos ? std::string::npos
                                                                  : secondEnd - end - 1);
    return true;
}

void record(FILE* out, const char* format, long value) {
    fprintf(out, format, value);
    fflush(out);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    std::string commandLine, workingDirectory;
    if (!readLines(argv[1], commandLine, workingDirectory)) return 3;
    FILE* out = _wfopen(argv[2], L"w");
    if (!out) return 4;

    std::wstring line = wide(commandLine);
    std::wstring cwd = wide(workingDirectory);
    PROCESS_INFORMATION process = {};
    DWORD error = 0;
    // A start that fails is tried again a few times: nothing has run yet, so that is sound.
    for (int attempt = 0; attempt < 5; ++attempt) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring buffer = line;  // CreateProcessW may write into the command line
        if (CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, TRUE, 0, nullptr,
                           cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
            error = 0;
            break;
        }
        error = GetLastError();
        Sleep(200 * (attempt + 1));
    }
    if (error != 0) {
        record(out, "failed %ld\n", static_cast<long>(error));
        fclose(out);
        return 5;
    }
    record(out, "launched %ld\n", static_cast<long>(process.dwProcessId));
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    record(out, "exit %ld\n", static_cast<long>(static_cast<LONG>(code)));
    fclose(out);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
