// Finding and ending the desktop application's processes. Free of Qt so that the Windows side
// can be cross-compiled on its own and exercised under Wine.
#pragma once

#include <string>
#include <vector>

namespace procutil {

using ProcessId = unsigned long;

// True when a process's executable file name `candidate` is `wanted`: the whole name, compared
// without regard to letter case on Windows (where file names are case-insensitive) and exactly
// elsewhere. A name that merely contains `wanted` does not match. Both are UTF-8.
bool exeNameMatches(const std::string& candidate, const std::string& wanted);

// Ids of every running process (other than this one) whose executable file name matches
// `exeName` (see exeNameMatches), in the order the system lists them. Empty on failure.
//   Windows: the Toolhelp process snapshot.
//   Elsewhere: the base name of the /proc/<pid>/exe link, not the truncated command name.
std::vector<ProcessId> findProcessesByExeName(const std::string& exeName);

// Ids of every running process (other than this one) whose executable image is the file at
// `exePath` (UTF-8), compared by file identity (device and inode, volume and file id): a program
// of the same name elsewhere (another installation) is not one of them, whatever name this one
// was started by. Processes this user may not inspect are left out. Empty on failure.
//   Windows: the Toolhelp snapshot's processes of that file name, each image opened by its path.
//   Elsewhere: the /proc/<pid>/exe of each process (its image, also once moved or replaced).
std::vector<ProcessId> findProcessesByImage(const std::string& exePath);

// True when none of the listed processes runs any more (a zombie awaiting its parent counts as
// gone). Returns at once.
bool processesGone(const std::vector<ProcessId>& ids);

// Ends every listed process at once (Windows: TerminateProcess with exit code 0; elsewhere:
// SIGKILL, which no process can catch) and then waits until
// all of them are gone or `timeoutMs` has passed. Returns true when none of them runs any more.
// Processes that cannot be opened or signalled count as gone only if they no longer exist.
// Killing loses the user's unsaved work: only for what did not close when asked (askToClose).
bool terminateProcesses(const std::vector<ProcessId>& ids, unsigned timeoutMs);

// Starts the program at `fullPath` (UTF-8) detached, without arguments, in the current
// directory. The path is used as it is: a relative path or bare name is refused (returns false),
// since Windows would look for a bare name in the current directory and on PATH as well. True
// when the program was started.
bool startDetached(const std::string& fullPath);

}  // namespace procutil
