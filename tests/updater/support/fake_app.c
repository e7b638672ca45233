/* Stand-in for the desktop application in tests: records its start in started.log beside its
 * own executable ("<pid>\n") and then runs until it is closed or killed.
 *   SIGTERM (a request to close): records "<pid>\n" in closed.log and exits with 0, as an
 *     application that saves its work and closes would.
 *   --ignore-close: records each SIGTERM in asked.log instead and runs on, as an application
 *     that does not close when asked; only SIGKILL ends it then. */
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static char closed_log[PATH_MAX];
static char asked_log[PATH_MAX];
static int ignore_close;

/* Async-signal-safe: the line is made before, and written with open and write only. */
static char pid_line[32];

static void record(const char* file)
{
    int fd = open(file, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ssize_t ignored = write(fd, pid_line, strlen(pid_line));
    (void)ignored;
    close(fd);
}

static void on_term(int sig)
{
    (void)sig;
    if (ignore_close) {
        record(asked_log);
        return;
    }
    record(closed_log);
    _exit(0);
}

static void beside_self(const char* exe, const char* name, char* out)
{
    strcpy(out, exe);
    char* slash = strrchr(out, '/');
    if (slash) strcpy(slash + 1, name);
}

int main(int argc, char** argv)
{
    ignore_close = argc > 1 && strcmp(argv[1], "--ignore-close") == 0;
    snprintf(pid_line, sizeof(pid_line), "%ld\n", (long)getpid());
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n > 0) {
        exe[n] = '\0';
        char started[PATH_MAX];
        beside_self(exe, "closed.log", closed_log);
        beside_self(exe, "asked.log", asked_log);
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = on_term;
        sigaction(SIGTERM, &action, NULL);
        beside_self(exe, "started.log", started);
        record(started);
    }
    for (;;) pause();
    return 0;
}
