#pragma once

#include "images/coders/vector-render/DrawingConfinement.h"

#include <QByteArray>

#include <linux/filter.h>

#include <optional>
#include <vector>

namespace velmora::images {

// The system-call filter of a drawing process (seccomp): only the calls drawing and the protocol
// make are allowed, and of some only the arguments they pass (files opened for reading, signals
// to this process alone, its own clocks ...); everything else fails with EPERM (clone3 and
// openat2 with ENOSYS, so that the C library falls back to the calls allowed), never with a kill,
// so a library that probes for something goes on without it.
class SystemCallFilter {
public:
    SystemCallFilter() = delete;

    using MeansAnswer = DrawingConfinement::MeansAnswer;
    using Program = std::vector<sock_filter>;

    // The filter as the kernel takes it, built once by the process that prepares (libseccomp
    // takes milliseconds to build it); nothing when it could not be built.
    static std::optional<Program> build();

    // Whom a filter is loaded for: the calling thread (each thread of a drawing process loads its
    // own, so none is left out and the kernel is asked nothing more), or every thread of the
    // process.
    enum class For { ThisThread, EveryThread };
    // Loads `program` (none: it could not be built), with this process's id put where it compares
    // a target. Empty when done; what failed otherwise, with what it means in `answer` and the
    // kernel's errno in `error` when it answered one.
    static QByteArray load(const std::optional<Program>& program, MeansAnswer* answer, For whom,
                           int* error = nullptr);

    // The threads of this process, as its /proc entry lists them; -1 when it cannot be read.
    static int threadsOfThisProcess();
};

} // namespace velmora::images
