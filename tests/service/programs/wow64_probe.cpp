// Probe for tests: exit code 1 when this process runs under WOW64 (a 32-bit program on 64-bit
// Windows), as the service decides it at start, and 0 otherwise.
#include "platform/system_library.h"

int wmain(int, wchar_t**) {
    return runsUnderWow64() ? 1 : 0;
}
