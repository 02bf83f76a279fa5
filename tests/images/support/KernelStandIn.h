#pragma once

#include <QByteArray>
#include <QList>

#include <seccomp.h>

#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

// A kernel (or a sandbox around the app) without a part of the drawing process's confinement, stood
// in for in a process of the tests: a system-call filter, loaded before the confinement runs, that
// answers the part's calls as such a kernel does. Filters pass to children and through exec, so a
// program started after it meets the same kernel.
namespace velmora::images::testing {

// `modes`, joined by '+':
//   landlock-ENOSYS       Landlock not built in;
//   landlock-EOPNOTSUPP   Landlock built in and turned off at boot;
//   landlock-EPERM        Landlock refused by a sandbox;
//   userns-EPERM          no user namespace for a user (the sysctl, or a sandbox);
//   seccomp-missing       no system-call filter in the kernel;
//   seccomp-EPERM         further filters refused by a sandbox;
//   seccomp-EINVAL        every filter refused as invalid (the kernel answers EINVAL);
//   seccomp-TSYNC-EINVAL  a filter for every thread of a process refused (EINVAL), one thread's
//                         taken;
//   close_range-ENOSYS    no close_range (before Linux 5.9).
// False when a mode is unknown or the filter could not be loaded.
inline bool standInForKernel(const QByteArray& modes) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter) {
        return false;
    }
    bool ok = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    const auto answer = [&](int error, const char* name,
                            std::initializer_list<scmp_arg_cmp> conditions = {}) {
        const int call = seccomp_syscall_resolve_name(name);
        ok = ok && call >= 0 &&
             seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(error), call, unsigned(conditions.size()),
                                    conditions.size() ? conditions.begin() : nullptr) == 0;
    };
    for (const QByteArray& mode : modes.split('+')) {
        if (mode.startsWith("landlock-")) {
            const int error = mode == "landlock-ENOSYS"       ? ENOSYS
                              : mode == "landlock-EOPNOTSUPP" ? EOPNOTSUPP
                              : mode == "landlock-EPERM"      ? EPERM
                                                              : 0;
            ok = ok && error != 0;
            for (const char* name :
                 {"landlock_create_ruleset", "landlock_add_rule", "landlock_restrict_self"}) {
                answer(error, name);
            }
        } else if (mode == "userns-EPERM") {
            answer(EPERM, "unshare", {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_NEWUSER, CLONE_NEWUSER)});
        } else if (mode == "seccomp-missing") {
            answer(ENOSYS, "seccomp");
            answer(EINVAL, "prctl", {SCMP_A0(SCMP_CMP_EQ, PR_GET_SECCOMP)});
            answer(EINVAL, "prctl", {SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP)});
        } else if (mode == "seccomp-EPERM") {
            answer(EPERM, "seccomp");
            answer(EPERM, "prctl", {SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP)});
        } else if (mode == "seccomp-EINVAL") {
            answer(EINVAL, "seccomp", {SCMP_A0(SCMP_CMP_EQ, SECCOMP_SET_MODE_FILTER)});
            answer(EINVAL, "prctl", {SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP)});
        } else if (mode == "seccomp-TSYNC-EINVAL") {
            answer(EINVAL, "seccomp",
                   {SCMP_A0(SCMP_CMP_EQ, SECCOMP_SET_MODE_FILTER),
                    SCMP_A1(SCMP_CMP_MASKED_EQ, SECCOMP_FILTER_FLAG_TSYNC, SECCOMP_FILTER_FLAG_TSYNC)});
        } else if (mode == "close_range-ENOSYS") {
            answer(ENOSYS, "close_range");
        } else {
            ok = false;
        }
    }
    ok = ok && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

// Whether a process of this machine may make a user namespace with a mount namespace (a kernel may
// forbid it to users, a container to all): then namespaces close a drawing process where Landlock
// cannot.
inline bool userNamespacesWork() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

} // namespace velmora::images::testing
