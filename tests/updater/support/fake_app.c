/* Stand-in for the desktop application in tests: records its start in started.log beside its
 * own executable ("<pid>\n") and then waits until it is killed. */
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n > 0) {
        exe[n] = '\0';
        char* slash = strrchr(exe, '/');
        if (slash) {
            strcpy(slash + 1, "started.log");
            FILE* f = fopen(exe, "a");
            if (f) {
                fprintf(f, "%ld\n", (long)getpid());
                fclose(f);
            }
        }
    }
    for (;;) pause();
    return 0;
}
