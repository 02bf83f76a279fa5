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
//
// Room in the budget can be held for bytes on their way (a download started only once its bytes
// will fit, as one whose bytes were answered not drawn now is): held bytes count as waiting, so
// they push nothing out when they arrive, until they are handed in or the hold goes. Whoever
// waits for room hears when some may have been made.
class DecodeLanes {
    struct State;

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
    // The most bytes of decodes waiting for a place, and of downloads on their way to one: some
    // eight avatars of the largest size a download may have, beside those the places hold.
    static constexpr qint64 defaultWaitingBytesBudget = 32ll * 1024 * 1024;

    // Room held in the budget; let go when the last owner drops it, unless handed in with a decode.
    class Hold {
    public:
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        qint64 bytes() const { return m_bytes; }

    private:
        friend class DecodeLanes;
        Hold(std::weak_ptr<State> state, qint64 bytes) : m_state(std::move(state)), m_bytes(bytes) {}
        std::weak_ptr<State> m_state;
        const qint64 m_bytes;
        // Set under the lanes' lock.
        bool m_handedIn = false;
    };

    DecodeLanes(int quickSlots, int costlySlots, qint64 waitingBytesBudget = defaultWaitingBytesBudget);
    ~DecodeLanes();
    DecodeLanes(const DecodeLanes&) = delete;
    DecodeLanes& operator=(const DecodeLanes&) = delete;

    // The lanes every download decodes in: as many places in all as there are drawing processes
    // at once, half of them (at least one) for the costly pool.
    static DecodeLanes& shared();

    // `bytes`: what the decode holds while it waits for a place; `asked`: when what it decodes
    // was asked for (askedNow() then), which orders the waiting ones; none is now.
    // With `hold`, the room it held becomes the decode's.
    void submit(Job job, qint64 bytes = 0, std::optional<quint64> asked = std::nullopt,
                const std::shared_ptr<Hold>& hold = nullptr);
    // Room for `bytes` on their way, or none while they would not fit beside what waits and is held
    // (bytes past the whole budget fit once nothing waits or is held).
    std::shared_ptr<Hold> tryHold(qint64 bytes);
    // `listener` runs when room may have been made (a waiting decode took a place, a hold went), on
    // the thread that made it, with none of the lanes' locks held; it must not wait for the lanes.
    int addRoomListener(std::function<void()> listener);
    void removeRoomListener(int id);
    // A moment in the order decodes were asked for: later ones compare greater.
    static quint64 askedNow();

    int quickSlots() const;
    int costlySlots() const;
    qint64 waitingBytes() const;
    qint64 heldBytes() const;
    qint64 waitingBytesBudget() const;

private:
    std::shared_ptr<State> m_state;
};

} // namespace velmora::images
