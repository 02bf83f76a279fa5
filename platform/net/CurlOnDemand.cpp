// libcurl, loaded by the first call the transport makes to it rather than at the program's start.
// The library brings some thirty others (directory look-ups, Kerberos, a second TLS library,
// streaming protocols, compression) that the dynamic loader would otherwise map and bind before
// main(), a tenth of a bare window's start; the first request comes after the first frame. The
// functions the transport calls are defined here under libcurl's names and hand each call to the
// library's own, looked up once. They are not exported, so the library never finds them in place
// of its own.
#include <curl/curl.h>

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>

namespace {

#define VELMORA_CURL_FUNCTIONS(F)                                                                            \
    F(global_init, CURLcode, (long))                                                                         \
    F(easy_init, CURL*, ())                                                                                  \
    F(easy_cleanup, void, (CURL*))                                                                           \
    F(easy_setopt, CURLcode, (CURL*, CURLoption, ...))                                                       \
    F(easy_getinfo, CURLcode, (CURL*, CURLINFO, ...))                                                        \
    F(easy_strerror, const char*, (CURLcode))                                                                \
    F(easy_send, CURLcode, (CURL*, const void*, size_t, size_t*))                                            \
    F(easy_recv, CURLcode, (CURL*, void*, size_t, size_t*))                                                  \
    F(slist_append, curl_slist*, (curl_slist*, const char*))                                                 \
    F(slist_free_all, void, (curl_slist*))                                                                   \
    F(share_init, CURLSH*, ())                                                                               \
    F(share_cleanup, CURLSHcode, (CURLSH*))                                                                  \
    F(share_setopt, CURLSHcode, (CURLSH*, CURLSHoption, ...))                                                \
    F(multi_init, CURLM*, ())                                                                                \
    F(multi_cleanup, CURLMcode, (CURLM*))                                                                    \
    F(multi_setopt, CURLMcode, (CURLM*, CURLMoption, ...))                                                   \
    F(multi_add_handle, CURLMcode, (CURLM*, CURL*))                                                          \
    F(multi_remove_handle, CURLMcode, (CURLM*, CURL*))                                                       \
    F(multi_perform, CURLMcode, (CURLM*, int*))                                                              \
    F(multi_poll, CURLMcode, (CURLM*, curl_waitfd[], unsigned int, int, int*))                               \
    F(multi_info_read, CURLMsg*, (CURLM*, int*))                                                             \
    F(multi_wakeup, CURLMcode, (CURLM*))

struct CurlLibrary {
#define VELMORA_CURL_SLOT(name, result, parameters) result(*name) parameters = nullptr;
    VELMORA_CURL_FUNCTIONS(VELMORA_CURL_SLOT)
#undef VELMORA_CURL_SLOT
};

// The library's functions; none when it, or one of them, is missing (an installation without
// the package the app depends on): then nothing is made, and every request fails.
const CurlLibrary* curlLibrary() {
    static const CurlLibrary* const loaded = []() -> const CurlLibrary* {
        void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            std::fprintf(stderr, "The transport's library could not be loaded: %s\n", ::dlerror());
            return nullptr;
        }
        static CurlLibrary functions;
        bool all = true;
#define VELMORA_CURL_BIND(name, result, parameters)                                                          \
    functions.name = reinterpret_cast<result(*) parameters>(::dlsym(library, "curl_" #name));                \
    all = all && functions.name;
        VELMORA_CURL_FUNCTIONS(VELMORA_CURL_BIND)
#undef VELMORA_CURL_BIND
        return all ? &functions : nullptr;
    }();
    return loaded;
}

// A setopt's one argument, of the type its option's number says (as the library reads it).
template <typename Handle, typename Option, typename Result>
Result setOption(Result (*set)(Handle*, Option, ...), Handle* handle, Option option, va_list arguments) {
    const long kind = long(option);
    if (kind < CURLOPTTYPE_OBJECTPOINT) {
        return set(handle, option, va_arg(arguments, long));
    }
    if (kind < CURLOPTTYPE_FUNCTIONPOINT) {
        return set(handle, option, va_arg(arguments, void*));
    }
    if (kind < CURLOPTTYPE_OFF_T) {
        return set(handle, option, va_arg(arguments, void (*)()));
    }
    if (kind < CURLOPTTYPE_BLOB) {
        return set(handle, option, va_arg(arguments, curl_off_t));
    }
    return set(handle, option, va_arg(arguments, void*));
}

// Each call handed to the library's function in `slot`; `missing` when the library is not there.
template <typename Result, typename... Parameters, typename... Arguments>
Result forward(Result (*CurlLibrary::*slot)(Parameters...), Result missing, Arguments... arguments) {
    const CurlLibrary* curl = curlLibrary();
    return curl ? (curl->*slot)(arguments...) : missing;
}

} // namespace

#define VELMORA_CURL_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

VELMORA_CURL_HIDDEN CURLcode curl_global_init(long flags) {
    return forward(&CurlLibrary::global_init, CURLE_FAILED_INIT, flags);
}

VELMORA_CURL_HIDDEN CURL* curl_easy_init() {
    return forward(&CurlLibrary::easy_init, static_cast<CURL*>(nullptr));
}

VELMORA_CURL_HIDDEN void curl_easy_cleanup(CURL* easy) {
    if (easy) {
        curlLibrary()->easy_cleanup(easy);
    }
}

VELMORA_CURL_HIDDEN const char* curl_easy_strerror(CURLcode code) {
    return forward(&CurlLibrary::easy_strerror, "the transport's library could not be loaded", code);
}

VELMORA_CURL_HIDDEN CURLcode curl_easy_send(CURL* easy, const void* bytes, size_t length, size_t* sent) {
    return forward(&CurlLibrary::easy_send, CURLE_FAILED_INIT, easy, bytes, length, sent);
}

VELMORA_CURL_HIDDEN CURLcode curl_easy_recv(CURL* easy, void* bytes, size_t length, size_t* received) {
    return forward(&CurlLibrary::easy_recv, CURLE_FAILED_INIT, easy, bytes, length, received);
}

VELMORA_CURL_HIDDEN curl_slist* curl_slist_append(curl_slist* list, const char* text) {
    return forward(&CurlLibrary::slist_append, static_cast<curl_slist*>(nullptr), list, text);
}

VELMORA_CURL_HIDDEN void curl_slist_free_all(curl_slist* list) {
    if (list) {
        curlLibrary()->slist_free_all(list);
    }
}

VELMORA_CURL_HIDDEN CURLSH* curl_share_init() {
    return forward(&CurlLibrary::share_init, static_cast<CURLSH*>(nullptr));
}

VELMORA_CURL_HIDDEN CURLSHcode curl_share_cleanup(CURLSH* share) {
    return forward(&CurlLibrary::share_cleanup, CURLSHE_NOT_BUILT_IN, share);
}

VELMORA_CURL_HIDDEN CURLM* curl_multi_init() {
    return forward(&CurlLibrary::multi_init, static_cast<CURLM*>(nullptr));
}

VELMORA_CURL_HIDDEN CURLMcode curl_multi_cleanup(CURLM* multi) {
    return forward(&CurlLibrary::multi_cleanup, CURLM_BAD_HANDLE, multi);
}

VELMORA_CURL_HIDDEN CURLMcode curl_multi_add_handle(CURLM* multi, CURL* easy) {
    return forward(&CurlLibrary::multi_add_handle, CURLM_BAD_HANDLE, multi, easy);
}

VELMORA_CURL_HIDDEN CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* easy) {
    return forward(&CurlLibrary::multi_remove_handle, CURLM_BAD_HANDLE, multi, easy);
}

VELMORA_CURL_HIDDEN CURLMcode curl_multi_perform(CURLM* multi, int* running) {
    return forward(&CurlLibrary::multi_perform, CURLM_BAD_HANDLE, multi, running);
}

VELMORA_CURL_HIDDEN CURLMcode curl_multi_poll(CURLM* multi, curl_waitfd extra[], unsigned int count,
                                              int timeoutMs, int* ready) {
    return forward(&CurlLibrary::multi_poll, CURLM_BAD_HANDLE, multi, extra, count, timeoutMs, ready);
}

VELMORA_CURL_HIDDEN CURLMsg* curl_multi_info_read(CURLM* multi, int* left) {
    return forward(&CurlLibrary::multi_info_read, static_cast<CURLMsg*>(nullptr), multi, left);
}

VELMORA_CURL_HIDDEN CURLMcode curl_multi_wakeup(CURLM* multi) {
    return forward(&CurlLibrary::multi_wakeup, CURLM_BAD_HANDLE, multi);
}

// The variadic ones take one argument after the option, read as the library reads it. They are
// given only handles the library made, so it is there. Their last named parameters are the
// library's option enumerations, as its header declares them; va_start after one is sound where
// it is passed as the int it is, which these hold.
static_assert(sizeof(CURLoption) == sizeof(int) && sizeof(CURLMoption) == sizeof(int) &&
              sizeof(CURLINFO) == sizeof(int) && sizeof(CURLSHoption) == sizeof(int));
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif

#define VELMORA_CURL_SETOPT(name, Result, Handle, Option)                                                    \
    VELMORA_CURL_HIDDEN Result curl_##name(Handle* handle, Option option, ...) {                             \
        va_list arguments;                                                                                   \
        va_start(arguments, option);                                                                         \
        const Result result = setOption(curlLibrary()->name, handle, option, arguments);                     \
        va_end(arguments);                                                                                   \
        return result;                                                                                       \
    }
VELMORA_CURL_SETOPT(easy_setopt, CURLcode, CURL, CURLoption)
VELMORA_CURL_SETOPT(multi_setopt, CURLMcode, CURLM, CURLMoption)
#undef VELMORA_CURL_SETOPT

// Every piece of information is asked for with a place to put it.
VELMORA_CURL_HIDDEN CURLcode curl_easy_getinfo(CURL* easy, CURLINFO info, ...) {
    va_list arguments;
    va_start(arguments, info);
    void* place = va_arg(arguments, void*);
    va_end(arguments);
    return curlLibrary()->easy_getinfo(easy, info, place);
}

// What to share is an int (a curl_lock_data), the lock functions are such, the rest a pointer.
VELMORA_CURL_HIDDEN CURLSHcode curl_share_setopt(CURLSH* share, CURLSHoption option, ...) {
    va_list arguments;
    va_start(arguments, option);
    const auto set = curlLibrary()->share_setopt;
    CURLSHcode result;
    if (option == CURLSHOPT_SHARE || option == CURLSHOPT_UNSHARE) {
        result = set(share, option, va_arg(arguments, int));
    } else if (option == CURLSHOPT_LOCKFUNC) {
        result = set(share, option, va_arg(arguments, curl_lock_function));
    } else if (option == CURLSHOPT_UNLOCKFUNC) {
        result = set(share, option, va_arg(arguments, curl_unlock_function));
    } else {
        result = set(share, option, va_arg(arguments, void*));
    }
    va_end(arguments);
    return result;
}

} // extern "C"
