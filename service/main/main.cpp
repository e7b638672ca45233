// PLACEHOLDER entry point: replaced by the foundation work.
#include <windows.h>

int wmain(int, wchar_t**) { return 0; }
