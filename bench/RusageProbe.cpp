// Preloaded into the app (LD_PRELOAD) by the running-app benchmark, so that the
// benchmark reads the app's own count of context switches: those of every thread, the
// ended ones' included, both voluntary and forced, as getrusage(RUSAGE_SELF) sums them.
// (The per-thread counts under /proc/<pid>/task lose a thread's switches once it ends.)
//
// On SIGUSR2 the process appends "<voluntary> <involuntary>\n" to the file that
// VELMORA_RUSAGE_FILE names. It starts no thread and no timer: it wakes the app only
// when asked, once per reading.
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int output = -1;

// Writes `value` in decimal so that it ends just before `end`; returns where it starts.
// (A signal handler may not call the formatting functions of the C library.)
char* decimal(char* end, long value) {
    char* at = end;
    do {
        *--at = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && at > end - 20);
    return at;
}

void report(int) {
    const int saved = errno;
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        char line[48];
        char* end = line + sizeof line;
        *--end = '\n';
        char* start = decimal(end, usage.ru_nivcsw);
        *--start = ' ';
        start = decimal(start, usage.ru_nvcsw);
        [[maybe_unused]] const ssize_t written =
            write(output, start, static_cast<size_t>(line + sizeof line - start));
    }
    errno = saved;
}

[[gnu::constructor]] void install() {
    const char* path = std::getenv("VELMORA_RUSAGE_FILE");
    if (!path || !*path) {
        return;
    }
    output = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (output < 0) {
        return;
    }
    // Programs the app starts do not answer for it.
    unsetenv("VELMORA_RUSAGE_FILE");
    struct sigaction action {};
    action.sa_handler = report;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &action, nullptr);
}

} // namespace
