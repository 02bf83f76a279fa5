#include "platform/net/NetworkSession.h"

#include "platform/net/ProxyChoice.h"
#include "platform/net/TransferThread.h"
#include "platform/net/TrustStore.h"

#include <QCoreApplication>
#include <QLocale>
#include <QThread>
#include <QThreadStorage>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace velmora {

namespace {

using SessionOutcome = Result<HttpResponse, TransportError>;
using SessionSink = std::function<void(SessionOutcome)>;

// Requests the main thread sends while they are held: each starts on release, unless it
// was cancelled meanwhile. Only the main thread holds or releases, and only its own
// requests wait.
bool mainThreadHolding = false;
std::vector<std::function<void()>>* heldStarts = nullptr;

bool onMainThread() {
    const auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// A held request as a cancellation from any thread may see it.
struct HeldStart {
    std::mutex mutex;
    bool cancelled = false;
    std::function<void()> cancel; // the started request's, once it started
};

class ReplyMailbox;

// A thread's mailbox as the transfer thread may see it: gone (null) once the mailbox is.
struct MailboxLink {
    std::mutex mutex;
    ReplyMailbox* mailbox = nullptr;
};

// Where the outcomes of a thread's requests arrive, on that thread: it keeps their sinks,
// which are called, and let go, only there. Gone with its thread (the main thread's with the
// application), and with it every sink it kept and every transfer they waited for.
class ReplyMailbox final : public QObject {
public:
    ReplyMailbox() : m_link(std::make_shared<MailboxLink>()) { m_link->mailbox = this; }
    ~ReplyMailbox() override {
        {
            std::lock_guard lock(m_link->mutex);
            m_link->mailbox = nullptr;
        }
        for (const auto& [transfer, sink] : m_sinks) {
            TransferThread::instance().cancel(transfer);
        }
    }
    ReplyMailbox(const ReplyMailbox&) = delete;
    ReplyMailbox& operator=(const ReplyMailbox&) = delete;

    const std::shared_ptr<MailboxLink>& link() const { return m_link; }
    void keep(quint64 transfer, SessionSink sink) { m_sinks.emplace(transfer, std::move(sink)); }
    void forget(quint64 transfer) { m_sinks.erase(transfer); }
    void deliver(quint64 transfer, SessionOutcome outcome) {
        const auto it = m_sinks.find(transfer);
        if (it == m_sinks.end()) {
            return;
        }
        SessionSink sink = std::move(it->second);
        m_sinks.erase(it);
        sink(std::move(outcome));
    }

    // Runs `call` on the mailbox's thread, from any thread; nothing when it is gone.
    static void post(const std::shared_ptr<MailboxLink>& link, std::function<void(ReplyMailbox&)> call) {
        std::lock_guard lock(link->mutex);
        if (ReplyMailbox* mailbox = link->mailbox) {
            // A posted call whose mailbox goes first is dropped with it.
            QMetaObject::invokeMethod(
                mailbox, [mailbox, call = std::move(call)] { call(*mailbox); }, Qt::QueuedConnection);
        }
    }

private:
    std::shared_ptr<MailboxLink> m_link;
    std::map<quint64, SessionSink> m_sinks;
};

// The main thread's mailbox goes while the application object is still there; any other
// thread's with its thread.
ReplyMailbox* mainThreadMailbox = nullptr;

void deleteMainThreadMailbox() {
    delete std::exchange(mainThreadMailbox, nullptr);
}

ReplyMailbox& threadMailbox() {
    if (onMainThread()) {
        if (!mainThreadMailbox) {
            mainThreadMailbox = new ReplyMailbox;
            qAddPostRoutine(deleteMainThreadMailbox);
        }
        return *mainThreadMailbox;
    }
    static QThreadStorage<ReplyMailbox*> perThread;
    if (!perThread.hasLocalData()) {
        perThread.setLocalData(new ReplyMailbox);
    }
    return *perThread.localData();
}

// A line break (or NUL) in a header would end the header early: whatever follows it,
// say from a token that arrived by link, would go out as further headers or even as
// a second request on the same connection.
bool headersAreSafe(const HttpHeaders& headers) {
    for (const auto& [name, value] : headers) {
        for (const QByteArray* text : {&name, &value}) {
            if (text->contains('\r') || text->contains('\n') || text->contains('\0')) {
                return false;
            }
        }
    }
    return true;
}

// A read alone: any write (a PUT or DELETE too) goes once, as a booking's POST does.
bool mayBeSentTwice(const QByteArray& method) {
    return method == "GET" || method == "HEAD";
}

// The languages the user reads, as Qt told servers: "de-DE,en,*".
QByteArray acceptedLanguages() {
    const QString locale = QLocale::system().name().replace(QLatin1Char('_'), QLatin1Char('-'));
    if (locale == QLatin1String("C")) {
        return "en,*";
    }
    if (locale.startsWith(QLatin1String("en-"))) {
        return locale.toLatin1() + ",*";
    }
    return locale.toLatin1() + ",en,*";
}

// The session's headers, then the request's (which replace those of the same name), then
// what the requests always said: the client's name and the user's languages, no "Accept"
// but the request's own.
std::vector<QByteArray> headerLinesOf(const HttpHeaders& session, const HttpRequest& request) {
    HttpRequest all;
    for (const auto& [name, value] : session) {
        all.setHeader(name, value);
    }
    for (const auto& [name, value] : request.headers) {
        all.setHeader(name, value);
    }
    if (!all.hasHeader("User-Agent")) {
        all.setHeader("User-Agent", "Mozilla/5.0");
    }
    if (!all.hasHeader("Accept-Language")) {
        all.setHeader("Accept-Language", acceptedLanguages());
    }
    std::vector<QByteArray> lines;
    lines.reserve(all.headers.size() + 2);
    for (const auto& [name, value] : all.headers) {
        // "Name:" alone would remove libcurl's own header; "Name;" sends it empty.
        lines.push_back(value.isEmpty() ? name + ';' : name + ": " + value);
    }
    if (!all.hasHeader("Accept")) {
        lines.push_back("Accept:");
    }
    if (request.body && request.method != "POST" && !all.hasHeader("Content-Type")) {
        // libcurl names a form for any body; only a POST without a type was sent as one.
        lines.push_back("Content-Type:");
    }
    return lines;
}

} // namespace

std::shared_ptr<NetworkSession> NetworkSession::create(SessionConfiguration configuration) {
    return std::shared_ptr<NetworkSession>(new NetworkSession(std::move(configuration)));
}

void NetworkSession::holdMainThreadRequests() {
    if (!onMainThread()) {
        return;
    }
    mainThreadHolding = true;
}

void NetworkSession::releaseMainThreadRequests() {
    if (!onMainThread() || !mainThreadHolding) {
        return;
    }
    mainThreadHolding = false;
    std::unique_ptr<std::vector<std::function<void()>>> starts(std::exchange(heldStarts, nullptr));
    if (starts) {
        for (auto& start : *starts) {
            start();
        }
    }
}

Publisher<HttpResponse, TransportError> NetworkSession::send(HttpRequest request) const {
    using Out = Result<HttpResponse, TransportError>;
    auto self = shared_from_this();
    return Publisher<HttpResponse, TransportError>::create(
        [self, request = std::move(request)](std::function<void(Out)> sink) -> std::function<void()> {
            if (!mainThreadHolding || !onMainThread()) {
                return self->start(request, std::move(sink));
            }
            auto held = std::make_shared<HeldStart>();
            if (!heldStarts) {
                heldStarts = new std::vector<std::function<void()>>;
            }
            heldStarts->push_back([self, request, sink = std::move(sink), held]() mutable {
                std::lock_guard lock(held->mutex);
                if (!held->cancelled) {
                    held->cancel = self->start(request, std::move(sink));
                }
            });
            return [held] {
                std::function<void()> cancel;
                {
                    std::lock_guard lock(held->mutex);
                    held->cancelled = true;
                    cancel = std::move(held->cancel);
                }
                if (cancel) {
                    cancel();
                }
            };
        });
}

void NetworkSession::openAheadFor(const QUrl& url) const {
    const QString scheme = url.scheme().toLower();
    ProxyChoice proxy = ProxyChoice::forUrl(url);
    if (!url.isValid() || url.host().isEmpty() || !proxy.proxy.isEmpty() || !proxy.refusal.isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        return;
    }
    TransferOrder order;
    order.url = url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
    if (!m_configuration.extraCaCertificates.isEmpty()) {
        order.authorities = TrustStore::of(TrustStore::derOf(m_configuration.extraCaCertificates));
    }
    order.environmentAuthorities = true;
    TransferThread::instance().openAhead(std::move(order));
}

std::function<void()>
NetworkSession::start(const HttpRequest& request,
                      std::function<void(Result<HttpResponse, TransportError>)> sink) const {
    using Out = Result<HttpResponse, TransportError>;
    const auto& config = m_configuration;
    const QString scheme = request.url.scheme().toLower();
    if (!request.url.isValid() || request.url.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        sink(Out::failure({TransportError::Kind::InvalidRequest, request.url.toString(), true}));
        return {};
    }
    if (!headersAreSafe(config.headers) || !headersAreSafe(request.headers)) {
        // The message never repeats the header: it may hold a token.
        sink(Out::failure(
            {TransportError::Kind::InvalidRequest, QStringLiteral("a header holds a line break"), true}));
        return {};
    }

    TransferOrder order;
    order.url = request.url;
    order.method = request.method;
    order.headerLines = headerLinesOf(config.headers, request);
    if (requestHeadSize(order) > requestHeadBound) {
        // The message never repeats the URL or a header: either may hold a token.
        sink(Out::failure(
            {TransportError::Kind::InvalidRequest,
             QStringLiteral("the request's address and headers pass %1 bytes").arg(requestHeadBound), true}));
        return {};
    }
    order.body = request.body;
    // A request that must not be sent twice (a booking's POST) is never followed
    // elsewhere either: following a 302 or 303 would repeat it as a GET, whose answer (a
    // sign-in page, say) would stand for the booking's. Its redirect comes back as the
    // answer it is.
    order.mayBeSentTwice = mayBeSentTwice(request.method);
    order.stallTimeout = config.requestTimeout;
    if (request.timeout) {
        order.stallTimeout = std::min(order.stallTimeout, *request.timeout);
    }
    order.resourceTimeout = config.resourceTimeout;
    if (const auto cap = SessionConfiguration::processTimeoutCap()) {
        order.stallTimeout = std::min(order.stallTimeout, *cap);
        order.resourceTimeout = std::min(order.resourceTimeout, *cap);
    }
    order.maxBodySize = std::max<qint64>(request.maxBodySize.value_or(config.maxBodySize), 0);
    if (!config.extraCaCertificates.isEmpty()) {
        order.authorities = TrustStore::of(TrustStore::derOf(config.extraCaCertificates));
    }
    order.environmentAuthorities = true;
    ProxyChoice proxy = ProxyChoice::forUrl(order.url);
    order.proxy = std::move(proxy.proxy);
    order.proxyUser = std::move(proxy.user);
    order.proxyPassword = std::move(proxy.password);
    order.proxyRefusal = std::move(proxy.refusal);

    ReplyMailbox& mailbox = threadMailbox();
    const std::shared_ptr<MailboxLink> link = mailbox.link();
    const quint64 transfer =
        TransferThread::instance().start(std::move(order), [link](quint64 id, Out outcome) {
            ReplyMailbox::post(link, [id, outcome = std::move(outcome)](ReplyMailbox& box) mutable {
                box.deliver(id, std::move(outcome));
            });
        });
    mailbox.keep(transfer, std::move(sink));
    return [link, transfer] {
        TransferThread::instance().cancel(transfer);
        // The sink goes on its own thread, after the cancellation that let it go is over.
        ReplyMailbox::post(link, [transfer](ReplyMailbox& box) { box.forget(transfer); });
    };
}

} // namespace velmora
