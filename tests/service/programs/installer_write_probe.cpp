// Writes <bytes> bytes of verified-looking content as the installer file in the current
// directory, as the download does after verification.  installer_write_probe <bytes>
// Exit code 0 when the installer was written, 1 when the write was refused or failed.
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "download/installer_write.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const uint32_t size = static_cast<uint32_t>(_wtoi(argv[1]));
    std::unique_ptr<uint8_t[]> content(new uint8_t[size ? size : 1]);
    for (uint32_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>('N' + i % 7);
    std::wstring path;
    return writeVerifiedInstaller(content.get(), size, path) ? 0 : 1;
}
