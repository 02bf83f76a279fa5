#pragma once

#include <functional>
#include <memory>

namespace velmora::images {

// Where downloaded bytes are decoded: a quick lane for what decodes at once and a bounded pool for
// what is costly, so a plain avatar never waits behind hostile documents. Which is which is not
// known before trying: every decode starts in the quick lane, where each drawing it asks of a
// drawing process is given a short limit (DecodeAttempt). A decode whose drawing did not answer
// within it leaves the lane and is done again in the costly pool with the drawing's whole budget.
// A decode that cannot be cut short (one drawn in this process) and stays in the quick lane past
// a while is counted as costly from then on, and the lane takes the next one.
//
// The quick lane takes the newest decode first: under a flood the avatar asked last is the one
// on screen, and each costly document holds a quick place only for the short limit. The costly
// pool takes them in order. The two together hold as many decodes as there are drawing processes
// at once, so a quick try finds one free (a decode counted as costly while it still runs in this
// process may add one for a while).
class DecodeLanes {
public:
    // The decode, told whether it runs in the quick lane; false when it gave its quick try up and
    // is to run again in the costly pool.
    using Job = std::function<bool(bool quick)>;

    // How long a drawing may take in the quick lane; a plain avatar draws in a few milliseconds.
    static constexpr int quickDrawingMs = 250;
    // How long a decode stays in the quick lane before it counts as costly.
    static constexpr int quickStayMs = 1000;

    DecodeLanes(int quickSlots, int costlySlots);
    ~DecodeLanes();
    DecodeLanes(const DecodeLanes&) = delete;
    DecodeLanes& operator=(const DecodeLanes&) = delete;

    // The lanes every download decodes in: as many places in all as there are drawing processes
    // at once, half of them (at least one) for the costly pool.
    static DecodeLanes& shared();

    void submit(Job job);

    int quickSlots() const;
    int costlySlots() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace velmora::images
