#pragma once
// The one check every file the service reads by path gets once it is open: the open must not
// have followed a link at the name (FILE_FLAG_OPEN_REPARSE_POINT, kPlainFileOpenFlags), and the
// handle must reach a plain file on a disk that has this one name. A pipe, a device, a folder,
// a link or a second hard link (a name somebody else may have chosen, elsewhere) is refused.
#include <windows.h>

// Flags for CreateFileW that open a link itself instead of what it points to.
constexpr DWORD kPlainFileOpenFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

// True for a plain disk file of one name. False otherwise, with GetLastError set:
// ERROR_TOO_MANY_LINKS for a file with a second name, ERROR_CANT_ACCESS_FILE for anything that
// is no plain file (a link, folder, pipe or device), or the error of the failed query.
bool isPlainFileOfOneName(HANDLE file);
