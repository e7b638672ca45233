#include "platform/plain_file.h"

bool isPlainFileOfOneName(HANDLE file) {
    // A pipe or a device answers no file information that could be trusted: its type first.
    SetLastError(ERROR_SUCCESS);
    if (GetFileType(file) != FILE_TYPE_DISK) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    if (info.nNumberOfLinks != 1) {
        SetLastError(ERROR_TOO_MANY_LINKS);
        return false;
    }
    return true;
}
