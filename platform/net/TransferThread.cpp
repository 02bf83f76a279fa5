#include "platform/net/TransferThread.h"

#include "platform/net/ConnectionReuse.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/Redirects.h"
#include "platform/net/ResponseHeadReader.h"

#include <QCoreApplication>

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>

namespace velmora {

namespace {

using SteadyClock = std::chrono::steady_clock;

// An answer's head, every interim head before it counted: a tracker's is a few kilobytes in
// a few dozen lines, and a front that buffers heads (4 or 8 KiB) passes none much larger.
// (libcurl holds one line in a buffer of its own bound, 100 KiB, before it hands it over.)
constexpr qint64 headBytesBound = 64 * 1024;
constexpr int headLinesBound = 100;
// From a head's first byte to its end: a head comes in a packet or two, whatever the server
// thought before it. The time to that first byte is the stall bound's.
constexpr std::chrono::milliseconds headTimeBound{10000};
// From the name's look-up to a connection made (its TLS handshake included): a name or a host
// that never answers holds a request's place no longer than this, whatever its stall bound.
constexpr std::chrono::milliseconds connectTimeBound{10000};
// Redirects a request that may go twice follows on its own server.
constexpr int redirectsBound = 20;
// Connections a host holds at most (as browsers keep), and all hosts together; connections
// kept idle for later requests.
constexpr long connectionsPerHost = 6;
constexpr long connectionsInAll = 48;
constexpr long idleConnectionsKept = 12;

long wholeMs(std::chrono::milliseconds ms) {
    return static_cast<long>(std::clamp<qint64>(ms.count(), 1, 86400000));
}

void setUpLibcurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // Registered after the TLS library set up its own clean-up at exit (when it was let to),
        // so the thread has stopped before that clean-up runs.
        std::atexit([] { TransferThread::instance().stop(); });
    });
}

} // namespace

// --- the transfer thread's side ------------------------------------------------------

class TransferThread::Carrier {
public:
    explicit Carrier(CURLM* multi) : m_multi(multi) {
        curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, connectionsPerHost);
        curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, connectionsInAll);
        curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, idleConnectionsKept);
    }

    ~Carrier() {
        for (auto& [id, transfer] : m_transfers) {
            dropHop(*transfer);
        }
    }

    Carrier(const Carrier&) = delete;
    Carrier& operator=(const Carrier&) = delete;

    void take(Command command) {
        if (!command.order) {
            if (const auto it = m_transfers.find(command.transfer); it != m_transfers.end()) {
                dropHop(*it->second);
                m_transfers.erase(it);
            }
            return;
        }
        auto owned = std::make_unique<Transfer>();
        Transfer& transfer = *owned;
        transfer.id = command.transfer;
        transfer.order = std::move(*command.order);
        transfer.done = std::move(command.done);
        const auto now = SteadyClock::now();
        transfer.resourceDeadline = now + transfer.order.resourceTimeout;
        transfer.lastProgress = now;
        m_transfers.emplace(transfer.id, std::move(owned));
        beginHop(transfer);
    }

    // Lets libcurl move what can move, then ends what finished or passed a bound.
    void work() {
        int running = 0;
        curl_multi_perform(m_multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            if (transfer) {
                hopDone(*transfer, message->data.result);
            }
        }
        const auto now = SteadyClock::now();
        std::vector<std::pair<quint64, TransportError>> late;
        for (const auto& [id, transfer] : m_transfers) {
            if (auto error = lateness(*transfer, now)) {
                late.emplace_back(id, std::move(*error));
            }
        }
        for (auto& [id, error] : late) {
            finish(id, Outcome::failure(std::move(error)));
        }
    }

    // How long the thread may sleep before a bound of a transfer falls due (libcurl's own
    // time-outs are its business); none: until woken.
    int sleepMs() const {
        auto next = SteadyClock::time_point::max();
        for (const auto& [id, transfer] : m_transfers) {
            next = std::min(next, transfer->resourceDeadline);
            next = std::min(next, transfer->lastProgress + transfer->order.stallTimeout);
            if (transfer->headDeadline) {
                next = std::min(next, *transfer->headDeadline);
            }
        }
        if (next == SteadyClock::time_point::max()) {
            return 60000;
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - SteadyClock::now()).count() + 1;
        return static_cast<int>(std::clamp<qint64>(wait, 0, 60000));
    }

private:
    struct CurlSlistFree {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    struct Transfer {
        quint64 id = 0;
        // The hop under way: its URL, method and body as they are after any redirect.
        TransferOrder order;
        Done done;
        CURL* easy = nullptr;
        std::unique_ptr<curl_slist, CurlSlistFree> headerList;
        std::array<char, CURL_ERROR_SIZE> curlError{};
        std::optional<ResponseHeadReader> head;
        HttpResponse response;
        std::unique_ptr<ContentDecoder> decoder;
        // Bytes of the answer's body as they came and as kept, and of the request's body
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
        bool redirecting = false;
        int redirects = 0;
        // Set by a callback that ended the hop: how the transfer ends.
        std::optional<TransportError> endedBy;
        SteadyClock::time_point resourceDeadline;
        SteadyClock::time_point lastProgress;
        std::optional<SteadyClock::time_point> headDeadline;
    };

    static std::optional<TransportError> lateness(const Transfer& transfer, SteadyClock::time_point now) {
        using Kind = TransportError::Kind;
        if (now >= transfer.resourceDeadline) {
            return TransportError{Kind::TimedOut, QStringLiteral("the request did not end in time"), false};
        }
        if (now - transfer.lastProgress >= transfer.order.stallTimeout) {
            return TransportError{Kind::TimedOut, QStringLiteral("nothing arrived for a while"), false};
        }
        if (transfer.headDeadline && now >= *transfer.headDeadline) {
            return TransportError{Kind::TimedOut, QStringLiteral("the answer's head did not end"), false};
        }
        return std::nullopt;
    }

    // --- hops ---

    void beginHop(Transfer& transfer) {
        transfer.curlError.fill(0);
        transfer.head.emplace(ResponseHeadReader::Limits{headBytesBound, headLinesBound});
        transfer.headDeadline.reset();
        transfer.headDone = false;
        transfer.redirecting = false;
        transfer.decoder.reset();
        transfer.bodyArrived = 0;
        transfer.bodyRead = 0;
        transfer.bodyOffset = 0;
        transfer.trailerBytes = 0;
        transfer.response = HttpResponse();
        CURL* easy = curl_easy_init();
        if (!easy) {
            finish(transfer.id, Outcome::failure({TransportError::Kind::ConnectionFailed,
                                                  QStringLiteral("no transfer could be made"), true}));
            return;
        }
        transfer.easy = easy;
        const TransferOrder& order = transfer.order;
        const QByteArray url = order.url.toEncoded();
        curl_easy_setopt(easy, CURLOPT_URL, url.constData());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.curlError.data());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // Leaving a transfer whose look-up has not answered never waits for the look-up's thread.
        curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
        // One answer per connection, read as lines: the head's bounds are this side's.
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (order.authorities) {
            curl_blob blob{const_cast<char*>(order.authorities->constData()),
                           size_t(order.authorities->size()), CURL_BLOB_COPY};
            curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        }
        curl_easy_setopt(easy, CURLOPT_PROXY, order.proxy.constData());
        if (!order.proxyUser.isEmpty()) {
            curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, order.proxyUser.constData());
            curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, order.proxyPassword.constData());
        }
        // A proxy's answer to CONNECT is libcurl's to read; only the server's heads come here.
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        // The body comes as sent; this side inflates it, in slices its bound can stop.
        curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
        // Time below HTTP too: the whole transfer, its connection, and a floor of a byte a second
        // over the stall bound. This side's own clock ends them to the millisecond.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(transfer.resourceDeadline -
                                                                                SteadyClock::now());
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, wholeMs(left));
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         wholeMs(std::min({left, order.stallTimeout, connectTimeBound})));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>(std::max<qint64>(1, (order.stallTimeout.count() + 999) / 1000)));
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Carrier::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Carrier::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Carrier::onPrerequest);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
        transfer.reuse.watch(easy);
        // A booking's answer is its own only on a connection that carried nothing before it, and
        // none after it may take a late second answer to it.
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT,
                         long(transfer.freshConnection || !order.mayBeSentTwice));
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, long(!order.mayBeSentTwice));

        curl_slist* list = nullptr;
        bool askedCodings = false;
        for (const QByteArray& line : order.headerLines) {
            list = curl_slist_append(list, line.constData());
            askedCodings = askedCodings || line.toLower().startsWith("accept-encoding");
        }
        if (!askedCodings) {
            list = curl_slist_append(list,
                                     ("Accept-Encoding: " + ContentDecoder::acceptedEncodings()).constData());
        }
        // libcurl would ask the server to wait for a go before a large body; nobody waits here.
        list = curl_slist_append(list, "Expect:");
        transfer.headerList.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

        if (order.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (order.body) {
            // Read from here, never handed over whole: libcurl can send it again only by
            // seeking back to its start, which only a request that may go twice allows.
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(order.body->size()));
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Carrier::onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Carrier::onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
            if (order.method != "POST") {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, order.method.constData());
            }
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
            if (order.method != "GET") {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, order.method.constData());
            }
        }
        if (curl_multi_add_handle(m_multi, easy) != CURLM_OK) {
            finish(transfer.id, Outcome::failure({TransportError::Kind::ConnectionFailed,
                                                  QStringLiteral("no transfer could be started"), true}));
        }
    }

    // Lets the hop's handle go: removed from the multi handle, which closes a connection that
    // is not done, at once.
    void dropHop(Transfer& transfer) {
        if (CURL* easy = std::exchange(transfer.easy, nullptr)) {
            curl_multi_remove_handle(m_multi, easy);
            curl_easy_cleanup(easy);
        }
        transfer.headerList.reset();
    }

    void finish(quint64 id, Outcome outcome) {
        auto node = m_transfers.extract(id);
        if (node.empty()) {
            return;
        }
        Transfer& transfer = *node.mapped();
        dropHop(transfer);
        if (transfer.done) {
            transfer.done(transfer.id, std::move(outcome));
        }
    }

    void hopDone(Transfer& transfer, CURLcode result) {
        if (transfer.reuse.refusedConnection() && !transfer.freshConnection) {
            // Nothing of the request went out: it goes again, once, on a new connection.
            dropHop(transfer);
            transfer.freshConnection = true;
            beginHop(transfer);
        } else if (transfer.endedBy) {
            finish(transfer.id, Outcome::failure(*transfer.endedBy));
        } else if (transfer.redirecting) {
            followRedirect(transfer);
        } else if (result == CURLE_OK && transfer.headDone && transfer.decoder && transfer.bodyArrived > 0 &&
                   !transfer.decoder->isComplete()) {
            finish(
                transfer.id,
                Outcome::failure({TransportError::Kind::ProtocolFailure,
                                  QStringLiteral("the compressed answer ended before its own end"), false}));
        } else if (result == CURLE_OK && transfer.headDone) {
            finish(transfer.id, Outcome::success(std::move(transfer.response)));
        } else {
            finish(transfer.id, Outcome::failure(failureOf(transfer, result)));
        }
    }

    static TransportError failureOf(const Transfer& transfer, CURLcode result) {
        using Kind = TransportError::Kind;
        const QString what = transfer.curlError[0] ? QString::fromUtf8(transfer.curlError.data())
                                                   : QString::fromUtf8(curl_easy_strerror(result));
        // Until the request went out on a connection, nothing of it reached the server.
        const bool neverSent = !transfer.requestSent;
        switch (result) {
        case CURLE_OPERATION_TIMEDOUT:
            return {Kind::TimedOut, what, false};
        // A certificate refused, or this side's trust unusable. A handshake the server broke
        // off (CURLE_SSL_CONNECT_ERROR) is a connection that failed, as a reset before it is.
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return {Kind::TlsFailure, what, neverSent};
        case CURLE_OUT_OF_MEMORY:
            if (transfer.requestSent && !transfer.headDone) {
                // What libcurl says when a line of the head passes its buffer's bound.
                return {Kind::ProtocolFailure, QStringLiteral("a line of the answer's head is too long"),
                        false};
            }
            return {Kind::ConnectionFailed, what, neverSent};
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return {Kind::ProtocolFailure, what, false};
        default:
            return {Kind::ConnectionFailed, what, neverSent};
        }
    }

    void followRedirect(Transfer& transfer) {
        using Kind = TransportError::Kind;
        const QUrl from = transfer.order.url;
        const int status = transfer.head->status();
        QByteArray location;
        for (const auto& [name, value] : transfer.head->headers()) {
            if (name.compare("Location", Qt::CaseInsensitive) == 0) {
                location = value;
            }
        }
        dropHop(transfer);
        const QUrl to = from.resolved(QUrl::fromEncoded(location));
        if (++transfer.redirects > redirectsBound) {
            finish(transfer.id,
                   Outcome::failure({Kind::ConnectionFailed,
                                     QStringLiteral("more than %1 redirects").arg(redirectsBound), false}));
            return;
        }
        if (!to.isValid() || !isSameOrigin(from, to)) {
            // Headers such as "Authorization" never travel to another server.
            finish(transfer.id,
                   Outcome::failure({Kind::ConnectionFailed,
                                     QStringLiteral("a redirect to another server refused"), false}));
            return;
        }
        TransferOrder& order = transfer.order;
        order.url = to;
        if (status != 307 && status != 308 && order.method != "HEAD") {
            order.method = "GET";
            order.body.reset();
        }
        beginHop(transfer);
    }

    // --- the head, the body and the request's body, as libcurl reads and writes them ---

    static size_t onHeader(char* data, size_t size, size_t count, void* context) {
        auto& transfer = *static_cast<Transfer*>(context);
        const size_t length = size * count;
        const auto now = SteadyClock::now();
        transfer.lastProgress = now;
        if (transfer.endedBy || transfer.redirecting) {
            return 0;
        }
        if (transfer.headDone) {
            // Trailers after a chunked body: counted against the head's bound, otherwise unread.
            transfer.trailerBytes += qint64(length);
            if (transfer.trailerBytes > headBytesBound) {
                transfer.endedBy =
                    TransportError{TransportError::Kind::ProtocolFailure,
                                   QStringLiteral("the answer's trailers are too long"), false};
                return 0;
            }
            return length;
        }
        if (!transfer.headDeadline) {
            transfer.headDeadline = now + std::min(headTimeBound, transfer.order.stallTimeout);
        }
        switch (transfer.head->addLine(QByteArrayView(data, qsizetype(length)))) {
        case ResponseHeadReader::Step::More:
            return length;
        case ResponseHeadReader::Step::InterimDone:
            // The final answer may take the server's time to come, as any answer may.
            transfer.headDeadline.reset();
            return length;
        case ResponseHeadReader::Step::TooLarge:
            transfer.endedBy =
                TransportError{TransportError::Kind::ProtocolFailure,
                               QStringLiteral("the answer's head is longer than %1 bytes or %2 lines")
                                   .arg(headBytesBound)
                                   .arg(headLinesBound),
                               false};
            return 0;
        case ResponseHeadReader::Step::Malformed:
            transfer.endedBy = TransportError{TransportError::Kind::ProtocolFailure,
                                              QStringLiteral("the answer's head is malformed"), false};
            return 0;
        case ResponseHeadReader::Step::Done:
            break;
        }
        transfer.headDeadline.reset();
        return headEnded(transfer) ? length : 0;
    }

    // The final answer's head is whole: a redirect is followed (by a request that may go
    // twice), an answer is taken. False ends the hop.
    static bool headEnded(Transfer& transfer) {
        using Kind = TransportError::Kind;
        const ResponseHeadReader& head = *transfer.head;
        HttpResponse& response = transfer.response;
        response.statusCode = head.status();
        response.headers = head.headers();
        response.url = transfer.order.url;
        if (isRedirectStatus(response.statusCode) && response.header("Location") &&
            transfer.order.mayBeSentTwice) {
            transfer.redirecting = true;
            return false;
        }
        if (const auto coding = response.header("Content-Encoding")) {
            if (!ContentDecoder::isReadable(*coding)) {
                transfer.endedBy =
                    TransportError{Kind::ProtocolFailure,
                                   QStringLiteral("the answer is encoded as %1, which was not asked for")
                                       .arg(QString::fromLatin1(coding->left(64))),
                                   false};
                return false;
            }
            transfer.decoder = ContentDecoder::forEncoding(*coding);
        }
        const qint64 maxBody = std::max<qint64>(transfer.order.maxBodySize, 0);
        if (const auto length = response.header("Content-Length");
            length && transfer.order.method != "HEAD") {
            bool ok = false;
            const qint64 announced = length->trimmed().toLongLong(&ok);
            if (!ok || announced > maxBody) {
                transfer.endedBy =
                    ok ? TransportError{Kind::TooLarge, QStringLiteral("more than %1 bytes").arg(maxBody),
                                        false}
                       : TransportError{Kind::ProtocolFailure,
                                        QStringLiteral("the answer's length is no number"), false};
                return false;
            }
        }
        transfer.headDone = true;
        return true;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* context) {
        auto& transfer = *static_cast<Transfer*>(context);
        const size_t length = size * count;
        transfer.lastProgress = SteadyClock::now();
        if (transfer.endedBy || !transfer.headDone) {
            return 0;
        }
        const qint64 maxBody = std::max<qint64>(transfer.order.maxBodySize, 0);
        // Ended where its bytes arrive, as they came and as inflated: nothing past the bound is
        // kept or waits.
        const auto keep = [&transfer, maxBody](const char* bytes, qsizetype size) {
            if (transfer.bodyRead + size > maxBody) {
                transfer.endedBy = TransportError{TransportError::Kind::TooLarge,
                                                  QStringLiteral("more than %1 bytes").arg(maxBody), false};
                return false;
            }
            transfer.bodyRead += size;
            transfer.response.body.append(bytes, size);
            return true;
        };
        transfer.bodyArrived += qint64(length);
        if (!transfer.decoder) {
            return keep(data, qsizetype(length)) ? length : 0;
        }
        if (transfer.bodyArrived > maxBody) {
            transfer.endedBy = TransportError{TransportError::Kind::TooLarge,
                                              QStringLiteral("more than %1 bytes").arg(maxBody), false};
            return 0;
        }
        if (transfer.decoder->feed(data, qsizetype(length), keep) == ContentDecoder::Result::Corrupt) {
            transfer.endedBy =
                TransportError{TransportError::Kind::ProtocolFailure,
                               QStringLiteral("the compressed answer does not inflate"), false};
        }
        return transfer.endedBy ? 0 : length;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* context) {
        auto& transfer = *static_cast<Transfer*>(context);
        transfer.lastProgress = SteadyClock::now();
        const QByteArray& body = *transfer.order.body;
        const qint64 n = std::min<qint64>(qint64(size * count), body.size() - transfer.bodyOffset);
        if (n <= 0) {
            return 0;
        }
        std::memcpy(buffer, body.constData() + transfer.bodyOffset, size_t(n));
        transfer.bodyOffset += n;
        return size_t(n);
    }

    static int onSeek(void* context, curl_off_t offset, int origin) {
        auto& transfer = *static_cast<Transfer*>(context);
        if (!transfer.order.mayBeSentTwice) {
            // libcurl seeks back to send the body again on a new connection, after the one it
            // went out on closed without an answer: the server may have taken it.
            return CURL_SEEKFUNC_CANTSEEK;
        }
        if (origin != SEEK_SET || offset < 0 || offset > transfer.order.body->size()) {
            return CURL_SEEKFUNC_FAIL;
        }
        transfer.bodyOffset = qint64(offset);
        return CURL_SEEKFUNC_OK;
    }

    static int onPrerequest(void* context, char* peerAddress, char*, int peerPort, int localPort) {
        auto& transfer = *static_cast<Transfer*>(context);
        if (!transfer.reuse.mayCarryRequest(peerAddress, peerPort, localPort)) {
            return CURL_PREREQFUNC_ABORT;
        }
        transfer.requestSent = true;
        return CURL_PREREQFUNC_OK;
    }

    CURLM* m_multi;
    std::map<quint64, std::unique_ptr<Transfer>> m_transfers;
};

// --- TransferThread ------------------------------------------------------------------

TransferThread& TransferThread::instance() {
    // Never destroyed: the process's exit stops its thread, and nothing may outlive it.
    static TransferThread* const thread = new TransferThread;
    return *thread;
}

quint64 TransferThread::start(TransferOrder order, Done done) {
    setUpLibcurl();
    quint64 id = 0;
    bool refused = false;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextTransfer++;
        if (!m_stopping && !m_multi && !m_thread.joinable()) {
            CURLM* multi = curl_multi_init();
            if (multi) {
                m_multi = multi;
                m_thread = std::thread([this, multi] { run(multi); });
                if (QCoreApplication::instance()) {
                    // The application's end stops the thread while the application is still
                    // there (a transfer's end may post to it).
                    qAddPostRoutine([] { TransferThread::instance().stop(); });
                }
            }
        }
        if (m_multi && !m_stopping) {
            m_commands.push_back({id, std::move(order), std::move(done)});
            curl_multi_wakeup(static_cast<CURLM*>(m_multi));
        } else {
            refused = true;
        }
    }
    if (refused) {
        // Stopping, or libcurl could not start: nothing was sent.
        done(id, Outcome::failure({TransportError::Kind::ConnectionFailed,
                                   QStringLiteral("the network is shutting down"), true}));
    }
    return id;
}

void TransferThread::cancel(quint64 transfer) {
    std::lock_guard lock(m_mutex);
    if (!m_multi) {
        return;
    }
    m_commands.push_back({transfer, std::nullopt, {}});
    curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

void TransferThread::stop() {
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable()) {
            return;
        }
        m_stopping = true;
        if (m_multi) {
            curl_multi_wakeup(static_cast<CURLM*>(m_multi));
        }
        thread = std::move(m_thread);
    }
    thread.join();
    std::lock_guard lock(m_mutex);
    m_stopping = false;
}

void TransferThread::run(void* handle) {
    pthread_setname_np(pthread_self(), "velmora-net");
    auto* multi = static_cast<CURLM*>(handle);
    {
        Carrier carrier(multi);
        for (;;) {
            std::vector<Command> commands;
            {
                std::lock_guard lock(m_mutex);
                if (m_stopping) {
                    // No wake-up reaches the handle from now on.
                    m_multi = nullptr;
                    m_commands.clear();
                    break;
                }
                commands.swap(m_commands);
            }
            for (Command& command : commands) {
                carrier.take(std::move(command));
            }
            carrier.work();
            curl_multi_poll(multi, nullptr, 0, carrier.sleepMs(), nullptr);
        }
    }
    curl_multi_cleanup(multi);
}

} // namespace velmora
