#pragma once
// Folders, and the files in them, reached through handles: a folder is opened without following
// a link at its last step and checked on that handle; what is inside is opened, deleted and
// renamed relative to the handle. A path is looked up once, at the open; nothing that someone
// changes in the folder above afterwards redirects what the handle reaches.
#include <windows.h>

#include <string>

#include "platform/file_handle.h"

// What a folder (or a file) opened by handle turned out to be.
enum class HandleCheck {
    Usable,        // what was asked for, named where it was asked for, owned as required
    Missing,       // nothing of that name
    WrongKind,     // a file where a folder was asked for, or a folder where a file was
    ReparsePoint,  // a link, junction or other reparse point
    ForeignOwner,  // owned by another account than SYSTEM, the Administrators or this process
    Elsewhere,     // the handle reaches another place than the name it was opened by
    Failed,        // the open or a query failed (GetLastError says why)
};

// True when sid is SYSTEM, the Administrators group or the account this process runs as.
bool isTrustedOwner(PSID sid);

// The object's final path as the system resolves the handle ("\\?\C:\..."), empty when it
// cannot tell (Windows XP has no such query). Two handles naming one place give equal paths;
// a handle opened through a link gives its target's.
std::wstring finalPathOf(HANDLE handle);

// Opens the folder at path (no trailing backslash) with FILE_FLAG_BACKUP_SEMANTICS and
// FILE_FLAG_OPEN_REPARSE_POINT, for listing, making files in it, renaming and deleting it;
// other opens may read and write, none may rename or delete it while it is held. The handle is
// checked: a folder, no reparse point, owned by a trusted owner (isTrustedOwner), and, where
// the system can tell, reaching path itself (its final path equal to that of the folder above
// with its name). folder receives the handle only when the result is Usable.
HandleCheck openCheckedFolder(const std::wstring& path, FileHandle& folder);

// Opens name inside the folder held by parent, relative to that handle (NtCreateFile with a
// root directory), never following a link at the name. disposition is FILE_OPEN, FILE_CREATE
// or FILE_OPEN_IF; directory chooses a folder or a plain file. The result is checked as
// openCheckedFolder checks a folder (a file also must have one name only: no second hard
// link); access gets SYNCHRONIZE, FILE_READ_ATTRIBUTES and READ_CONTROL added. file receives
// the handle only when the result is Usable; GetLastError holds the system's answer otherwise.
HandleCheck openInFolder(HANDLE parent, const std::wstring& name, ACCESS_MASK access,
                         ULONG share, ULONG disposition, bool directory, FileHandle& file);

// Marks what the handle holds (opened with DELETE) for deletion; it goes when the last handle
// to it closes. A folder must be empty. False with GetLastError on failure.
bool deleteByHandle(HANDLE handle);

// Moves what the handle holds (opened with DELETE) into the folder held by target, under
// name, never replacing anything there. False with GetLastError on failure.
bool renameByHandle(HANDLE handle, HANDLE target, const std::wstring& name);

// Deletes the plain file name inside the folder held by parent, through a handle opened
// relative to it. Missing when there was none; anything but a plain file of one name there is
// left as it is.
HandleCheck deleteFileInFolder(HANDLE parent, const std::wstring& name);
