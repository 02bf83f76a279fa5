#include "images/download/ImageSession.h"

#include "images/core/ImageError.h"
#include "platform/net/SessionConfiguration.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QThread>

#include <map>
#include <utility>

namespace velmora::images {

namespace {

int urlErrorCode(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::OperationCanceledError:
        return ImageSession::Cancelled;
    case QNetworkReply::TimeoutError:
        return ImageSession::TimedOut;
    case QNetworkReply::HostNotFoundError:
        return ImageSession::CannotFindHost;
    case QNetworkReply::ConnectionRefusedError:
        return ImageSession::CannotConnectToHost;
    case QNetworkReply::RemoteHostClosedError:
        return ImageSession::NetworkConnectionLost;
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
        return ImageSession::NotConnectedToInternet;
    case QNetworkReply::SslHandshakeFailedError:
        return ImageSession::SecureConnectionFailed;
    case QNetworkReply::ProtocolUnknownError:
        return ImageSession::UnsupportedURL;
    case QNetworkReply::ProtocolInvalidOperationError:
        return ImageSession::BadURL;
    case QNetworkReply::ContentNotFoundError:
        return ImageSession::FileDoesNotExist;
    case QNetworkReply::AuthenticationRequiredError:
        return ImageSession::UserAuthenticationRequired;
    case QNetworkReply::ProtocolFailure:
        return ImageSession::BadServerResponse;
    default:
        return ImageSession::Unknown;
    }
}

// QNetworkAccessManager reports 4xx and 5xx answers as errors; for image transfers
// every HTTP answer is a value whose status the delegate judges.
bool isHttpStatusError(QNetworkReply::NetworkError error) {
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError) ||
           error == QNetworkReply::ProtocolInvalidOperationError;
}

ImageResponse responseOf(QNetworkReply* reply) {
    ImageResponse response;
    response.url = reply->url();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    response.statusCode = status.isValid() ? status.toInt() : 0;
    if (response.isHttp()) {
        const auto pairs = reply->rawHeaderPairs();
        for (const auto& [name, value] : pairs) {
            response.headers.emplace_back(name, value);
        }
        response.httpVersion = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool() ? "HTTP/2"
                                                                                                 : "HTTP/1.1";
    }
    return response;
}

} // namespace

// --- the network thread's side -----------------------------------------------------

class ImageSession::Worker : public QObject {
public:
    Worker(ImageSession* session, ImageSession::Configuration configuration)
        : m_session(session), m_configuration(std::move(configuration)) {}

    void setUp() {
        m_manager = new QNetworkAccessManager(this);
        QString folder = m_configuration.urlCacheDirectory;
        if (folder.isEmpty()) {
            folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/image-urls");
        }
        m_cache = new QNetworkDiskCache(this);
        m_cache->setCacheDirectory(folder);
        m_cache->setMaximumCacheSize(m_configuration.urlCacheMaximumSize);
        m_manager->setCache(m_cache);
        m_ssl = QSslConfiguration::defaultConfiguration();
        QList<QSslCertificate> extra = m_configuration.extraCaCertificates;
        extra += SessionConfiguration::processExtraCaCertificates();
        if (!extra.isEmpty()) {
            m_ssl.addCaCertificates(extra);
        }
        m_ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
        connect(m_manager, &QNetworkAccessManager::authenticationRequired, this,
                [this](QNetworkReply* reply, QAuthenticator* authenticator) { authenticate(reply, authenticator); });
    }

    void tearDown(bool cancelTasks) {
        m_delivering = false;
        auto transfers = std::move(m_transfers);
        m_transfers.clear();
        for (auto& [reply, transfer] : transfers) {
            reply->disconnect(this);
            if (cancelTasks) {
                reply->abort();
            }
            reply->deleteLater();
        }
    }

    void stopDelivering() { m_delivering = false; }

    void start(const std::shared_ptr<ImageDataTask>& task) {
        if (task->isCancelled()) {
            return;
        }
        const ImageRequest& request = task->originalRequest();
        QNetworkRequest networkRequest(request.url);
        for (const auto& [name, value] : request.headers) {
            networkRequest.setRawHeader(name, value);
        }
        const double timeout = request.timeoutSeconds > 0 ? request.timeoutSeconds
                                                          : m_configuration.requestTimeoutSeconds;
        networkRequest.setTransferTimeout(static_cast<int>(std::min(timeout, 86400.0) * 1000));
        networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                    request.cachePolicy == ImageRequest::CachePolicy::UseProtocolCachePolicy
                                        ? QNetworkRequest::PreferNetwork
                                        : QNetworkRequest::AlwaysNetwork);
        networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, task->storesInUrlCache());
        if (!request.handlesCookies) {
            networkRequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
            networkRequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        }
        networkRequest.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, request.usesHttpPipelining);
        switch (task->priority()) {
        case ImageDataTask::Priority::High:
            networkRequest.setPriority(QNetworkRequest::HighPriority);
            break;
        case ImageDataTask::Priority::Low:
            networkRequest.setPriority(QNetworkRequest::LowPriority);
            break;
        case ImageDataTask::Priority::Default:
            break;
        }
        networkRequest.setSslConfiguration(m_ssl);

        QNetworkReply* reply = nullptr;
        if (request.method == "GET" && !request.body) {
            reply = m_manager->get(networkRequest);
        } else {
            reply = m_manager->sendCustomRequest(networkRequest, request.method, request.body.value_or(QByteArray()));
        }
        Transfer& transfer = m_transfers[reply];
        transfer.task = task;
        transfer.metrics.fetchStart = QDateTime::currentDateTimeUtc();
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { headArrived(reply); });
        connect(reply, &QIODevice::readyRead, this, [this, reply] { dataArrived(reply); });
        connect(reply, &QNetworkReply::redirected, this, [this, reply] {
            if (const auto it = m_transfers.find(reply); it != m_transfers.end()) {
                ++it->second.metrics.redirectCount;
            }
        });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { finished(reply); });
    }

    void cancel(quint64 identifier) {
        for (auto& [reply, transfer] : m_transfers) {
            if (transfer.task->taskIdentifier() == identifier) {
                transfer.refused = true;
                reply->abort();
                return;
            }
        }
    }

    std::optional<ImageSession::CachedResponse> cached(const QUrl& url) const {
        const QNetworkCacheMetaData metaData = m_cache->metaData(url);
        if (!metaData.isValid()) {
            return std::nullopt;
        }
        std::unique_ptr<QIODevice> device(m_cache->data(url));
        if (!device) {
            return std::nullopt;
        }
        ImageSession::CachedResponse cached;
        cached.data = device->readAll();
        cached.response.url = url;
        cached.response.statusCode = metaData.attributes().value(QNetworkRequest::HttpStatusCodeAttribute, 200).toInt();
        for (const auto& [name, value] : metaData.rawHeaders()) {
            cached.response.headers.emplace_back(name, value);
        }
        return cached;
    }

private:
    struct Transfer {
        std::shared_ptr<ImageDataTask> task;
        bool headDelivered = false;
        bool refused = false;
        int authenticationFailures = 0;
        ImageTaskMetrics metrics;
    };

    ImageSessionDelegate* delegate() const { return m_delivering ? m_session->delegate() : nullptr; }

    void headArrived(QNetworkReply* reply) {
        const auto it = m_transfers.find(reply);
        if (it == m_transfers.end() || it->second.headDelivered || it->second.refused) {
            return;
        }
        // A redirect's own head is not the answer; the final one follows.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 300 && status < 400 && status != 304 && reply->hasRawHeader("Location")) {
            return;
        }
        it->second.headDelivered = true;
        auto task = it->second.task;
        ImageSessionDelegate* target = delegate();
        if (!target) {
            return;
        }
        bool allow = true;
        target->didReceiveResponse(*task, responseOf(reply), [&allow](bool allowed) { allow = allowed; });
        if (!allow) {
            // Refused: whatever body still comes is dropped, and the end reads as cancelled.
            if (const auto again = m_transfers.find(reply); again != m_transfers.end()) {
                again->second.refused = true;
            }
            QMetaObject::invokeMethod(
                reply, [reply] { reply->abort(); }, Qt::QueuedConnection);
        }
    }

    void dataArrived(QNetworkReply* reply) {
        const auto it = m_transfers.find(reply);
        if (it == m_transfers.end()) {
            return;
        }
        if (!it->second.headDelivered && !it->second.refused) {
            headArrived(reply);
        }
        const auto again = m_transfers.find(reply);
        if (again == m_transfers.end() || again->second.refused) {
            reply->readAll();
            return;
        }
        const QByteArray chunk = reply->readAll();
        auto task = again->second.task;
        if (ImageSessionDelegate* target = delegate(); target && !chunk.isEmpty()) {
            target->didReceiveData(*task, chunk);
        }
    }

    void finished(QNetworkReply* reply) {
        auto node = m_transfers.extract(reply);
        reply->deleteLater();
        if (node.empty()) {
            return;
        }
        Transfer transfer = std::move(node.mapped());
        const QNetworkReply::NetworkError networkError = reply->error();
        if (!transfer.refused) {
            if (!transfer.headDelivered && networkError == QNetworkReply::NoError) {
                m_transfers[reply] = transfer;
                headArrived(reply);
                transfer = m_transfers.extract(reply).mapped();
            }
            if (!transfer.refused && reply->bytesAvailable() > 0) {
                m_transfers[reply] = transfer;
                dataArrived(reply);
                transfer = m_transfers.extract(reply).mapped();
            }
        }
        ImageError error;
        const bool httpAnswered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        if (transfer.refused) {
            error = ImageError(QString(urlErrorDomain), Cancelled, QStringLiteral("cancelled"));
        } else if (networkError != QNetworkReply::NoError && !(httpAnswered && isHttpStatusError(networkError))) {
            error = ImageError(QString(urlErrorDomain), urlErrorCode(networkError), reply->errorString());
        }
        transfer.metrics.responseEnd = QDateTime::currentDateTimeUtc();
        ImageSessionDelegate* target = delegate();
        if (!target) {
            return;
        }
        target->didFinishCollectingMetrics(*transfer.task, transfer.metrics);
        target->didComplete(*transfer.task, error);
    }

    void authenticate(QNetworkReply* reply, QAuthenticator* authenticator) {
        const auto it = m_transfers.find(reply);
        ImageSessionDelegate* target = delegate();
        if (it == m_transfers.end() || !target) {
            return;
        }
        auto task = it->second.task;
        const int failures = it->second.authenticationFailures++;
        if (const auto credential = target->credentialForChallenge(*task, failures)) {
            authenticator->setUser(credential->user);
            authenticator->setPassword(credential->password);
        }
    }

    ImageSession* m_session;
    ImageSession::Configuration m_configuration;
    QNetworkAccessManager* m_manager = nullptr;
    QNetworkDiskCache* m_cache = nullptr;
    QSslConfiguration m_ssl;
    std::map<QNetworkReply*, Transfer> m_transfers;
    bool m_delivering = true;
};

// --- ImageSession ----------------------------------------------------------------

ImageSession::ImageSession(Configuration configuration, ImageSessionDelegate* delegate)
    : m_configuration(std::move(configuration)), m_delegate(delegate), m_thread(std::make_unique<QThread>()),
      m_link(std::make_shared<ImageSessionLink>()) {
    m_link->session = this;
    m_thread->setObjectName(QStringLiteral("velmora.images.ImageSession"));
    m_thread->start();
    m_worker = new Worker(this, m_configuration);
    m_worker->moveToThread(m_thread.get());
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->setUp(); }, Qt::BlockingQueuedConnection);
}

ImageSession::~ImageSession() {
    stop();
}

void ImageSession::stop() {
    {
        std::lock_guard lock(m_link->mutex);
        m_link->session = nullptr;
    }
    invalidate(true);
    Worker* worker = nullptr;
    {
        std::unique_lock lock(m_workerLock);
        worker = std::exchange(m_worker, nullptr);
    }
    if (!worker) {
        return;
    }
    QMetaObject::invokeMethod(
        worker,
        [worker] {
            worker->tearDown(true);
            delete worker;
        },
        Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

ImageSessionDelegate* ImageSession::delegate() const {
    return m_invalidated ? nullptr : m_delegate.load();
}

std::shared_ptr<ImageDataTask> ImageSession::dataTask(const ImageRequest& request, bool storesInUrlCache) {
    if (m_invalidated) {
        return nullptr;
    }
    return std::make_shared<ImageDataTask>(m_link, m_nextIdentifier++, request, storesInUrlCache);
}

std::optional<ImageSession::CachedResponse> ImageSession::cachedResponse(const QUrl& url) const {
    std::optional<CachedResponse> result;
    if (QThread::currentThread() == m_thread.get()) {
        // The worker goes on this very thread, so it is still here.
        return m_worker ? m_worker->cached(url) : std::nullopt;
    }
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return result;
    }
    QMetaObject::invokeMethod(
        m_worker, [&, worker = m_worker] { result = worker->cached(url); }, Qt::BlockingQueuedConnection);
    return result;
}

void ImageSession::invalidate(bool cancelTasks) {
    if (m_invalidated.exchange(true)) {
        return;
    }
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, cancelTasks] {
        if (cancelTasks) {
            worker->tearDown(true);
        } else {
            worker->stopDelivering();
        }
    });
}

void ImageSession::resume(const std::shared_ptr<ImageDataTask>& task) {
    if (m_invalidated) {
        return;
    }
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, task] { worker->start(task); });
}

void ImageSession::cancel(quint64 taskIdentifier) {
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, taskIdentifier] { worker->cancel(taskIdentifier); });
}

// --- ImageDataTask -----------------------------------------------------------------

ImageDataTask::ImageDataTask(std::shared_ptr<ImageSessionLink> link, quint64 identifier, ImageRequest request,
                             bool storesInUrlCache)
    : m_link(std::move(link)), m_identifier(identifier), m_request(std::move(request)),
      m_storesInUrlCache(storesInUrlCache) {}

void ImageDataTask::resume() {
    if (m_resumed.exchange(true)) {
        return;
    }
    std::lock_guard lock(m_link->mutex);
    if (m_link->session) {
        m_link->session->resume(shared_from_this());
    }
}

void ImageDataTask::cancel() {
    m_cancelled = true;
    std::lock_guard lock(m_link->mutex);
    if (m_link->session) {
        m_link->session->cancel(m_identifier);
    }
}

} // namespace velmora::images
