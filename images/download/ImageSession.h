#pragma once

#include "images/download/ImageRequest.h"
#include "images/download/ImageResponse.h"
#include "platform/net/TransferOrder.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <optional>

namespace velmora::images {

class ImageDataTask;
class ImageError;
class ImageSession;
class ImageUrlCache;

// The session a task belongs to, or none once the session is gone.
struct ImageSessionLink {
    std::mutex mutex;
    ImageSession* session = nullptr;
};

// What a finished transfer took: when it began and ended, how often it was redirected.
struct ImageTaskMetrics {
    QDateTime fetchStart;
    QDateTime responseEnd;
    int redirectCount = 0;
};

// A user name and password for servers that ask for them.
struct ImageCredential {
    QString user;
    QString password;
};

// Receives the events of a session's transfers, all on the network thread,
// one at a time, in the order they happen for each transfer.
class ImageSessionDelegate {
public:
    virtual ~ImageSessionDelegate() = default;
    // The head of the answer arrived. `completion(true)` lets the body come,
    // `completion(false)` ends the transfer, which then completes as cancelled.
    virtual void didReceiveResponse(ImageDataTask& task, const ImageResponse& response,
                                    const std::function<void(bool allow)>& completion) {
        Q_UNUSED(task);
        Q_UNUSED(response);
        completion(true);
    }
    virtual void didReceiveData(ImageDataTask& task, const QByteArray& data) {
        Q_UNUSED(task);
        Q_UNUSED(data);
    }
    // A server asked for a user name and password; `previousFailureCount` says how often
    // the ones given were refused. None: no answer, the transfer fails.
    virtual std::optional<ImageCredential> credentialForChallenge(ImageDataTask& task,
                                                                  int previousFailureCount) {
        Q_UNUSED(task);
        Q_UNUSED(previousFailureCount);
        return std::nullopt;
    }
    virtual void didFinishCollectingMetrics(ImageDataTask& task, const ImageTaskMetrics& metrics) {
        Q_UNUSED(task);
        Q_UNUSED(metrics);
    }
    // The transfer ended; `error` is null on success. Transport failures are errors of
    // ImageSession::urlErrorDomain.
    virtual void didComplete(ImageDataTask& task, const ImageError& error) = 0;
};

// Image transfers over HTTP and HTTPS only, carried by the process's one transport (the network
// thread of platform/net) under the session's own bounds, with a disk-backed URL cache. A transfer of any other URL completes at once
// as UnsupportedURL. Each transfer ends as TimedOut at its time-out, counted for the whole transfer,
// when it receives nothing for its stall bound, and when its head is not whole within its own
// bound; a head past `maximumHeaderBytes` or `maximumHeaderLines` (interim 1xx heads counted, then
// skipped) ends it as BadServerResponse where the bytes arrive. At most `readBufferBytes` are read
// at once, and a body past the request's bound ends the transfer where its bytes arrive
// (DataLengthExceedsMaximum); a compressed body that stops before its own end, or a body shorter
// than its length, is a failed transfer. Each connection's address is judged before it is made and
// again before a request goes out on it (placeOf), or through the user's proxy the target's own
// addresses before the proxy is asked: never the local link, and for a redirect never
// further inward than the first hop went. At most `maximumRedirects` redirects are followed. A host
// holds at most `connectionsPerHost` connections and the session `connections`; at most
// `hostsKeptAlive` hosts keep an idle connection, which this side closes after
// `idleConnectionSeconds` whatever the server said. Names are looked up a thread per look-up, so a
// look-up that never answers holds only its own transfer. TLS is always verified; tests add their
// certificate authority to `extraCaCertificates`.
class ImageSession {
public:
    // The domain of transport errors and its codes (HTTP answers of any status are not
    // errors here: judging them is the delegate's business).
    static constexpr QLatin1String urlErrorDomain{"VelmoraURLErrorDomain"};
    enum UrlErrorCode : int {
        Unknown = -1,
        Cancelled = -999,
        BadURL = -1000,
        TimedOut = -1001,
        UnsupportedURL = -1002,
        CannotFindHost = -1003,
        CannotConnectToHost = -1004,
        NetworkConnectionLost = -1005,
        NotConnectedToInternet = -1009,
        BadServerResponse = -1011,
        UserAuthenticationRequired = -1013,
        SecureConnectionFailed = -1200,
        FileDoesNotExist = -1100,
        TooManyRedirects = -1007,
        DataLengthExceedsMaximum = -1103,
        // The network layer failed without saying how (out of descriptors or memory, ...).
        CannotLoadFromNetwork = -2000,
        // An address the transfer may not go to: the local link, or for a redirect further
        // inward than the transfer started.
        AddressRefused = -1030,
    };

    // Where an address leads, seen from the user's machine.
    using Place = AddressPlace;
    static Place placeOf(const QHostAddress& address);
    // Whether a redirect from a transfer that started at `start` may go to `to`: never further
    // inward, never to the local link (public: public only; private: private or public;
    // loopback: loopback only).
    static bool mayRedirect(Place start, Place to);

    struct Configuration {
        // The folder of the URL cache; empty: the app's cache folder.
        QString urlCacheDirectory;
        qint64 urlCacheMaximumSize = 50ll * 1024 * 1024;
        // Authorities trusted beside the system's; the process-wide test authorities of
        // platform/net are always added.
        QList<QSslCertificate> extraCaCertificates;
        // Applies when a request carries no time-out of its own; either bounds the whole transfer.
        double requestTimeoutSeconds = 60.0;
        // Applies when a request carries no stall bound of its own: a transfer that receives
        // nothing (no head, no byte) for this long ends as timed out.
        double stallTimeoutSeconds = 5.0;
        // The most bytes a reply holds for its transfer between two reads: the server waits
        // for the rest.
        qint64 readBufferBytes = 64 * 1024;
        // Redirects one transfer follows at most.
        int maximumRedirects = 5;
        // An answer's head (every interim head before it counted): far past what an image server
        // sends (a few hundred bytes in a dozen lines), far below what costs anything to hold.
        qint64 maximumHeaderBytes = 64 * 1024;
        int maximumHeaderLines = 100;
        // From a hop's start (look-up and connection included) to the end of its head.
        double headTimeoutSeconds = 10.0;
        // The look-up and the connection of a hop, TLS included.
        double connectTimeoutSeconds = 10.0;
        // Connections a host holds at most, and the session in all; a transfer past them waits
        // for one to free (its own time-outs running).
        int connectionsPerHost = 6;
        int connections = 48;
        // An idle connection is closed by this side after this many seconds, and at most this many
        // hosts keep one: a transfer to any other host closes its connection once answered.
        int idleConnectionSeconds = 5;
        int hostsKeptAlive = 6;
        // Where an address leads; none: placeOf. Tests stand loopback addresses in for the others.
        std::function<Place(const QHostAddress&)> placeOfAddress;
    };

    ImageSession(Configuration configuration, ImageSessionDelegate* delegate);
    // Whether a session fetches the URL at all: http and https, nothing else.
    static bool isFetchable(const QUrl& url);
    // Cancels all transfers. No delegate call happens after. Not from the network thread.
    ~ImageSession();
    // What the destructor does, for a session that lives on: later tasks are refused and a
    // cached answer reads as none. Not from the network thread.
    void stop();
    ImageSession(const ImageSession&) = delete;
    ImageSession& operator=(const ImageSession&) = delete;

    const Configuration& configuration() const { return m_configuration; }
    ImageSessionDelegate* delegate() const;

    // A transfer of `request`, started by `resume`. `storesInUrlCache` says whether the
    // answer may be kept in the URL cache.
    std::shared_ptr<ImageDataTask> dataTask(const ImageRequest& request, bool storesInUrlCache);

    // The URL cache's stored answer for a URL and its body.
    struct CachedResponse {
        ImageResponse response;
        QByteArray data;
    };
    std::optional<CachedResponse> cachedResponse(const QUrl& url) const;

    // No delegate call happens after this, nor is one under way once it returns (called on the
    // transport's thread, from within a delegate call, only that call's own end is left); with
    // `cancelTasks` running transfers are cancelled, otherwise they run on unobserved.
    void invalidate(bool cancelTasks);
    bool isInvalidated() const { return m_invalidated.load(); }

private:
    friend class ImageDataTask;
    class Transfer;
    void resume(const std::shared_ptr<ImageDataTask>& task);
    void cancel(quint64 taskIdentifier);
    void transferEnded(quint64 taskIdentifier);

    Configuration m_configuration;
    std::atomic<ImageSessionDelegate*> m_delegate;
    std::atomic<bool> m_invalidated{false};
    // Held while the delegate is called: see invalidate().
    mutable std::recursive_mutex m_delivery;
    // What the session's transfers are given: its use of connections, its address rule, its
    // trust, its URL cache.
    std::shared_ptr<const ConnectionUse> m_connections;
    std::shared_ptr<const AddressRule> m_addresses;
    std::shared_ptr<const TrustStore> m_trust;
    std::shared_ptr<ImageUrlCache> m_urlCache;
    // Running transfers by task; none is started once stopped.
    mutable std::mutex m_mutex;
    std::map<quint64, quint64> m_transfers;
    bool m_stopped = false;
    std::atomic<quint64> m_nextIdentifier{1};
    std::shared_ptr<ImageSessionLink> m_link;
};

// One transfer of an ImageSession.
class ImageDataTask : public std::enable_shared_from_this<ImageDataTask> {
public:
    enum class Priority { Low, Default, High };

    using SessionLink = ImageSessionLink;

    ImageDataTask(std::shared_ptr<SessionLink> link, quint64 identifier, ImageRequest request,
                  bool storesInUrlCache);

    quint64 taskIdentifier() const { return m_identifier; }
    const ImageRequest& originalRequest() const { return m_request; }
    bool storesInUrlCache() const { return m_storesInUrlCache; }
    Priority priority() const { return m_priority.load(); }
    void setPriority(Priority priority) { m_priority = priority; }

    void resume();
    // Ends the transfer; a task cancelled before it began never goes out.
    void cancel();
    bool isCancelled() const { return m_cancelled.load(); }

private:
    std::shared_ptr<SessionLink> m_link;
    quint64 m_identifier;
    ImageRequest m_request;
    bool m_storesInUrlCache;
    std::atomic<Priority> m_priority{Priority::Default};
    std::atomic<bool> m_resumed{false};
    std::atomic<bool> m_cancelled{false};
};

} // namespace velmora::images
