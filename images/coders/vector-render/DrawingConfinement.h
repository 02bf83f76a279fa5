#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <vector>

namespace velmora::images {

// What a drawing process does before it reads a document: it takes away from itself all that
// drawing does not need, so that a renderer taken over by a hostile document reaches no user
// file, no network and no other process. It is confined as a whole or it draws nothing.
//
// Two parts (each in a file of its own: ReadablePaths, LandlockFileSystem, NamespaceFileSystem,
// SystemCallFilter):
//  - the file system: only what drawing reads stays readable (system libraries and data under
//    /usr and /lib*, /etc/fonts, the font files and font caches fontconfig names, the folders of
//    the Qt that is loaded, this process's own /proc entry), and nothing anywhere is writable.
//    Landlock closes it where the kernel has it; where the kernel lacks it, has it turned off or
//    a sandbox refuses it, namespaces do: a user namespace of its own with a mount namespace
//    whose root holds read-only binds of those paths alone, and a network namespace with no
//    network.
//  - a system-call filter (seccomp): only the calls drawing and the protocol make are allowed,
//    files are opened for reading only, no thread and no process can be started, signals go to
//    this process alone; everything else fails with EPERM (clone3 and openat2 with ENOSYS, so
//    that the C library falls back to the calls allowed), never with a kill, so a library that
//    probes for something goes on without it.
// Both last for the rest of the process's life and hold for each of its threads: the one that
// confines itself and the one drawing thread it starts before the filter (see drawingThreads).
//
// What it may read is opened once, by the process that prepares (the template): each path
// without following a link, a file under the home checked to be what was judged (a regular file
// of one link, on the device and inode seen), and held. A confined process's rules and binds are
// of those very files: a path swapped for a link to the home, or for a hard link to a key, after
// the template started gives nothing.
class DrawingConfinement {
public:
    DrawingConfinement() = delete;

    using Means = VectorRenderProtocol::ConfinementMeans;
    using MeansAnswer = VectorRenderProtocol::MeansAnswer;

    struct Outcome {
        // The means that hold (Means bits).
        quint32 held = 0;
        // What each means that does not hold was answered.
        MeansAnswer landlock = MeansAnswer::Held;
        MeansAnswer namespaces = MeansAnswer::NotTried;
        MeansAnswer filter = MeansAnswer::Held;
        // What the kernel answered the filter (an errno) when it did not hold; 0 otherwise.
        int filterError = 0;
        // The drawing thread could not be started (the user's processes at their limit, say): a
        // passing want, not the kernel's, so the process draws nothing and says so by ending.
        bool noDrawingThread = false;
        // What failed, in words.
        QByteArray failure;
        // The filter and a means of the file system hold: only then may the process draw.
        bool confined() const { return VectorRenderProtocol::confinedAsAWhole(held); }
    };

    // The threads of a confined process, at most: the one that confines itself (it reads the
    // requests, draws and answers), and one thread of Qt's pool, to which Qt hands the
    // conversion and smooth scaling of large images (and which Qt would otherwise start by the
    // cores, and again after each idle half minute). It is started before the filter, kept for
    // the process's life, and takes the filter itself; after that the filter refuses every
    // thread and process, whatever the user's limits, on every kernel that has the filter.
    static constexpr int drawingThreads = 2;

    // What the template process does once, before it makes any drawing process: loads fonts'
    // configuration, works out the paths a drawing process may read (see readablePaths), and
    // opens and holds them (see heldDescriptors).
    static void prepare();
    // The descriptors prepare() holds: a copy of the template keeps them open until it has
    // confined itself, then closes them.
    static std::vector<int> heldDescriptors();

    // Confines the calling process, and starts its drawing thread. It must run no other thread:
    // Landlock binds the calling thread (and the threads it starts later) only, and a process of
    // more than one thread cannot enter a user namespace. Uses what prepare() worked out (and
    // prepares first when it has not run); closes the descriptors it held.
    static Outcome confine();

    // Both, as a process that is no template confines itself.
    static Outcome prepareAndConfine();

    // A path the confined process may read: where it is opened (`path`, as fontconfig or the
    // system names it) and what it is once every link is resolved (`resolved`, which is what is
    // judged and given). A file under the home is judged a regular file of one link: the device
    // and inode it was then (0 for what is not judged, the system's).
    struct Readable {
        QByteArray path;
        QByteArray resolved;
        quint64 device = 0;
        quint64 inode = 0;
    };
    // The paths the confined process may read, as this process's fontconfig, Qt and environment
    // name them: never the home folder, a folder holding it, or a folder under it other than a
    // font cache.
    static QList<Readable> readablePaths();

    // What an errno from a call of a means says of it.
    static MeansAnswer answerTo(int error);

    // The system-call filter alone (the tests load it with nothing else), for every thread of the
    // process. Empty when it holds; what failed otherwise, with what the kernel answered in
    // `answer`.
    static QByteArray loadSystemCallFilter(MeansAnswer* answer = nullptr);
};

} // namespace velmora::images
