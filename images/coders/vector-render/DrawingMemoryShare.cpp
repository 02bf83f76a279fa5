#include "images/coders/vector-render/DrawingMemoryShare.h"

#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace velmora::images {

namespace {

// One template for every four drawing slots, and at least two (see DrawingTemplates).
int templatesFor(int drawingSlots) {
    return std::max(2, (drawingSlots + 3) / 4);
}

quint64 ramOfThisMachine() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? quint64(pages) * quint64(pageSize) : 0;
}

int coresOfThisMachine() {
    return std::max(2, QThread::idealThreadCount());
}

std::atomic<quint64> testShare{0};

} // namespace

DrawingMemoryShare::Plan DrawingMemoryShare::forShare(quint64 share, int cores) {
    Plan plan;
    plan.share = share;
    // As many as the cores (and two at least), unless their parts of the share would be too small.
    plan.drawingSlots = std::max(2, cores);
    while (true) {
        plan.templates = templatesFor(plan.drawingSlots);
        plan.perCopy = std::min(mostPerCopy, share / quint64(plan.drawingSlots + plan.templates));
        if (plan.perCopy >= leastPerCopy || plan.drawingSlots == 1) {
            break;
        }
        --plan.drawingSlots;
    }
    // A machine too small even for one (under half a GiB of RAM) gives it what it needs.
    plan.perCopy = std::max(plan.perCopy, leastPerCopy);
    return plan;
}

DrawingMemoryShare::Plan DrawingMemoryShare::current() {
    static const Plan machine = forMachine(ramOfThisMachine(), coresOfThisMachine());
    const quint64 share = testShare.load();
    return share > 0 ? forShare(share, coresOfThisMachine()) : machine;
}

void DrawingMemoryShare::setShareForTesting(quint64 share) {
    testShare.store(share);
}

} // namespace velmora::images
