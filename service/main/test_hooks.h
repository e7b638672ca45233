#pragma once
// Hooks that only a build made for tests contains (VEXTRA_TEST_HOOKS): the shipped program is
// built without this file, so nothing here can change its behaviour.
#ifdef VEXTRA_TEST_HOOKS

// Test-only registry key. Its DWORD values "ManifestDeadlineMs" and "PackageDeadlineMs"
// replace the overall transfer deadlines, so a test can end a trickling download in seconds.
extern const wchar_t kTestHooksKey[];  // L"SOFTWARE\\Telmora\\VextraPlayerTestHooks"

// Reads the hooks; called once by the entry point before the service dispatcher starts.
void applyTestHooks();

#endif
