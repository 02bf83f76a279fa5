#pragma once

// The transfer thread's own side: what it holds for each transfer and each caller, and how it
// moves them. Its parts, each in a file of its own:
//   TransferCarrier.cpp      transfers taken, started, queued for a place, ended; the loop's step
//   TransferSetUp.cpp        a hop's easy handle, every option in one place
//   TransferCallbacks.cpp    the head, the body and the request's body as libcurl hands them over
//   TransferConnections.cpp  which connection a request may go on, which are kept and how long
//   TransferProxyLookUps.cpp a proxied target's addresses, judged before the proxy is asked
//   TransferAhead.cpp        a write's connection opened ahead, and the write's exchange on it
// Only the transfer thread calls any of it.

#include "platform/net/ConnectionReuse.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/ResponseHeadReader.h"
#include "platform/net/TransferThread.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <deque>
#include <map>
#include <vector>

namespace velmora {

using SteadyClock = std::chrono::steady_clock;

// Whatever the caller says, a write (any method but GET and HEAD) goes once.
inline bool sentOnce(const TransferOrder& order) {
    return !order.mayBeSentTwice || (order.method != "GET" && order.method != "HEAD");
}

// A write's request and answer on a connection opened ahead (TransferAhead.cpp).
struct DirectExchange {
    QByteArray out;
    qsizetype sent = 0;
    QByteArray in; // read, not yet taken
    bool received = false;
    // How the body is framed, and what is left of it (or of the chunk under way).
    enum class Body { None, Length, Chunked, ToClose } body = Body::None;
    enum class Chunk { Size, Data, DataEnd, Trailers } chunk = Chunk::Size;
    qint64 left = 0;
};

// The tracker's use of connections (a transfer's when its order names none).
std::shared_ptr<const ConnectionUse> trackerConnections();

class TransferThread::Carrier {
public:
    explicit Carrier(CURLM* multi);
    ~Carrier();
    Carrier(const Carrier&) = delete;
    Carrier& operator=(const Carrier&) = delete;
    void take(Command command);
    // Lets libcurl move what can move, then ends what finished or passed a bound.
    void work();
    // How long the thread may sleep before a bound falls due (libcurl's own time-outs are its
    // business); at most a minute.
    int sleepMs() const;
    // Every transfer ends, told that the network is shutting down.
    void stopAll();
    // The sockets of the writes on connections opened ahead, for the loop's wait.
    std::vector<curl_waitfd> directSockets() const;
private:
    struct CurlSlistFree {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    struct Transfer {
        quint64 id = 0;
        Carrier* carrier = nullptr;
        // The hop under way: its URL, method and body as they are after any redirect.
        TransferOrder order;
        std::shared_ptr<TransferReader> reader;
        CURL* easy = nullptr;
        std::unique_ptr<curl_slist, CurlSlistFree> headerList;
        std::array<char, CURL_ERROR_SIZE> curlError{};
        std::optional<ResponseHeadReader> head;
        // Inflates the body of a caller that leaves that to the transport.
        std::unique_ptr<ContentDecoder> decoder;
        // Bytes of the answer's body as they came and as handed on, and of the request's body
        // handed to libcurl.
        qint64 bodyArrived = 0;
        qint64 bodyRead = 0;
        qint64 bodyOffset = 0;
        qint64 trailerBytes = 0;
        // The request went out on a connection (some hop's, some attempt's): it may have
        // reached the server.
        bool requestSent = false;
        // The request goes on a new connection: a kept one held bytes nobody asked for.
        bool freshConnection = false;
        ConnectionReuse reuse;
        bool headDone = false;
        // The reader asked for another hop.
        bool again = false;
        // Set by a callback that ended the hop: how the transfer ends.
        std::optional<TransferEnd> endedBy;
        // Where the first hop went, for the address rule; why an address was refused.
        std::optional<AddressPlace> start;
        QString refusal;
        bool outOfResources = false;
        // The hop's host holds one of the caller's places for it; the hop waits for one; the
        // hop's host keeps its connection; the hop's target was judged (through a proxy).
        QString host;
        bool placed = false;
        bool waiting = false;
        bool keptAlive = false;
        bool judged = false;
        int hop = 0;
        SteadyClock::time_point resourceDeadline;
        SteadyClock::time_point lastProgress;
        std::optional<SteadyClock::time_point> headDeadline;
        // Bytes the connection had received when the request went out (or an interim head
        // ended), over plain TCP: more than that, and the head has begun.
        std::optional<quint64> receivedBefore;
        curl_socket_t socket = CURL_SOCKET_BAD;
        // A proxied target's look-up, in turn with others, is held to the connection's bound.
        std::optional<SteadyClock::time_point> lookUpDeadline;
        // A connection opened ahead for a write (connected once `aheadReady`), or a write on one:
        // its request and answer then pass here, not through libcurl's HTTP.
        bool ahead = false;
        bool aheadReady = false;
        std::unique_ptr<DirectExchange> direct;
    };

    struct Idle {
        SteadyClock::time_point closesAt;
        QByteArray route; // the connection's two ends
    };

    struct KeptAlive {
        int running = 0;
        SteadyClock::time_point lastUsed;
    };

    // What the transport holds for one caller.
    struct Client {
        CURLSH* share = nullptr;
        int running = 0;
        std::map<QString, int> runningTo;
        std::map<QString, KeptAlive> keptAlive;
        std::deque<quint64> waiting;
        std::map<curl_socket_t, Idle> idle;
    };

    // The head's time runs from its first byte, which libcurl tells of only once a whole line
    // came (a head at a byte a second took minutes). Over plain TCP the connection's count of
    // bytes received says it, looked at before libcurl reads them; over TLS the first record of
    // data does (onTlsMessage).
    void noteHeadsBegun();
    static void headBegun(Transfer& transfer);
    // What the hop's connection has received so far, over plain TCP (over TLS to the server
    // its records are told apart by the TLS library's hook).
    static std::optional<quint64> bytesReceived(const Transfer& transfer);
    // A record of the server's data arrived on a TLS connection: the head of the transfer that
    // waits for one on it has begun. Called by the TLS library on the transfer thread.
    static void onTlsMessage(int written, int version, int type, const void* bytes, size_t length, SSL* ssl, void*);
    static std::optional<QString> lateness(const Transfer& transfer, SteadyClock::time_point now);
    static QString hostOf(const QUrl& url);
    static QByteArray route(const char* remote, long remotePort, long localPort);
    Client& clientOf(const Transfer& transfer);
    // --- the caller's places ---

    // Takes a place for the hop's host, or queues the hop for one.
    bool place(Transfer& transfer);
    void unplace(Transfer& transfer);
    // Starts the waiting hops that have a place now.
    void admit();
    // At most `hostsKeptAlive` hosts keep an idle connection: whether this hop's host is one.
    bool keepAlive(Transfer& transfer);
    // An idle connection past its age (its caller's, or what its server said) is shut here,
    // before libcurl may hand it another request: the server sees it closed then, and libcurl,
    // finding it dead, never does.
    void closeAgedConnections(SteadyClock::time_point now);
    bool hasTransfers(const ConnectionUse* use) const;
    void forget(const ConnectionUse* use);
    // --- connections opened ahead (TransferAhead.cpp) ---

    QString aheadKey(const Transfer& transfer) const;
    void aheadConnected(Transfer& transfer, CURLcode result);
    // Puts the write on a connection opened ahead for it, when one is ready: false otherwise.
    bool takeAhead(Transfer& transfer);
    // Sends what is left of the request and reads what came; may end the transfer.
    void pumpDirect(Transfer& transfer);
    bool readDirect(Transfer& transfer);
    void directEnded(Transfer& transfer, CURLcode result);
    void pumpDirectTransfers();

    // --- hops ---

    // Through a proxy the connection goes to the proxy, which the user named: the target's own
    // addresses are judged before the proxy is asked (looked up on a few threads, in turn),
    // or its name alone where the proxy looks names up.
    bool judgeThroughProxy(Transfer& transfer);
    void lookedUp(quint64 id, int hop, const std::vector<QHostAddress>& addresses);
    void lookedUpNow(Transfer& transfer, const std::vector<QHostAddress>& addresses);
    void beginHop(Transfer& transfer);
    // The one place a hop's handle is set up, for every caller.
    CURL* setUpEasy(Transfer& transfer);
    // Lets the hop's handle go: removed from the multi handle, which closes a connection that
    // is not done, at once. A connection the hop leaves idle is kept in mind, to be shut at
    // its age, which its answer's head may say.
    void dropHop(Transfer& transfer, bool done = false);
    // Ends the transfer, telling its reader unless told not to.
    void end(quint64 id, TransferEnd how, bool tell = true);
    void hopDone(Transfer& transfer, CURLcode result);
    // --- the head, the body and the request's body, as libcurl reads and writes them ---

    static size_t onHeader(char* data, size_t size, size_t count, void* context);
    // A body that cannot be read as its coding says: the answer is no HTTP spoken here.
    static TransferEnd unreadableBody(const QString& why);
    // The body's coding, for a caller that leaves inflating to the transport: one it reads, or
    // the hop ends. Brotli and zstd frames may ask for windows of many megabytes, which a hostile
    // answer would have allocated for it, and are never asked for.
    static bool takeCoding(Transfer& transfer);
    // The final answer's head is whole: its length is judged, then its reader says what comes
    // next. False ends the hop.
    static bool headEnded(Transfer& transfer);
    static size_t onBody(char* data, size_t size, size_t count, void* context);
    static size_t onRead(char* buffer, size_t size, size_t count, void* context);
    static int onSeek(void* context, curl_off_t offset, int origin);
    // --- connections ---

    // A new connection's address is judged before it is made (directly; a proxy the user
    // named is the user's business, its target was judged before).
    static curl_socket_t onOpenSocket(void* context, curlsocktype purpose, curl_sockaddr* address);
    static int onCloseSocket(void* context, curl_socket_t socket);
    // The request goes out on a connection, new or kept from another transfer (whose address no
    // hook of this one saw).
    static int onPrerequest(void* context, char* connectedIp, char*, int connectedPort, int localPort);
    // Every TLS connection takes the one parsed store of its trust, and writes no secret anywhere.
    static CURLcode onSslContext(CURL*, void* context, void* transferContext);
    // The carrier of the transfer thread, for the TLS library's hook, which is told no transfer.
    static inline Carrier* current = nullptr;
    CURLM* m_multi;
    std::map<quint64, std::unique_ptr<Transfer>> m_transfers;
    std::map<const ConnectionUse*, Client> m_clients;
    std::map<const ConnectionUse*, std::shared_ptr<const ConnectionUse>> m_uses;
    std::deque<const ConnectionUse*> m_admit;
};

} // namespace velmora
