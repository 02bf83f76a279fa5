#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace velmora::images {

// What the vector drawing process does before it reads a document: it takes away from itself
// all that drawing does not need, so that a renderer taken over by a hostile document reaches
// no user file, no network and no other process.
//
// Two parts, each applied where the kernel has it:
//  - the file system: Landlock leaves read access to what drawing reads (system libraries and
//    data under /usr and /lib*, /etc/fonts, the font folders and font caches fontconfig names,
//    this process's own /proc entry) and nothing else: no other file, nowhere to write.
//  - a system-call filter (seccomp): only the calls drawing and the protocol make are allowed,
//    files are opened for reading only, threads may be started but no process, signals go to
//    this process alone; everything else fails with EPERM (clone3 and openat2 with ENOSYS, so
//    that the C library falls back to the calls allowed), never with a kill, so a library that
//    probes for something goes on without it.
// Both last for the rest of the process's life and pass to every thread.
class DrawingConfinement {
public:
    DrawingConfinement() = delete;

    // The parts, as the greeting reports them.
    static constexpr quint32 SystemCallFilter = VectorRenderProtocol::SystemCallFilter;
    static constexpr quint32 FileSystem = VectorRenderProtocol::FileSystemClosed;

    struct Outcome {
        // Every part the kernel has was applied. When false the process must not draw.
        bool confined = false;
        // The parts the kernel lacks (and that were left out).
        quint32 missing = 0;
        // What failed, when not confined.
        QByteArray failure;
    };

    // Loads fonts' configuration, then confines the process: what the drawing process calls before
    // its first request, after Qt's platform is loaded.
    static Outcome prepareAndConfine();

    // Confines the calling process. It must run no other thread: Landlock binds the calling
    // thread (and the threads it starts later) only, so a thread already running would stay free.
    static Outcome confine();

    // The paths the confined process may read, as this process's fontconfig and environment
    // name them: none that holds the home folder.
    static QList<QByteArray> readablePaths();
};

} // namespace velmora::images
