#pragma once

#include <QtGlobal>

namespace velmora::images {

// What the drawing processes may hold of the machine's memory together, and so how many may
// draw at once and what each may hold. The share is an eighth of the RAM: a hostile avatar's copy
// holds what it took for as long as it lives (stopped, kept idle), and the copies alive at once
// are the drawing slots (drawing, or kept idle for their document) and the copy each template
// holds ready. Each copy may hold an equal part of the share, at most 1 GiB (far more than an
// avatar's drawing, or a page at the pixel budget, needs); where that part would fall below
// leastPerCopy, fewer copies draw at once instead. So the machine's RAM bounds the copies, not
// its cores: at worst they hold the share together, whatever each does.
//
// A template reads no document, and holds the few MiB of what it loaded (its copies share them
// until they write them); it is not counted.
class DrawingMemoryShare {
public:
    DrawingMemoryShare() = delete;

    static constexpr int ramFraction = 8;
    static constexpr quint64 mostPerCopy = 1ull << 30;
    // What a copy needs at the least: its drawing thread's stack and heap (some 11 MiB of its
    // data), and room to draw a page of some megapixels.
    static constexpr quint64 leastPerCopy = 64ull << 20;

    struct Plan {
        // What the copies alive at once may hold together.
        quint64 share = 0;
        // Copies drawing or kept idle at once, and templates (each with one copy ready).
        int drawingSlots = 0;
        int templates = 0;
        // What each copy may hold (see VectorRenderProtocol::copyMemoryArgument).
        quint64 perCopy = 0;
    };

    // For copies that hold `share` together on a machine of `cores`.
    static Plan forShare(quint64 share, int cores);
    // For a machine of `ramBytes` and `cores`.
    static Plan forMachine(quint64 ramBytes, int cores) { return forShare(ramBytes / ramFraction, cores); }
    // For this machine, or the share a test set.
    static Plan current();
    // For tests: the share from now on (0: this machine's again). Processes started before keep
    // what they were given.
    static void setShareForTesting(quint64 share);
};

} // namespace velmora::images
