#pragma once

#include "platform/async/Result.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/TransportError.h"

#include <QByteArray>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora {

// One request as the transfer thread carries it, with everything the sender's thread
// decided (headers, bounds, trust, proxy) already in it.
struct TransferOrder {
    QUrl url;
    QByteArray method = "GET";
    // "Name: value" as sent; "Name;" sends a header with an empty value and "Name:" keeps
    // one that libcurl would add of its own from going out.
    std::vector<QByteArray> headerLines;
    std::optional<QByteArray> body;
    // Whether the request may go out again on a new connection after its body began
    // (GET, PUT, DELETE...). A booking's POST may not: once a byte of its body was read it
    // is never read again, so no connection but the first can carry it.
    bool mayBeSentTwice = true;
    // No byte moved for this long ends the transfer; so does its whole time.
    std::chrono::milliseconds stallTimeout{60000};
    std::chrono::milliseconds resourceTimeout{120000};
    qint64 maxBodySize = 16 * 1024 * 1024;
    // The authorities trusted, as one PEM bundle (the system's and the extra ones); none:
    // the system's alone. Connections of one bundle never carry another's requests.
    std::shared_ptr<const QByteArray> authorities;
    // "http://host:port" or "socks5h://host:port"; empty: none, whatever the environment says.
    QByteArray proxy;
    QByteArray proxyUser;
    QByteArray proxyPassword;
};

// The one thread that carries the requests of every NetworkSession, over libcurl's multi
// interface. The bounds of an answer hold where its bytes are read, below HTTP: its head
// (every interim head counted) in bytes, lines and time, a speed floor, the request's stall
// and whole time-outs, its body's size; a transfer that passes one ends at once and costs no
// other transfer its place or its time. Names are looked up a thread per look-up, so a
// look-up that never answers holds only its own transfer.
class TransferThread {
public:
    using Outcome = Result<HttpResponse, TransportError>;
    // Called once with the transfer and its outcome, on the transfer thread (at once on the
    // caller's when the thread cannot take it), unless the transfer was cancelled first.
    using Done = std::function<void(quint64 transfer, Outcome)>;

    static TransferThread& instance();

    // Starts carrying `order` (starting the thread when it does not run) and says which
    // transfer it is.
    quint64 start(TransferOrder order, Done done);
    // Ends the transfer without telling anyone; from any thread.
    void cancel(quint64 transfer);
    // Ends every transfer without telling anyone and stops the thread (a later start starts
    // it again). The application's end and the process's exit call it.
    void stop();

    TransferThread(const TransferThread&) = delete;
    TransferThread& operator=(const TransferThread&) = delete;

private:
    class Carrier;
    struct Command {
        quint64 transfer = 0;
        std::optional<TransferOrder> order; // none: a cancellation
        Done done;
    };

    TransferThread() = default;
    void run(void* multi);

    std::mutex m_mutex;
    // The multi handle while the thread takes commands; only its wake-up is called from
    // other threads, under the mutex.
    void* m_multi = nullptr;
    std::vector<Command> m_commands;
    bool m_stopping = false;
    std::thread m_thread;
    quint64 m_nextTransfer = 1;
};

} // namespace velmora
