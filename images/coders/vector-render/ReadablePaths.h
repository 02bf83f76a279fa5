#pragma once

#include "images/coders/vector-render/DrawingConfinement.h"

#include <QByteArray>
#include <QList>

#include <sys/types.h>

#include <utility>
#include <vector>

namespace velmora::images {

// What a drawing process may read, worked out and opened by the process that prepares (the
// template): the paths as this process's fontconfig, Qt and environment name them, judged once,
// then opened one folder at a time without following a link, and held. Landlock's rules and the
// namespaces' binds are made of what is held, never of a path opened again.
class ReadablePaths {
public:
    ReadablePaths() = delete;

    using Readable = DrawingConfinement::Readable;

    // A path a drawing process may read, opened and held: what the rules and binds of each copy
    // are made of.
    struct Held {
        Readable entry;
        int descriptor = -1;
        dev_t device = 0;
        ino_t inode = 0;
        bool folder = false;
    };
    // What is given to each copy: the paths held, and the system's top-level links (/lib ->
    // usr/lib), made again in a namespace's root.
    struct Given {
        std::vector<Held> held;
        QList<std::pair<QByteArray, QByteArray>> links;
    };

    // This process's own /proc entry: each process's own, opened by each (following its link).
    static constexpr const char* ownProcEntry = "/proc/self";

    // See DrawingConfinement::readablePaths.
    static QList<Readable> list();
    // What list() names, opened and held (see hold), with the system's top-level links apart.
    static Given open();
    // Opens each path once, following no link, and holds what is still what it was judged to be:
    // a file under the home a regular file of one link, on the device and inode it was judged on.
    // What is not (swapped since, or gone) is left out, and so is this process's own /proc entry.
    static std::vector<Held> hold(const QList<Readable>& readable);
    // Closes what `held` holds.
    static void close(std::vector<Held>& held);
    // Opens `path` (absolute, with no "." or ".." in it) for its place alone (O_PATH), one folder
    // at a time, following no link: a link anywhere on the way, the last part included, is no
    // path of what was judged (every link of it was resolved), but one put there since. -1 then.
    static int openWithoutLinks(const QByteArray& path);
    static int openOwnProcEntry();
};

} // namespace velmora::images
