#include "images/coders/vector-render/LandlockFileSystem.h"

#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

// What the kernel may know beyond the headers this is built with (they may be older than it).
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#endif
#ifndef __NR_landlock_add_rule
#define __NR_landlock_add_rule 445
#endif
#ifndef __NR_landlock_restrict_self
#define __NR_landlock_restrict_self 446
#endif
#ifndef LANDLOCK_CREATE_RULESET_VERSION
#define LANDLOCK_CREATE_RULESET_VERSION (1U << 0)
#endif
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif
#ifndef PR_SET_VMA
#define PR_SET_VMA 0x53564d41
#endif

namespace velmora::images {

namespace {

// The ruleset's attributes as the newest kernel knows them; an older one is given the first
// fields only (its size says which).
struct ConfinementRulesetAttributes {
    quint64 handledAccessFs = 0;
    quint64 handledAccessNet = 0;
    quint64 scoped = 0;
};

} // namespace

int LandlockFileSystem::version() {
    const long version = ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version < 0 ? -errno : int(version);
}

QByteArray LandlockFileSystem::close(int version, const std::vector<ReadablePaths::Held>& held) {
    ConfinementRulesetAttributes attributes;
    attributes.handledAccessFs =
        LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
        LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
        LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
        LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
        LANDLOCK_ACCESS_FS_MAKE_SYM;
    std::size_t size = sizeof attributes.handledAccessFs;
    if (version >= 2) {
        attributes.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
    }
    if (version >= 3) {
        attributes.handledAccessFs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    }
    if (version >= 4) {
        // No TCP port to bind or connect to (the filter refuses sockets too).
        attributes.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size = offsetof(ConfinementRulesetAttributes, scoped);
    }
    if (version >= 5) {
        attributes.handledAccessFs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    }
    if (version >= 6) {
        // No abstract socket of another process to connect to, no signal to one.
        attributes.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
        size = sizeof attributes;
    }
    const int ruleset = int(::syscall(__NR_landlock_create_ruleset, &attributes, size, 0));
    if (ruleset < 0) {
        return "no Landlock ruleset: " + QByteArray(std::strerror(errno));
    }
    QByteArray failure;
    // Each rule from the descriptor held since the template judged its path: never the path
    // opened again, which may lead elsewhere by now.
    const auto addRule = [ruleset, &failure](int fd, bool folder, const QByteArray& path) {
        landlock_path_beneath_attr rule{};
        rule.parent_fd = fd;
        rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | (folder ? LANDLOCK_ACCESS_FS_READ_DIR : 0);
        if (::syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
            failure = "no Landlock rule for " + path + ": " + QByteArray(std::strerror(errno));
        }
    };
    for (const ReadablePaths::Held& entry : held) {
        if (failure.isEmpty()) {
            addRule(entry.descriptor, entry.folder, entry.entry.resolved);
        }
    }
    if (const int own = failure.isEmpty() ? ReadablePaths::openOwnProcEntry() : -1; own >= 0) {
        addRule(own, true, ReadablePaths::ownProcEntry);
        ::close(own);
    }
    if (failure.isEmpty() && ::syscall(__NR_landlock_restrict_self, ruleset, 0) != 0) {
        failure = "Landlock refused: " + QByteArray(std::strerror(errno));
    }
    ::close(ruleset);
    return failure;
}

} // namespace velmora::images
