// Linux side of the process seam: a scan of /proc by executable name, SIGKILL, bounded wait.
#include "platform/process_tools.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

namespace procutil {
namespace {

// The executable's file name from the /proc/<pid>/exe link ("" when unreadable, for example a
// process of another user). A replaced or deleted executable shows as "<path> (deleted)".
std::string exeBaseName(const std::string& pid)
{
    std::string link = "/proc/" + pid + "/exe";
    std::string target(4096, '\0');
    ssize_t n = readlink(link.c_str(), &target[0], target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return std::string();
    target.resize(static_cast<size_t>(n));
    static const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() &&
        target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0) {
        target.resize(target.size() - deleted.size());
    }
    size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

bool isNumber(const char* s)
{
    if (!*s) return false;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

// A process counts as gone once it no longer exists or is a zombie waiting for its parent.
bool processGone(ProcessId id)
{
    if (kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(id) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() &&
           (line[close + 2] == 'Z' || line[close + 2] == 'X');
}

}  // namespace

bool exeNameMatches(const std::string& candidate, const std::string& wanted)
{
    return !wanted.empty() && candidate == wanted;
}

std::vector<ProcessId> findProcessesByExeName(const std::string& exeName)
{
    std::vector<ProcessId> ids;
    DIR* proc = opendir("/proc");
    if (!proc) return ids;
    const ProcessId self = static_cast<ProcessId>(getpid());
    while (dirent* e = readdir(proc)) {
        if (!isNumber(e->d_name)) continue;
        ProcessId id = std::strtoul(e->d_name, nullptr, 10);
        if (id == self) continue;
        if (exeNameMatches(exeBaseName(e->d_name), exeName)) ids.push_back(id);
    }
    closedir(proc);
    return ids;
}

std::vector<ProcessId> findProcessesByImage(const std::string& exePath)
{
    std::vector<ProcessId> ids;
    // The application itself, never what a link in its place leads to (an unrelated program).
    struct stat image;
    if (lstat(exePath.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return ids;
    const size_t slash = exePath.rfind('/');
    const std::string name = slash == std::string::npos ? exePath : exePath.substr(slash + 1);
    DIR* proc = opendir("/proc");
    if (!proc) return ids;
    const ProcessId self = static_cast<ProcessId>(getpid());
    while (dirent* e = readdir(proc)) {
        if (!isNumber(e->d_name)) continue;
        const ProcessId id = std::strtoul(e->d_name, nullptr, 10);
        struct stat running;
        // /proc/<pid>/exe reaches the image itself, also when its name has gone.
        const std::string exe = std::string("/proc/") + e->d_name + "/exe";
        if (id == self || stat(exe.c_str(), &running) != 0) continue;
        // The same file, started by the application's name: a second name of the file (a hard
        // link to a program elsewhere) does not make that program's processes this folder's.
        if (running.st_dev == image.st_dev && running.st_ino == image.st_ino && exeBaseName(e->d_name) == name) ids.push_back(id);
    }
    closedir(proc);
    return ids;
}

bool processesGone(const std::vector<ProcessId>& ids)
{
    for (ProcessId id : ids) {
        if (id != 0 && !processGone(id)) return false;
    }
    return true;
}

bool terminateProcesses(const std::vector<ProcessId>& ids, unsigned timeoutMs)
{
    for (ProcessId id : ids) {
        if (id != 0) kill(static_cast<pid_t>(id), SIGKILL);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (processesGone(ids)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool startDetached(const std::string& fullPath)
{
    if (fullPath.empty() || fullPath[0] != '/') return false;
    // A pipe that closes on exec tells whether the program started; the middle child leaves
    // the session and exits at once, so the program is nobody's child here.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t middle = fork();
    if (middle < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (middle == 0) {
        setsid();
        if (fork() == 0) {
            char* const argv[] = {const_cast<char*>(fullPath.c_str()), nullptr};
            execv(fullPath.c_str(), argv);
            const char failed = 1;
            ssize_t ignored = write(report[1], &failed, 1);
            (void)ignored;
        }
        _exit(0);
    }
    close(report[1]);
    int status = 0;
    waitpid(middle, &status, 0);
    char failed = 0;
    const bool started = read(report[0], &failed, 1) == 0;
    close(report[0]);
    return started;
}

}  // namespace procutil
