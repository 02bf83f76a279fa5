#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

namespace velmora::images {

// Where downloaded bytes are decoded: a quick lane for what decodes at once and a bounded pool for
// what is costly, so a plain avatar never waits behind hostile documents. Which is which is not
// known before trying: every decode starts in the quick lane, where each drawing it asks of a
// drawing process is given a short limit (DecodeAttempt). A decode whose drawing did not answer
// within it leaves the lane and is done again in the costly pool with the drawing's whole budget.
// A decode that cannot be cut short (one drawn in this process) and stays in the quick lane past
// a while moves, still running, to a costly place as soon as one is free, and the lane takes the
// next one; until a costly place is free it keeps its quick place. So the decodes running never
// outnumber the places, which are as many as there are drawing processes at once: a quick try
// always finds one free.
//
// The quick lane takes the decode asked for last first (not the one downloaded last): under a
// flood the avatar asked last is the one on screen, and each costly document holds a quick place
// only for the short limit. The costly pool takes them in the order they were asked.
//
// The bytes of the decodes waiting for a place are held to a budget: a decode handed in past it
// makes room by answering the oldest waiting ones (those that gave their quick try up first) as
// not drawn now, which refuses nothing: an avatar still on screen is asked for again when it is
// drawn again. The newest, the one on screen, always gets in. (A quick try given up goes on to
// wait for a costly place whatever the budget: past it by at most the quick places' bytes.)
class DecodeLanes {
public:
    // Where a decode runs. `None`: it is not decoded at all (the lanes are torn down, or newer
    // decodes needed its room) and answers its callers as not drawn now.
    enum class Lane { Quick, Costly, None };
    // The decode; in the quick lane, false when it gave its quick try up and is to run again in
    // the costly pool.
    using Job = std::function<bool(Lane lane)>;

    // How long a drawing may take in the quick lane; a plain avatar draws in a few milliseconds.
    static constexpr int quickDrawingMs = 250;
    // How long a decode stays in the quick lane before it moves to a costly place.
    static constexpr int quickStayMs = 1000;
    // The most bytes of decodes waiting for a place: some eight avatars of the largest size a
    // download may have, beside those the places hold.
    static constexpr qint64 defaultWaitingBytesBudget = 32ll * 1024 * 1024;

    DecodeLanes(int quickSlots, int costlySlots, qint64 waitingBytesBudget = defaultWaitingBytesBudget);
    ~DecodeLanes();
    DecodeLanes(const DecodeLanes&) = delete;
    DecodeLanes& operator=(const DecodeLanes&) = delete;

    // The lanes every download decodes in: as many places in all as there are drawing processes
    // at once, half of them (at least one) for the costly pool.
    static DecodeLanes& shared();

    // `bytes`: what the decode holds while it waits for a place; `asked`: when what it decodes
    // was asked for (askedNow() then), which orders the waiting ones; none is now.
    void submit(Job job, qint64 bytes = 0, std::optional<quint64> asked = std::nullopt);
    // A moment in the order decodes were asked for: later ones compare greater.
    static quint64 askedNow();

    int quickSlots() const;
    int costlySlots() const;
    qint64 waitingBytes() const;
    qint64 waitingBytesBudget() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace velmora::images
