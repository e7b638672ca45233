#pragma once
// Process-wide facts written once at service start-up, before the dispatcher runs.
#include <windows.h>

#include <cstdint>

enum class OsClass : int32_t { Legacy = 1, Vista7 = 2, Win8OrLater = 3 };

// Pure classification of a version record (as GetVersionExA fills it).
OsClass classifyWindowsVersion(const OSVERSIONINFOA& info);
// Asks GetVersionExA (record size 148), stores the result in currentOsClass and returns it.
OsClass classifyWindowsVersion();

extern OsClass currentOsClass;
extern bool runningUnderWow64;
