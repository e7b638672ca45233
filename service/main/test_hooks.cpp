// Compiled only into the test build of the service (VEXTRA_TEST_HOOKS).
#include "main/test_hooks.h"

#ifdef VEXTRA_TEST_HOOKS

#include <windows.h>

#include "platform/transfer_control.h"

const wchar_t kTestHooksKey[] = L"SOFTWARE\\Telmora\\VextraPlayerTestHooks";

namespace {

void readMilliseconds(HKEY key, const wchar_t* name, uint32_t& value) {
    DWORD data = 0;
    DWORD type = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(data))
        value = data;
}

}  // namespace

void applyTestHooks() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestHooksKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    readMilliseconds(key, L"ManifestDeadlineMs", transferDeadlines().manifestMs);
    readMilliseconds(key, L"PackageDeadlineMs", transferDeadlines().packageMs);
    RegCloseKey(key);
}

#endif
