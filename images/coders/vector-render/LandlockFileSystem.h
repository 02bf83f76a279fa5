#pragma once

#include "images/coders/vector-render/ReadablePaths.h"

#include <QByteArray>

#include <vector>

namespace velmora::images {

// Landlock, where the kernel has it: the file system closed to all but what is held (see
// ReadablePaths) and this process's own /proc entry, for reading; nothing anywhere writable; and
// where the kernel knows them, no TCP port, no abstract socket and no signal of another process.
class LandlockFileSystem {
public:
    LandlockFileSystem() = delete;

    // The kernel's version of Landlock (1 and up), or what it answered (a negated errno).
    static int version();
    // Closes the file system of the calling thread (and the threads it starts later). Empty when
    // done; what failed otherwise. `version` is at least 1.
    static QByteArray close(int version, const std::vector<ReadablePaths::Held>& held);
};

} // namespace velmora::images
