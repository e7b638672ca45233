#pragma once
// Runs a Windows program inside the test's prefix and captures its output through a file
// (never a pipe), returning the program's exact exit code.
#include <windows.h>

#include <string>

#include "support/scratch_folder.h"

namespace testsupport {

struct ProgramResult {
    bool started = false;
    DWORD exitCode = 0;
    std::string output;  // stdout and stderr, as bytes
};

inline ProgramResult runProgram(const std::wstring& commandLine,
                                const std::wstring& workingDirectory = std::wstring()) {
    ProgramResult result;
    ScratchFolder scratch;
    const std::wstring outPath = scratch / L"output.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return result;

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi = {};
    std::wstring mutableLine = commandLine;
    result.started = CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE,
                                    CREATE_NO_WINDOW, nullptr,
                                    workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
                                    &si, &pi) != 0;
    CloseHandle(out);
    if (!result.started) return result;
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &result.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    result.output = readBytes(outPath);
    return result;
}

inline std::wstring systemFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    GetSystemDirectoryW(buffer, MAX_PATH + 1);
    return buffer;
}

// Wine's (or Windows') own reg.exe: an independent reader and writer of the registry.
inline ProgramResult reg(const std::wstring& arguments) {
    return runProgram(L"\"" + systemFolder() + L"\\reg.exe\" " + arguments);
}

}  // namespace testsupport
