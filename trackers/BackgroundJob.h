#pragma once

#include <QString>

namespace velmora {

// A periodic job of the application: the scheduler runs it every `interval()` seconds
// (the first time one interval after start) on a worker thread of its own.
class BackgroundJob {
public:
    virtual ~BackgroundJob() = default;

    // Names the job (and the scheduler's worker for it).
    virtual QString key() const = 0;
    // Seconds between two runs and before the first.
    virtual double interval() const = 0;

    // One run; returns when it is done. It reports nothing: its outcome is in the
    // stores and the log. Runs on the calling thread, spinning a local event loop
    // while it waits for the network.
    virtual void run() = 0;
};

} // namespace velmora
