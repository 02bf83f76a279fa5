#pragma once

#include "platform/net/AddressRule.h"
#include "platform/net/ResponseHeadReader.h"
#include "platform/net/TrustStore.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// How one caller's transfers use connections: each caller (the trackers, each avatar session)
// gives its own, and the transport holds every transfer of that caller to it.
struct ConnectionUse {
    // Transfers under way to one host (scheme, name and port), and in all; the rest wait in
    // turn, their own time-outs running.
    int perHost = 6;
    int inAll = 48;
    // Hosts that keep an idle connection for a later transfer; a transfer to any other host
    // closes its connection once answered.
    int hostsKeptAlive = 12;
    // Without `serverKeeps`, an idle connection is closed by this side after this long, whatever
    // the server said about keeping it: a server closes idle connections after a few seconds,
    // and a request that meets one it is closing gets no answer. A connection opened ahead for a
    // write, on which nothing was said yet, keeps to it in any case.
    std::chrono::seconds idleAge{4};
    // With it, a connection idle after an answer is kept as long as its server said it keeps it
    // (`Keep-Alive: timeout=N`) less a second, `unsaid` where it said nothing, never past `most`:
    // a read goes on it as long as it lasts. Only reads may: one that meets a connection the
    // server closed anyway sees it closed before it goes (ConnectionReuse), or is sent again on
    // a new one by libcurl when the close crossed it.
    struct ServerKeeps {
        // Servers that close an idle connection within seconds say so, as a rule, in that very
        // header; load balancers in front of a tracker keep one a minute or more, unsaid.
        std::chrono::seconds unsaid{60};
        // A box on the way (an address translator, a firewall) may forget a quiet connection after
        // some minutes without a word to either end, and a read sent on it would wait for its
        // stall bound: kept no longer than this whatever the server says.
        std::chrono::seconds most{120};
    };
    std::optional<ServerKeeps> serverKeeps;
    // How long a connection is kept idle after an answer with these headers.
    std::chrono::milliseconds idleAgeAfter(const HttpHeaders& headers) const;
    // The longest any connection of this use is kept idle.
    std::chrono::seconds longestIdleAge() const {
        return serverKeeps ? std::max(idleAge, serverKeeps->most) : idleAge;
    }
    // Cookies the caller's transfers keep among themselves (a transfer takes part when its
    // order asks for them).
    bool cookies = false;
};

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
    // The look-up and the connection of a hop, TLS included: a name that never answers holds
    // the transfer's place no longer.
    std::chrono::milliseconds connectTimeout{10000};
    // The head's time: from the head's first byte (each interim head starting it again) or,
    // with `headTimeFromHopStart`, from the hop's start (look-up and connection included).
    std::chrono::milliseconds headTimeout{10000};
    bool headTimeFromHopStart = false;
    // An answer's head, every interim head before it counted; its trailers count the same.
    ResponseHeadReader::Limits headLimits{64 * 1024, 100};
    // The body as it came over the wire; past it the transfer ends where its bytes arrive.
    qint64 maxBodySize = 16 * 1024 * 1024;
    // The most bytes read from a connection at once; 0: libcurl's own.
    qint64 readBufferBytes = 0;
    // The transport asks for the codings it reads (unless the caller's own headers ask for some)
    // and inflates the body in bounded steps; false: the body is handed on as it came.
    bool inflated = true;
    // The authorities trusted; none: the system's alone.
    std::shared_ptr<const TrustStore> authorities;
    // The environment's authority file (SessionConfiguration::environmentAuthorities) adds to
    // them; read on the transfer thread, never on the sender's.
    bool environmentAuthorities = false;
    // "<scheme>://host:port" (ProxyChoice); empty: none, whatever the environment says.
    QByteArray proxy;
    QByteArray proxyUser;
    QByteArray proxyPassword;
    // The proxy the user named cannot be used: why. The transfer ends unsent (ProxyRefused).
    QString proxyRefusal;
    // Sent as basic authentication when set.
    std::optional<std::pair<QByteArray, QByteArray>> credential;
    bool cookies = false;
    // The addresses a transfer may reach; none: any (a tracker the user named may be anywhere).
    std::shared_ptr<const AddressRule> addresses;
    // The caller's use of connections; none: the trackers'.
    std::shared_ptr<const ConnectionUse> connections;
    // Opens the connection (TLS included) that the next write to this origin, of the same trust
    // and caller, will go on, and sends nothing: kept for the caller's idle age.
    bool openAheadOnly = false;
};

// The most a request's URL and headers may hold together. libcurl builds the head of a request in
// a buffer of its own bound (1 MiB) and fails past it only after the request was handed over,
// as if it might have gone out; a server refuses far less (some kilobytes).
constexpr qsizetype requestHeadBound = 512 * 1024;

inline qsizetype requestHeadSize(const TransferOrder& order) {
    qsizetype size = order.url.toEncoded().size();
    for (const QByteArray& line : order.headerLines) {
        size += line.size() + 2;
    }
    return size;
}

// How a transfer ended, as the transport saw it.
struct TransferEnd {
    enum class Kind {
        Done,             // the answer came whole
        Failed,           // libcurl's `code` says why
        TimedOut,         // a time bound passed (`message` says which)
        HeadTooLarge,     // past the head's bounds
        HeadMalformed,    // no head where one must be, or a length that is no number
        TrailersTooLarge, // the trailers after a chunked body passed the head's bound
        BodyTooLarge,     // past maxBodySize, announced or arriving
        AddressRefused,   // the address rule refused where the transfer would go
        ProxyRefused,     // the proxy the user named cannot be used, and nothing goes direct
        OutOfResources,   // no socket could be made (descriptors or memory)
        Cancelled,        // the caller ended it
        Stopped,          // the transport stopped (the application's end)
        EndedByReader,    // the reader ended it, and knows why
    };
    // What a failure below HTTP (Failed) came to.
    enum class Cause {
        None,
        TimedOut,
        NameNotFound,
        ConnectionRefused,
        ConnectionLost,
        Unsupported,    // a scheme or protocol not spoken
        BadUrl,
        TlsRefused,     // a certificate refused, or this side's trust unusable
        TlsBroken,      // the handshake broken off, as a reset before it is
        NotHttp,        // an answer that is not HTTP/1.1 as spoken here, or an unreadable coding
        OutOfResources, // memory, descriptors, handles (libcurl says "out of memory" also for a
                        // head's line past its own bound)
        Other,
    };
    Kind kind = Kind::Done;
    int code = 0; // libcurl's
    QString message;
    // The request went out on a connection: it may have reached the server.
    bool requestSent = false;
    // The final answer's head was whole.
    bool headDone = false;
    Cause cause = Cause::None;
};

// What a caller does with a transfer's answer as it arrives, on the transfer thread.
class TransferReader {
public:
    virtual ~TransferReader() = default;
    enum class Verdict {
        Take,  // the body is wanted
        Again, // a new hop with the order as the reader changed it (a redirect, a credential)
        End,   // the reader ends the transfer; its end comes as EndedByReader
    };
    // Before the first hop; false: the reader answered itself, no hop goes out and no end comes.
    virtual bool begin(TransferOrder& order) {
        Q_UNUSED(order);
        return true;
    }
    // Once the final answer's head of a hop is whole.
    virtual Verdict head(const ResponseHeadReader& head, TransferOrder& order) = 0;
    // False ends the transfer (as EndedByReader).
    virtual bool body(const char* data, qsizetype size) = 0;
    // Once, last; not after a cancellation that asked for none.
    virtual void end(const TransferEnd& end) = 0;
};

} // namespace velmora
