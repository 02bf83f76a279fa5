#include "tests/support/UnansweredNames.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include <dlfcn.h>
#include <netdb.h>

namespace {

std::mutex mutex;
std::condition_variable released;
bool answering = true; // no instance: nothing is held
int blocked = 0;

bool isUnanswered(const char* node) {
    static constexpr char suffix[] = ".unanswered.test";
    const size_t length = node ? std::strlen(node) : 0;
    return length >= sizeof(suffix) - 1 && std::strcmp(node + length - (sizeof(suffix) - 1), suffix) == 0;
}

// Names of this machine that no proxy rule takes for this machine (as it takes "localhost").
bool isHere(const char* node) {
    static constexpr char suffix[] = ".here.test";
    const size_t length = node ? std::strlen(node) : 0;
    return length >= sizeof(suffix) - 1 && std::strcmp(node + length - (sizeof(suffix) - 1), suffix) == 0;
}

} // namespace

// The process's own getaddrinfo, found before the C library's by every library that looks names
// up (a definition in the executable comes first), which hands every other name on to it.
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
    using Function = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const auto next = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (isUnanswered(node)) {
        std::unique_lock lock(mutex);
        ++blocked;
        released.wait(lock, [] { return answering; });
        --blocked;
        return EAI_AGAIN;
    }
    return next(isHere(node) ? "127.0.0.1" : node, service, hints, result);
}

namespace velmora::test {

UnansweredNames::UnansweredNames() {
    std::lock_guard lock(mutex);
    answering = false;
}

UnansweredNames::~UnansweredNames() {
    releaseAll();
}

int UnansweredNames::waiting() {
    std::lock_guard lock(mutex);
    return blocked;
}

void UnansweredNames::releaseAll() {
    {
        std::lock_guard lock(mutex);
        answering = true;
    }
    released.notify_all();
}

} // namespace velmora::test
