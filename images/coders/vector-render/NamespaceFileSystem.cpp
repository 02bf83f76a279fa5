#include "images/coders/vector-render/NamespaceFileSystem.h"

#include <QScopeGuard>

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace velmora::images {

namespace {

// Makes `path` under `root` (and the folders above it): a folder, or an empty file to bind a file on.
bool makeMountPoint(const QByteArray& root, const QByteArray& path, bool folder) {
    QByteArray at = root;
    const QList<QByteArray> parts = path.split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (parts.at(i).isEmpty()) {
            continue;
        }
        at += '/' + parts.at(i);
        const bool last = i == parts.size() - 1;
        if (last && !folder) {
            const int fd = ::open(at.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0) {
                return false;
            }
            ::close(fd);
        } else if (::mkdir(at.constData(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

// The flags of the mount `path` lies on that a user namespace may not clear (a read-only bind
// keeps them, or its remount is refused).
unsigned long lockedMountFlags(const QByteArray& path) {
    struct statvfs info {};
    if (::statvfs(path.constData(), &info) != 0) {
        return 0;
    }
    unsigned long flags = 0;
    for (const auto& [st, ms] :
         {std::pair{ST_NOSUID, MS_NOSUID}, std::pair{ST_NODEV, MS_NODEV}, std::pair{ST_NOEXEC, MS_NOEXEC},
          std::pair{ST_NOATIME, MS_NOATIME}, std::pair{ST_NODIRATIME, MS_NODIRATIME},
          std::pair{ST_RELATIME, MS_RELATIME}}) {
        if (info.f_flag & st) {
            flags |= ms;
        }
    }
    return flags;
}

bool writeFile(const char* path, const QByteArray& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
    ::close(fd);
    return written;
}

} // namespace

QByteArray NamespaceFileSystem::close(const ReadablePaths::Given& what,
                                      DrawingConfinement::MeansAnswer* answer) {
    using MeansAnswer = DrawingConfinement::MeansAnswer;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    const auto failed = [answer](const QByteArray& step) {
        const int error = errno;
        if (*answer == MeansAnswer::Held) {
            *answer = MeansAnswer::Failed;
        }
        return step + ": " + QByteArray(std::strerror(error));
    };
    *answer = MeansAnswer::Held;
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0) {
        *answer = DrawingConfinement::answerTo(errno);
        return failed("no namespaces of its own");
    }
    // Itself inside as outside; no other user or group to become.
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1")) {
        return failed("no user of its own");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed("the mounts stay shared");
    }
    // What is given is opened first: the new root is mounted on a folder of the old, which it
    // hides (what lies under /tmp, say), and each is bound from its descriptor. The kernel binds
    // nothing from a descriptor of another mount namespace (the template's are of the app's), so
    // each held path is found again in this one, following no link, and bound only when it is
    // the very file or folder the template holds (its device and inode): a path swapped since
    // binds nothing.
    struct Source {
        QByteArray path;
        int descriptor;
        bool folder;
    };
    std::vector<Source> sources;
    const auto closeSources = qScopeGuard([&sources] {
        for (const Source& source : sources) {
            ::close(source.descriptor);
        }
    });
    for (const ReadablePaths::Held& held : what.held) {
        const int descriptor = ReadablePaths::openWithoutLinks(held.entry.resolved);
        struct stat info {};
        if (descriptor >= 0 && ::fstat(descriptor, &info) == 0 && info.st_dev == held.device &&
            info.st_ino == held.inode) {
            sources.push_back({held.entry.path, descriptor, held.folder});
        } else if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    if (const int own = ReadablePaths::openOwnProcEntry(); own >= 0) {
        sources.push_back({ReadablePaths::ownProcEntry, own, true});
    }
    // Any folder will do to mount the new root on: this namespace alone sees it.
    QByteArray root;
    for (const char* candidate : {"/tmp", "/mnt", "/run", "/srv", "/media", "/opt", "/var"}) {
        struct stat info {};
        if (::lstat(candidate, &info) == 0 && S_ISDIR(info.st_mode)) {
            root = candidate;
            break;
        }
    }
    if (root.isEmpty() || ::mount("velmora-drawing", root.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                                  "size=1m,mode=0755") != 0) {
        return failed("no root of its own");
    }
    for (const Source& source : sources) {
        const QByteArray from = "/proc/self/fd/" + QByteArray::number(source.descriptor);
        const QByteArray target = root + source.path;
        if (!makeMountPoint(root, source.path, source.folder)) {
            return failed("no place to bind " + source.path);
        }
        if (::mount(from.constData(), target.constData(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            // A file removed since it was found again (swapped by another program of the user)
            // binds nothing, and is left out as if it had been swapped before: no name leads to it.
            struct stat info {};
            if (::fstat(source.descriptor, &info) == 0 && info.st_nlink == 0) {
                continue;
            }
            return failed("no bind of " + source.path);
        }
        if (::mount(nullptr, target.constData(), nullptr,
                    MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | lockedMountFlags(from),
                    nullptr) != 0) {
            return failed("no read-only bind of " + source.path);
        }
    }
    for (const auto& [link, target] : what.links) {
        if (::symlink(target.constData(), (root + link).constData()) != 0) {
            return failed("no link " + link);
        }
    }
    if (::mount(nullptr, root.constData(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) !=
        0) {
        return failed("the root stays writable");
    }
    // The new root in place of the old, which is then let go: nothing of it is reachable.
    if (::chdir(root.constData()) != 0 || ::syscall(SYS_pivot_root, ".", ".") != 0 ||
        ::umount2(".", MNT_DETACH) != 0 || ::chdir("/") != 0) {
        return failed("the old root stays");
    }
    // No capability of the namespace is left (it could undo the binds).
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (::syscall(SYS_capset, &header, none) != 0) {
        return failed("its capabilities stay");
    }
    return {};
}

} // namespace velmora::images
