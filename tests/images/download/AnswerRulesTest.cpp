// What an avatar's transfer carries where, and which answers it reads: a redirect to another
// origin carries nothing that opened the first one's door, the local link is never reached, and
// an answer is read only in a form it was asked in.

#include "images/core/ImageError.h"
#include "images/download/ImageSession.h"

#include "tests/support/EventLoop.h"
#include "tests/support/PackedBodies.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <map>
#include <mutex>
#include <optional>


using namespace velmora;
using test::packed;
using namespace velmora::images;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

class Recorder : public ImageSessionDelegate {
public:
    void didReceiveData(ImageDataTask& task, const QByteArray& data) override {
        std::lock_guard lock(m_mutex);
        m_bytes[task.taskIdentifier()] += data;
    }
    void didComplete(ImageDataTask& task, const ImageError& error) override {
        std::lock_guard lock(m_mutex);
        m_ends[task.taskIdentifier()] = error;
    }
    std::optional<ImageCredential> credentialForChallenge(ImageDataTask&, int previousFailures) override {
        if (previousFailures > 0) {
            return std::nullopt;
        }
        return ImageCredential{QStringLiteral("user"), QStringLiteral("secret")};
    }
    std::optional<ImageError> endOf(quint64 task) {
        std::lock_guard lock(m_mutex);
        const auto it = m_ends.find(task);
        return it == m_ends.end() ? std::nullopt : std::optional<ImageError>(it->second);
    }
    QByteArray bytesOf(quint64 task) {
        std::lock_guard lock(m_mutex);
        return m_bytes[task];
    }

private:
    std::mutex m_mutex;
    std::map<quint64, ImageError> m_ends;
    std::map<quint64, QByteArray> m_bytes;
};

class AvatarAnswerRules : public ::testing::Test {
protected:
    ImageSession& session(ImageSession::Configuration configuration = {}) {
        configuration.urlCacheDirectory = m_cacheFolder.path();
        configuration.extraCaCertificates = LoopbackImageServer::trustedCaCertificates();
        m_session = std::make_unique<ImageSession>(configuration, &m_recorder);
        return *m_session;
    }

    // Fetches `request` and waits for its end: its error (null when it went well) and its bytes.
    std::pair<ImageError, QByteArray> fetch(ImageRequest request) {
        request.timeoutSeconds = 10;
        const auto task = m_session->dataTask(request, false);
        task->resume();
        const quint64 id = task->taskIdentifier();
        EXPECT_TRUE(test::waitUntil([&] { return m_recorder.endOf(id).has_value(); }, test::scaledMs(10000)));
        return {m_recorder.endOf(id).value_or(ImageError()), m_recorder.bytesOf(id)};
    }
    std::pair<ImageError, QByteArray> fetch(const QUrl& url) {
        ImageRequest request;
        request.url = url;
        return fetch(request);
    }

    static bool isUrlError(const ImageError& error, int code) {
        return error.errorDomain() == QString(ImageSession::urlErrorDomain) && error.code() == code;
    }

    QTemporaryDir m_cacheFolder;
    Recorder m_recorder;
    std::unique_ptr<ImageSession> m_session;
};


} // namespace

// The caller's Authorization and Cookie, and a credential the first server asked for, go to the
// first origin only; the image's other host (another port here) gets none of them.
TEST_F(AvatarAnswerRules, aRedirectToAnotherOriginCarriesNoAuthorizationCookiesOrCredentials) {
    const auto other = LoopbackImageServer::onHost(2);
    other->serve("/avatar.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    LoopbackImageServer start;
    start.serve("/moved.png", ImageAnswer::redirect(other->url(QStringLiteral("/avatar.png")).toEncoded()));
    start.serve("/private.png",
                ImageAnswer::failure(401).withHeader("WWW-Authenticate", R"(Basic realm="x")"));
    start.serveAuthorized("/private.png",
                          ImageAnswer::redirect(other->url(QStringLiteral("/avatar.png")).toEncoded()));
    session();

    ImageRequest request;
    request.url = start.url(QStringLiteral("/moved.png"));
    request.setHeader("Authorization", "Bearer secret");
    request.setHeader("Cookie", "session=secret");
    auto [error, bytes] = fetch(request);
    EXPECT_TRUE(error.isNull()) << error.message().toStdString();
    EXPECT_EQ(start.lastRequestHeader("/moved.png", "Authorization"), "Bearer secret");
    EXPECT_EQ(other->requestCount("/avatar.png"), 1);
    EXPECT_TRUE(other->lastRequestHeader("/avatar.png", "Authorization").isEmpty());
    EXPECT_TRUE(other->lastRequestHeader("/avatar.png", "Cookie").isEmpty());

    std::tie(error, bytes) = fetch(start.url(QStringLiteral("/private.png")));
    EXPECT_TRUE(error.isNull()) << error.message().toStdString();
    EXPECT_TRUE(start.lastRequestHeader("/private.png", "Authorization").startsWith("Basic "));
    EXPECT_EQ(other->requestCount("/avatar.png"), 2);
    EXPECT_TRUE(other->lastRequestHeader("/avatar.png", "Authorization").isEmpty())
        << "the first server's credential went to another";
}

// An address of the local link (cloud metadata services live there) is never reached, not even
// as the first hop: here a loopback address the session is told is one, and the real ones.
TEST_F(AvatarAnswerRules, aFirstHopToTheLocalLinkIsRefusedBeforeAnyConnection) {
    const auto linkLocal = LoopbackImageServer::onHost(44);
    linkLocal->serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    ImageSession::Configuration configuration;
    configuration.placeOfAddress = [](const QHostAddress& address) {
        return address.toString() == QLatin1String("127.0.0.44") ? ImageSession::Place::LinkLocal
                                                                 : ImageSession::placeOf(address);
    };
    session(configuration);
    for (const QUrl& url : {linkLocal->url(QStringLiteral("/a.png")),
                            QUrl(QStringLiteral("http://169.254.169.254/latest/meta-data")),
                            QUrl(QStringLiteral("http://[fe80::1]/a.png"))}) {
        SCOPED_TRACE(url.toString().toStdString());
        const auto [error, bytes] = fetch(url);
        EXPECT_TRUE(isUrlError(error, ImageSession::AddressRefused)) << error.message().toStdString();
        EXPECT_TRUE(bytes.isEmpty());
    }
    EXPECT_EQ(linkLocal->acceptedConnections(), 0);
}

// Raw deflate, and a gzip member followed by padding, inflate; brotli and zstd, never asked
// for, are refused, not handed on as the image's bytes; two lengths that differ frame nothing.
TEST_F(AvatarAnswerRules, anAnswerIsReadOnlyInAFormItWasAskedIn) {
    LoopbackImageServer server(LoopbackImageServer::Scheme::Https);
    const QByteArray png = LoopbackImageServer::png(40, 40);
    const auto encoded = [](QByteArray bytes, const QByteArray& coding) {
        return ImageAnswer::image(std::move(bytes)).withHeader("Content-Encoding", coding);
    };
    server.serve("/raw.png", encoded(packed(png, -15), "deflate"));
    server.serve("/padded.png", encoded(packed(png, 15 + 16) + QByteArray(64, '\0'), "gzip"));
    server.serve("/br.png", encoded(png, "br"));
    server.serve("/zstd.png", encoded(png, "zstd"));
    server.serve("/two-lengths.png", ImageAnswer::image(png).withHeader("Content-Length", "7"));
    // Codings in two lines are one list: gzip then brotli.
    server.serve("/two-codings.png", encoded(packed(png, 15 + 16), "gzip").withHeader("Content-Encoding", "br"));
    session();
    for (const char* path : {"/raw.png", "/padded.png"}) {
        SCOPED_TRACE(path);
        const auto [error, bytes] = fetch(server.url(QString::fromLatin1(path)));
        EXPECT_TRUE(error.isNull()) << error.message().toStdString();
        EXPECT_EQ(bytes, png);
    }
    for (const char* path : {"/br.png", "/zstd.png", "/two-lengths.png", "/two-codings.png"}) {
        SCOPED_TRACE(path);
        const auto [error, bytes] = fetch(server.url(QString::fromLatin1(path)));
        EXPECT_TRUE(isUrlError(error, ImageSession::BadServerResponse)) << error.message().toStdString();
        EXPECT_TRUE(bytes.isEmpty()) << bytes.size() << " bytes handed on";
    }
    EXPECT_EQ(server.lastRequestHeader("/br.png", "Accept-Encoding"), "gzip, deflate");
}

// An address and headers past the tracker road's bound are refused before anything is sent
// (libcurl failed such a request only once handed over, as a broken answer).
TEST_F(AvatarAnswerRules, aUrlPastTheRequestsBoundIsABadUrlNeverSent) {
    LoopbackImageServer server;
    QUrl url = server.url(QStringLiteral("/a.png"));
    url.setQuery(QStringLiteral("q=") + QString(520 * 1024, QLatin1Char('a')));
    session();
    const auto [error, bytes] = fetch(url);
    EXPECT_TRUE(isUrlError(error, ImageSession::BadURL)) << error.message().left(200).toStdString();
    EXPECT_EQ(server.totalRequestCount(), 0);
}
