// Preloaded into the app (LD_PRELOAD) by the running-app benchmark, so that the
// benchmark reads the app's own count of context switches: those of every thread, the
// ended ones' included, both voluntary and forced, as getrusage(RUSAGE_SELF) sums them.
// (The per-thread counts under /proc/<pid>/task lose a thread's switches once it ends.)
//
// On SIGUSR2 the process puts "<reading> <voluntary> <involuntary>\n" at the start of
// the file that VELMORA_RUSAGE_FILE names, through a shared mapping of it made at
// start, so that a reading makes no system call but getrusage: a write to the file
// could wait for the disk, and that wait would be one more switch in the next reading.
// It starts no thread and no timer: it wakes the app only when asked, once per reading.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr size_t reportSize = 96;
char* report = nullptr;
long readings = 0;

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

void publish(int) {
    const int saved = errno;
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        char line[80];
        char* end = line + sizeof line;
        *--end = '\n';
        char* start = decimal(end, usage.ru_nivcsw);
        *--start = ' ';
        start = decimal(start, usage.ru_nvcsw);
        *--start = ' ';
        start = decimal(start, ++readings);
        const size_t length = static_cast<size_t>(line + sizeof line - start);
        std::memset(report, ' ', reportSize);
        std::memcpy(report, start, length);
    }
    errno = saved;
}

[[gnu::constructor]] void install() {
    const char* path = std::getenv("VELMORA_RUSAGE_FILE");
    if (!path || !*path) {
        return;
    }
    const int file = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0) {
        return;
    }
    void* mapped = MAP_FAILED;
    if (ftruncate(file, reportSize) == 0) {
        mapped = mmap(nullptr, reportSize, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    }
    close(file);
    if (mapped == MAP_FAILED) {
        return;
    }
    report = static_cast<char*>(mapped);
    // Touched now, so that no reading waits for the page to come in.
    std::memset(report, ' ', reportSize);
    // Programs the app starts do not answer for it.
    unsetenv("VELMORA_RUSAGE_FILE");
    struct sigaction action {};
    action.sa_handler = publish;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &action, nullptr);
}

} // namespace
