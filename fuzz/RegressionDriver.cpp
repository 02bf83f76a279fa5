// Feeds every file under the folders (or the files) named on the command line to the fuzz
// target linked in, one after another, in a stable order. A crash ends the program as it
// would end the fuzzer; finishing means every input was handled.
//
// An input kept because it once ran too long (its name starts with "timeout-") runs under
// a limit of its own, `--input-seconds=N` of CPU time (as the fuzzer's -timeout counts
// one input): past it the program ends at once and names the input, so that a slow input
// fails by itself instead of hiding in the time the whole folder is given.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The input being fed under a limit, for the message when it passes the limit.
char limitedInput[4096];

void inputTookTooLong(int) {
    const char prefix[] = "input ran past its time limit: ";
    (void)!::write(STDERR_FILENO, prefix, sizeof prefix - 1);
    (void)!::write(STDERR_FILENO, limitedInput, std::strlen(limitedInput));
    (void)!::write(STDERR_FILENO, "\n", 1);
    std::_Exit(1);
}

// Arms (or, with 0, disarms) the CPU-time limit of the input being fed.
void limitInput(long seconds) {
    itimerval timer{};
    timer.it_value.tv_sec = seconds;
    ::setitimer(ITIMER_PROF, &timer, nullptr);
}

bool isTimeoutInput(const std::filesystem::path& file) {
    return file.filename().string().rfind("timeout-", 0) == 0;
}

bool feed(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An empty input is still a call, with a pointer that may be read from no byte.
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    long inputSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--input-seconds=", 0) == 0) {
            inputSeconds = std::strtol(argument.c_str() + std::strlen("--input-seconds="), nullptr, 10);
            continue;
        }
        const std::filesystem::path path(argument);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.push_back(path);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 1;
    }
    if (inputSeconds > 0) {
        std::signal(SIGPROF, inputTookTooLong);
    }
    bool ok = true;
    for (const auto& file : files) {
        const bool limited = inputSeconds > 0 && isTimeoutInput(file);
        if (limited) {
            std::snprintf(limitedInput, sizeof limitedInput, "%s", file.c_str());
            limitInput(inputSeconds);
        }
        ok = feed(file) && ok;
        if (limited) {
            limitInput(0);
        }
    }
    std::printf("%zu inputs handled\n", files.size());
    return ok ? 0 : 1;
}
