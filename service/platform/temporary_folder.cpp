// The temporary folder: GetTempPath2W where kernel32 has it, else GetTempPathW.
#include "platform/temporary_folder.h"

TempPathFunction chooseTempPathFunction(FARPROC exportedTempPath2) {
    if (exportedTempPath2)
        return reinterpret_cast<TempPathFunction>(reinterpret_cast<void*>(exportedTempPath2));
    return &GetTempPathW;
}

TempPathFunction temporaryFolderFunction() {
    static const TempPathFunction chosen = chooseTempPathFunction(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W"));
    return chosen;
}

bool temporaryFolderWith(TempPathFunction query, std::wstring& folder) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = query(MAX_PATH + 1, buffer);
    if (length == 0) return false;
    if (length > MAX_PATH) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return false;
    }
    folder.assign(buffer, length);
    if (folder.back() != L'\\') folder += L'\\';
    return true;
}

bool temporaryFolder(std::wstring& folder) {
    return temporaryFolderWith(temporaryFolderFunction(), folder);
}
