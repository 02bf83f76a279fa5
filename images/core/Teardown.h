#pragma once

#include <functional>

namespace velmora::images {

// The library's shared instances live as long as the process, but their threads must not: once
// main() returns, static destructors take apart what a late network event, pool task or disk task
// would call. Each shared instance hands its stop step here; the steps run while the application
// object is being destroyed (a post routine), before any static goes, in the order of the stages.
// From then on tasks for the main queue are dropped rather than run on whatever thread sent them.
class Teardown {
public:
    enum class Stage {
        // Drawing processes are killed: a drawing in flight is given up rather than waited for.
        DrawingProcesses,
        // Transfers are cancelled and the network thread stops: no more session events.
        Network,
        // Worker pools finish what they hold.
        Work,
        // Disk queues run what is queued and stop.
        Disk,
    };

    // A step added after the teardown began runs at once.
    static void add(Stage stage, std::function<void()> step);
    static bool hasBegun();
    // Runs the steps now; for tests and for the post routine. Later calls do nothing.
    static void run();
};

} // namespace velmora::images
