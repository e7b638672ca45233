// The Windows process seam under wine64: real processes started from copies of a helper
// program, found through the Toolhelp snapshot by exact (case-insensitive) name and ended.
#include "platform/process_tools.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::wstring makeTempFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"updater-proc-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

struct Child {
    PROCESS_INFORMATION pi{};
    bool ok = false;
    ~Child()
    {
        if (!ok) return;
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    DWORD pid() const { return pi.dwProcessId; }
    bool running() const { return WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT; }
};

// Copies the helper to folder\name and starts it.
void start(Child& child, const std::wstring& folder, const std::wstring& name)
{
    const std::wstring path = folder + L"\\" + name;
    ASSERT_TRUE(CopyFileW(FAKE_APP_W, path.c_str(), FALSE)) << GetLastError();
    std::wstring cmd = L"\"" + path + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    child.ok = CreateProcessW(path.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &child.pi);
    ASSERT_TRUE(child.ok) << GetLastError();
}

bool has(const std::vector<procutil::ProcessId>& ids, DWORD pid)
{
    return std::find(ids.begin(), ids.end(), pid) != ids.end();
}

}  // namespace

TEST(ProcessToolsWin, NamesMatchWholeWithoutRegardToCase)
{
    EXPECT_TRUE(procutil::exeNameMatches("domvista.exe", "domvista.exe"));
    EXPECT_TRUE(procutil::exeNameMatches("DomVista.EXE", "domvista.exe"));
    EXPECT_FALSE(procutil::exeNameMatches("xdomvista.exe", "domvista.exe"));
    EXPECT_FALSE(procutil::exeNameMatches("domvista.exe.exe", "domvista.exe"));
    EXPECT_FALSE(procutil::exeNameMatches("domvista", "domvista.exe"));
    EXPECT_FALSE(procutil::exeNameMatches("", ""));
}

TEST(ProcessToolsWin, FindsAndEndsEveryDomvistaProcessAndOnlyThose)
{
    const std::wstring a = makeTempFolder(L"a"), b = makeTempFolder(L"b"), c = makeTempFolder(L"c");
    Child first, second, upper, prefixed, longer;
    start(first, a, L"domvista.exe");
    start(second, b, L"domvista.exe");
    start(upper, c, L"DomVista.EXE");
    start(prefixed, a, L"xdomvista.exe");
    start(longer, a, L"domvista.exe.exe");

    const std::vector<procutil::ProcessId> ids = procutil::findProcessesByExeName("domvista.exe");
    EXPECT_TRUE(has(ids, first.pid()));
    EXPECT_TRUE(has(ids, second.pid()));
    EXPECT_TRUE(has(ids, upper.pid()));
    EXPECT_FALSE(has(ids, prefixed.pid()));
    EXPECT_FALSE(has(ids, longer.pid()));
    EXPECT_FALSE(has(ids, GetCurrentProcessId()));

    EXPECT_TRUE(procutil::terminateProcesses(ids, 10000));
    // Gone when the call returns, not merely asked to go.
    for (const Child* gone : {&first, &second, &upper}) {
        EXPECT_FALSE(gone->running());
        DWORD code = 1;
        GetExitCodeProcess(gone->pi.hProcess, &code);
        EXPECT_EQ(0u, code);
    }
    EXPECT_TRUE(prefixed.running());
    EXPECT_TRUE(longer.running());
    EXPECT_TRUE(procutil::findProcessesByExeName("domvista.exe").empty());
}

TEST(ProcessToolsWin, TerminatingLeavesNoHandlesBehind)
{
    const std::wstring d = makeTempFolder(L"d");
    DWORD before = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &before) || before == 0) {
        GTEST_SKIP() << "GetProcessHandleCount gives no count here";
    }
    for (int i = 0; i < 3; ++i) {
        Child child;
        start(child, d, L"domvista.exe");
        DWORD withChild = 0;
        GetProcessHandleCount(GetCurrentProcess(), &withChild);
        EXPECT_TRUE(procutil::terminateProcesses(procutil::findProcessesByExeName("domvista.exe"), 10000));
        DWORD after = 0;
        GetProcessHandleCount(GetCurrentProcess(), &after);
        EXPECT_EQ(withChild, after);
    }
}

TEST(ProcessToolsWin, IdsOfEndedProcessesCountAsGone)
{
    const std::wstring e = makeTempFolder(L"e");
    DWORD pid = 0;
    {
        Child child;
        start(child, e, L"domvista.exe");
        pid = child.pid();
    }  // terminated and closed here
    EXPECT_TRUE(procutil::terminateProcesses({pid}, 1000));
    EXPECT_TRUE(procutil::terminateProcesses({}, 0));
    EXPECT_TRUE(procutil::findProcessesByExeName("no-such-program.exe").empty());
}

// The application is started by the full path in the updater's folder; a bare name would make
// Windows look in the current directory (and on PATH), where anyone may have put a program of
// that name.
TEST(ProcessToolsWin, StartsOnlyByAFullPath)
{
    const std::wstring app = makeTempFolder(L"app"), cwd = makeTempFolder(L"cwd");
    ASSERT_TRUE(CopyFileW(FAKE_APP_W, (app + L"\\domvista.exe").c_str(), FALSE)) << GetLastError();
    ASSERT_TRUE(CopyFileW(FAKE_APP_W, (cwd + L"\\domvista.exe").c_str(), FALSE)) << GetLastError();
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
    auto utf8 = [](const std::wstring& w) {
        std::string out(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr)), '\0');
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], static_cast<int>(out.size()), nullptr, nullptr);
        out.resize(out.size() - 1);
        return out;
    };
    const bool bare = procutil::startDetached("domvista.exe");
    const bool missing = procutil::startDetached(utf8(app + L"\\missing.exe"));
    const bool full = procutil::startDetached(utf8(app + L"\\domvista.exe"));
    SetCurrentDirectoryW(saved);
    EXPECT_FALSE(bare);
    EXPECT_FALSE(missing);
    EXPECT_TRUE(full);

    // Exactly one domvista.exe runs, and it is the one in the application's folder.
    const std::vector<procutil::ProcessId> ids = procutil::findProcessesByExeName("domvista.exe");
    ASSERT_EQ(1u, ids.size());
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(ids[0]));
    ASSERT_TRUE(h != nullptr);
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    EXPECT_TRUE(QueryFullProcessImageNameW(h, 0, image, &size));
    CloseHandle(h);
    EXPECT_EQ(0, CompareStringOrdinal(image, -1, (app + L"\\domvista.exe").c_str(), -1, TRUE) - CSTR_EQUAL)
        << "started " << utf8(image);
    EXPECT_TRUE(procutil::terminateProcesses(ids, 10000));
}
