#pragma once

#include "platform/async/Result.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/TransferOrder.h"
#include "platform/net/TransportError.h"

#include <QByteArray>
#include <QHostAddress>
#include <QUrl>

#include <functional>
#include <memory>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora {

// The one thread that carries every HTTP request of the process (tracker requests and avatars)
// over one libcurl multi handle. The bounds of an answer hold where its bytes are read, below
// HTTP: its head (every interim head counted) in bytes, lines and time, a speed floor, the
// request's stall and whole time-outs, its connection's time, its body's size; a transfer that
// passes one ends at once and costs no other transfer its place or its time. Each caller's
// transfers keep to that caller's use of connections (ConnectionUse). One store of authorities
// per trust is shared by every connection, and TLS sessions are resumed. libcurl looks a direct
// connection's name up on a thread per look-up, so one that never answers holds only its own
// transfer; a proxied target's names, judged here before the proxy is asked, are looked up on
// a few threads in turn, each transfer held to its connection's bound meanwhile.
class TransferThread {
public:
    using Outcome = Result<HttpResponse, TransportError>;
    // Called once with the transfer and its outcome, on the transfer thread (at once on the
    // caller's when the thread cannot take it), unless the transfer was cancelled first.
    using Done = std::function<void(quint64 transfer, Outcome)>;

    static TransferThread& instance();

    // Starts carrying `order` (starting the thread when it does not run) and says which
    // transfer it is: its answer whole, as a tracker request wants it.
    quint64 start(TransferOrder order, Done done);
    // The same, the answer handed to `reader` as it arrives.
    quint64 start(TransferOrder order, std::shared_ptr<TransferReader> reader);
    // Opens ahead the connection a write to `order`'s origin will go on (the order's trust and
    // caller; never through a proxy), so that write pays no handshake: it goes on it alone.
    void openAhead(TransferOrder order);
    // Ends the transfer, telling its reader (as Cancelled) only when `tell`; from any thread.
    void cancel(quint64 transfer, bool tell = false);
    // Ends every transfer of that use of connections without telling anyone, and lets go of
    // what the transport kept for it; returns once done (on the transfer thread itself, at once,
    // the thread doing it next).
    void forget(const ConnectionUse* use);
    // Ends every transfer, each told that the network is shutting down, and stops the thread (a
    // later start starts it again). The application's end and the process's exit call it.
    void stop();
    // Whether the caller runs on the transfer thread, where readers are called.
    bool isCurrentThread() const;

    TransferThread(const TransferThread&) = delete;
    TransferThread& operator=(const TransferThread&) = delete;

private:
    class Carrier;
    struct Command {
        enum class Kind { Start, Cancel, Forget, LookedUp };
        Kind kind = Kind::Start;
        quint64 transfer = 0;
        std::optional<TransferOrder> order;
        std::shared_ptr<TransferReader> reader;
        bool tell = false;
        const ConnectionUse* use = nullptr;
        std::shared_ptr<std::promise<void>> forgotten;
        int hop = 0;
        std::optional<std::vector<QHostAddress>> addresses;
    };

    TransferThread() = default;
    void run(void* multi);
    quint64 nextTransfer();
    void startAs(quint64 id, TransferOrder order, std::shared_ptr<TransferReader> reader);
    void post(Command command);

    mutable std::mutex m_mutex;
    // The multi handle while the thread takes commands; only its wake-up is called from
    // other threads, under the mutex.
    void* m_multi = nullptr;
    std::vector<Command> m_commands;
    bool m_stopping = false;
    std::thread m_thread;
    std::thread::id m_threadId;
    quint64 m_nextTransfer = 1;
};

} // namespace velmora
