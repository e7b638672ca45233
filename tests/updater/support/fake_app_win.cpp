// Stand-in for the desktop application under Wine: waits until it is terminated.
#include <windows.h>

int wmain()
{
    for (;;) Sleep(INFINITE);
}
