#pragma once
// The temporary folder the service stages its downloads in.
//
// Where kernel32 has GetTempPath2W, a SYSTEM process gets C:\Windows\SystemTemp from it, which
// only SYSTEM and the Administrators may enter; GetTempPathW gives SYSTEM C:\Windows\Temp,
// where any user may make folders. The export is looked up at run time: older systems (and
// Wine 8) lack it and take GetTempPathW.
#include <windows.h>

#include <string>

using TempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

// The query to use: the GetTempPath2W that kernel32 exports (given as found, or null), else
// GetTempPathW.
TempPathFunction chooseTempPathFunction(FARPROC exportedTempPath2);
// chooseTempPathFunction of this system's kernel32.
TempPathFunction temporaryFolderFunction();

// The temporary folder with its trailing backslash, through query; false when the query fails
// or gives no room (GetLastError says why).
bool temporaryFolderWith(TempPathFunction query, std::wstring& folder);
// The same through temporaryFolderFunction().
bool temporaryFolder(std::wstring& folder);
