#pragma once

#include "images/coders/vector-render/ReadablePaths.h"

#include <QByteArray>

namespace velmora::images {

// The file system closed with namespaces, where Landlock cannot: a user namespace of this process
// alone, in which it makes a mount namespace whose root is an empty, read-only folder holding
// read-only binds of what drawing reads and nothing else (the old root is gone from it), and a
// network namespace with no network.
class NamespaceFileSystem {
public:
    NamespaceFileSystem() = delete;

    // Closes the file system of the calling process, which runs one thread. Empty when done; what
    // failed otherwise, with what the kernel answered in `answer`.
    static QByteArray close(const ReadablePaths::Given& given, DrawingConfinement::MeansAnswer* answer);
};

} // namespace velmora::images
