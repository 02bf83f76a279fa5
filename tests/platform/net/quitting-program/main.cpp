// A process that sends one request from its main thread and quits, set up as the app's
// main sets itself up, for the tests of how a process that spoke TLS ends.
//
//   velmora_net_quitting_program <url> [--start-threads] [--trust-first]
//
// With --start-threads another thread keeps starting threads of its own (which live
// until the process ends) while the request starts. With --trust-first the request of other
// trust is left out: the first request made in the process names authorities of its own.
// Prints, as it exits, "teardown-ms N", the time the application object took to go (the
// transfer thread stops with it), and "tls-state kept" or "tls-state freed": whether the TLS
// library had freed its state at exit. Exits 0 when the request was answered 200.

#include "SanitizerDefaults.h"
#include "platform/net/NetworkSession.h"
#include "platform/net/TlsLibrary.h"
#include "tests/support/FakeHttpsServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include <openssl/crypto.h>
#include <unistd.h>

using namespace velmora;

namespace {

QElapsedTimer teardown;

void reportAtExit() {
    std::printf("teardown-ms %lld\n", teardown.isValid() ? static_cast<long long>(teardown.elapsed()) : -1LL);
    // Once the library has run its own clean-up at exit, it refuses to be initialised.
    std::printf("tls-state %s\n", OPENSSL_init_crypto(0, nullptr) == 1 ? "kept" : "freed");
    std::fflush(stdout);
}

using Outcome = Result<HttpResponse, TransportError>;

std::optional<Outcome> sendAndWait(const std::shared_ptr<NetworkSession>& session, const QUrl& url,
                                   const std::function<void()>& afterStart = {}) {
    std::optional<Outcome> outcome;
    QEventLoop loop;
    HttpRequest request;
    request.url = url;
    auto running = session->send(std::move(request)).subscribe([&](Outcome result) {
        outcome = std::move(result);
        loop.quit();
    });
    if (afterStart) {
        afterStart();
    }
    if (!outcome) {
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return outcome;
}

} // namespace

int main(int argc, char** argv) {
    // Registered before the TLS library is first initialised, so that it runs after any
    // clean-up the library registers for the exit.
    std::atexit(reportAtExit);
    TlsLibrary::keepStateUntilExit();
    int code = 2;
    {
        QCoreApplication app(argc, argv);
        const QStringList arguments = app.arguments();
        if (arguments.size() < 2) {
            return 2;
        }
        const QUrl url(arguments.at(1));
        const bool startThreads = arguments.contains(QStringLiteral("--start-threads"));

        // The TLS library is loaded and the system's authorities read by a first request
        // through a session of other trust (so another bundle of authorities), which fails; the
        // measured request's start is then short, and the threads started beside it
        // surely overlap it.
        if (!arguments.contains(QStringLiteral("--trust-first"))) {
            (void)sendAndWait(NetworkSession::create(SessionConfiguration::standard()), url);
        }

        std::atomic<bool> sent{false};
        std::atomic<int> started{0};
        std::thread starter;
        if (startThreads) {
            starter = std::thread([&] {
                while (!sent.load() && started.load() < 500) {
                    std::thread([] {
                        for (;;) {
                            ::pause();
                        }
                    }).detach();
                    started.fetch_add(1);
                }
            });
            while (started.load() == 0) {
                std::this_thread::yield();
            }
        }
        auto configuration = SessionConfiguration::standard();
        configuration.extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
        const auto outcome = sendAndWait(NetworkSession::create(configuration), url, [&] { sent = true; });
        if (starter.joinable()) {
            starter.join();
            std::printf("threads-started %d\n", started.load());
        }
        if (outcome && outcome->ok() && outcome->value().statusCode == 200) {
            code = 0;
        }
        teardown.start();
    }
    return code;
}
