// Avatars go where the user's proxy settings send every request: through the proxy (in the
// environment, with its credential, or as Qt's proxy view names it), direct where the exceptions
// say so, and never to an address the image's own rule refuses, whoever would carry it there.
#include "images/core/ImageError.h"
#include "images/download/ImageSession.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/LoopbackProxy.h"
#include "tests/support/UnansweredNames.h"

#include <QNetworkProxyFactory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <mutex>

using namespace velmora;
using namespace velmora::images;
using test::ImageAnswer;
using test::LoopbackImageServer;
using test::LoopbackProxy;

namespace {

// How each task ended, by task.
struct Ends : ImageSessionDelegate {
    void didComplete(ImageDataTask& task, const ImageError& error) override {
        std::lock_guard lock(mutex);
        ends[task.taskIdentifier()] = error;
    }
    std::optional<ImageError> endOf(quint64 task) {
        std::lock_guard lock(mutex);
        return ends.contains(task) ? std::optional<ImageError>(ends[task]) : std::nullopt;
    }
    std::mutex mutex;
    std::map<quint64, ImageError> ends;
};

// The environment's proxy variables for one test, whatever it ends with.
class ProxyEnvironment {
public:
    void set(const char* name, const QByteArray& value) {
        m_names.push_back(name);
        qputenv(name, value);
    }
    ~ProxyEnvironment() {
        for (const char* name : m_names) {
            qunsetenv(name);
        }
    }

private:
    std::vector<const char*> m_names;
};

// Qt's proxy view, as an application (or the desktop) sets it: every URL through one proxy.
class EverythingThrough : public QNetworkProxyFactory {
public:
    explicit EverythingThrough(quint16 port) : m_port(port) {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery&) override {
        return {QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port)};
    }

private:
    quint16 m_port;
};

class ProxiedAvatars : public ::testing::Test {
protected:
    void SetUp() override {
        // Names under ".here.test" are this machine, seen by no proxy rule as this machine.
        test::UnansweredNames::waiting();
    }
    // Back to the system's proxy view, as the application starts with it.
    void TearDown() override { QNetworkProxyFactory::setUseSystemConfiguration(true); }

    // Fetches `url` with a session of its own and waits for its end.
    ImageError fetch(const QUrl& url, ImageSession::Configuration configuration = {}) {
        configuration.urlCacheDirectory = m_cache.path();
        configuration.extraCaCertificates = LoopbackImageServer::trustedCaCertificates();
        {
            // Task numbers start again with each session.
            std::lock_guard lock(m_ends.mutex);
            m_ends.ends.clear();
        }
        ImageSession session(configuration, &m_ends);
        ImageRequest request;
        request.url = url;
        request.timeoutSeconds = 15;
        auto task = session.dataTask(request, false);
        task->resume();
        EXPECT_TRUE(test::waitUntil([&] { return m_ends.endOf(task->taskIdentifier()).has_value(); }, 10000));
        return m_ends.endOf(task->taskIdentifier()).value_or(ImageError());
    }

    static bool isAddressRefused(const ImageError& error) {
        return error.errorDomain() == QString(ImageSession::urlErrorDomain) && error.code() == ImageSession::AddressRefused;
    }

    QTemporaryDir m_cache;
    Ends m_ends;
    LoopbackProxy m_proxy;
};

} // namespace

TEST_F(ProxiedAvatars, goThroughTheEnvironmentsProxyWithItsCredentialUnlessTheExceptionsNameTheHost) {
    LoopbackImageServer server;
    server.serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    const QUrl url = server.url(QStringLiteral("/a.png"), QStringLiteral("avatars.here.test"));
    {
        ProxyEnvironment environment;
        environment.set("http_proxy", m_proxy.address("user", "secret"));
        const ImageError error = fetch(url);
        EXPECT_TRUE(error.isNull()) << error.message().toStdString();
        ASSERT_EQ(m_proxy.requests().size(), 1u);
        EXPECT_EQ(m_proxy.requests()[0].method, "GET");
        EXPECT_EQ(m_proxy.requests()[0].target, url.toEncoded());
        EXPECT_EQ(m_proxy.requests()[0].proxyAuthorization, "Basic " + QByteArray("user:secret").toBase64());
        EXPECT_EQ(server.requestCount("/a.png"), 1);

        environment.set("no_proxy", "here.test");
        const ImageError direct = fetch(url);
        EXPECT_TRUE(direct.isNull()) << direct.message().toStdString();
        EXPECT_EQ(m_proxy.requests().size(), 1u) << "the exceptions name the host: direct";
        EXPECT_EQ(server.requestCount("/a.png"), 2);
    }
    // With no proxy set, nothing goes through one.
    EXPECT_TRUE(fetch(url).isNull());
    EXPECT_EQ(m_proxy.requests().size(), 1u);
}

// Through a tunnel the handshake is the server's own: its certificate is verified as on a direct
// connection (the test server's names this machine only, so the name here is refused).
TEST_F(ProxiedAvatars, goOverHttpsThroughATunnelOfTheProxyQtNamesAndVerifyTheServerThroughIt) {
    LoopbackImageServer server(LoopbackImageServer::Scheme::Https);
    server.serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    QNetworkProxyFactory::setApplicationProxyFactory(new EverythingThrough(m_proxy.port()));
    const QUrl url = server.url(QStringLiteral("/a.png"), QStringLiteral("avatars.here.test"));
    const ImageError error = fetch(url);
    EXPECT_TRUE(error.errorDomain() == QString(ImageSession::urlErrorDomain) &&
                error.code() == ImageSession::SecureConnectionFailed)
        << error.message().toStdString();
    ASSERT_EQ(m_proxy.requests().size(), 1u);
    EXPECT_EQ(m_proxy.requests()[0].method, "CONNECT");
    EXPECT_EQ(m_proxy.requests()[0].target, "avatars.here.test:" + QByteArray::number(url.port()));
    EXPECT_EQ(server.requestCount("/a.png"), 0);
}

// The proxy is the user's and may be on this machine; the image's target is judged by its own
// addresses before the proxy is asked, and one the rule refuses is never asked for.
TEST_F(ProxiedAvatars, anInwardTargetIsRefusedBeforeTheProxyIsAsked) {
    LoopbackImageServer server;
    server.serve("/secret.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    ProxyEnvironment environment;
    environment.set("http_proxy", m_proxy.address());
    ImageSession::Configuration configuration;
    // Every address of this machine stands for the local link here, the proxy's too.
    configuration.placeOfAddress = [](const QHostAddress&) { return ImageSession::Place::LinkLocal; };
    const ImageError refused = fetch(server.url(QStringLiteral("/secret.png"), QStringLiteral("inward.here.test")),
                                     configuration);
    EXPECT_TRUE(isAddressRefused(refused)) << refused.message().toStdString() << " (through the proxy: " << m_proxy.requests().size() << ")";
    const ImageError literal =
        fetch(server.url(QStringLiteral("/secret.png"), QStringLiteral("127.0.0.1")), configuration);
    EXPECT_TRUE(isAddressRefused(literal)) << literal.message().toStdString();
    EXPECT_TRUE(m_proxy.requests().empty()) << refused.message().toStdString();
    EXPECT_EQ(server.requestCount("/secret.png"), 0);
}

// Where only the proxy reaches out, this machine may not find the image server's name at all: the
// target is then judged by its name alone, and the proxy, which finds it, carries the request.
TEST_F(ProxiedAvatars, aNameOnlyTheProxyFindsGoesThroughIt) {
    LoopbackImageServer server;
    server.serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    ProxyEnvironment environment;
    environment.set("http_proxy", m_proxy.address());
    test::UnansweredNames unanswered;
    unanswered.releaseAll(); // every look-up of such a name fails at once
    const QUrl url = server.url(QStringLiteral("/a.png"), QStringLiteral("avatars.unanswered.test"));
    const ImageError error = fetch(url);
    EXPECT_TRUE(error.isNull()) << error.message().toStdString();
    ASSERT_EQ(m_proxy.requests().size(), 1u);
    EXPECT_EQ(m_proxy.requests()[0].target, url.toEncoded());
    EXPECT_EQ(server.requestCount("/a.png"), 1);
}

// A proxy that looks names up (socks5h) is handed the name: none is looked up here, not even one
// this machine would never find; an address is judged as an address however it is spelled (a
// trailing dot that the proxy drops), as a first URL and as a redirect from a public server.
TEST_F(ProxiedAvatars, TheNameGoesToASocksProxyThatLooksItUpAndAnAddressIsJudgedHoweverSpelled) {
    LoopbackImageServer server;
    server.serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    server.serve("/secret.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    const QByteArray inward = "http://169.254.169.254.:" + QByteArray::number(server.port()) + "/secret.png";
    server.serve("/away", ImageAnswer::redirect(inward));
    ImageSession::Configuration configuration;
    // This machine stands for a public server; the local link stays the local link.
    configuration.placeOfAddress = [](const QHostAddress& address) {
        return address.isLoopback() ? ImageSession::Place::Public : placeOfAddress(address);
    };
    test::UnansweredNames unanswered; // never released: a look-up here would hang
    for (const QByteArray scheme : {"socks5h", "http"}) {
        ProxyEnvironment environment;
        environment.set("http_proxy", m_proxy.address({}, {}, scheme));
        const size_t before = m_proxy.requests().size();
        if (scheme == "socks5h") {
            const QUrl named = server.url(QStringLiteral("/a.png"), QStringLiteral("avatars.unanswered.test"));
            const ImageError error = fetch(named, configuration);
            EXPECT_TRUE(error.isNull()) << error.message().toStdString();
            EXPECT_EQ(test::UnansweredNames::waiting(), 0);
            ASSERT_EQ(m_proxy.requests().size(), before + 1);
            EXPECT_EQ(m_proxy.requests().back().target, "avatars.unanswered.test:" + QByteArray::number(server.port()));
            // A name of this machine's own, which only a name's judge sees, never goes.
            const QUrl own = server.url(QStringLiteral("/secret.png"), QStringLiteral("avatars.localhost."));
            EXPECT_TRUE(isAddressRefused(fetch(own, configuration)));
        }
        const size_t asked = m_proxy.requests().size();
        EXPECT_TRUE(isAddressRefused(fetch(QUrl::fromEncoded(inward), configuration))) << scheme.constData();
        EXPECT_EQ(m_proxy.requests().size(), asked) << scheme.constData();
        const ImageError redirected =
            fetch(server.url(QStringLiteral("/away"), QStringLiteral("avatars.here.test")), configuration);
        EXPECT_TRUE(isAddressRefused(redirected)) << scheme.constData() << ": " << redirected.message().toStdString();
    }
    EXPECT_EQ(server.requestCount("/secret.png"), 0);
}
