// Booking, the app's main job, as the user meets it: from Save in a Jira booking form to
// the form's completion on the work log's answer, against the fake Jira over loopback
// TLS, on the connection the service keeps alive between requests. Beside it, a plain
// POST of the same shape (the same path, headers and JSON body) through Qt's access
// manager, both on a connection kept alive from the request before and on a new one,
// TLS handshake included. Each figure is the median of its requests.
//
// Bounds: exactly one request per Save (a Save sends the booking and nothing else, and
// never sends it twice); a Save at most 2.5 x the plain request on a kept-alive
// connection (measured side by side at 1.2 to 1.3 x: the form's checks, the JSON, the
// service's rate-limit guard and the answer's delivery through the main thread's event
// loop are what it adds); and a Save at most half the plain request on a new
// connection (measured at 0.05 to 0.08 x), whose handshake a Save on the connection the
// service keeps alive never pays.
#include "BenchMain.h"
#include "platform/net/SessionConfiguration.h"
#include "tests/support/FakeJiraServer.h"
#include "trackers/jira/JiraService.h"
#include "trackers/jira/JiraWorkLogForm.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

using namespace velmora;

constexpr int requests = 40;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs the event loop until `finished` is called, at most 10 s; says whether it was.
bool runUntil(const std::function<void(std::function<void()>)>& start) {
    QEventLoop loop;
    bool done = false;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    start([&] {
        done = true;
        loop.quit();
    });
    if (!done) {
        loop.exec();
    }
    return done;
}

// The fake Jira with one issue, trusted, and the account that books on it.
struct Tracker {
    Tracker() {
        SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
        qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
        jira.addProject({QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project")});
        jira.addIssue({QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                       QStringLiteral("Task")});
    }

    QUrl workLogUrl() const {
        return QUrl(QStringLiteral("https://%1%2/rest/api/3/issue/10001/worklog")
                        .arg(jira.hostAndPort(), jira.sitePrefix()));
    }

    test::FakeJiraServer jira;
    JiraProvider account{QUuid::createUuid(), QStringLiteral("Work"), JiraProvider::Parameters{jira.cloudId},
                         ProviderState::operational,
                         ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me"), QString()}};
    Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
    Issue task{QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("Task"), {}, {}, {}, {}, {}};
};

// One Save of half an hour with a comment; the seconds from save() to the completion,
// none when it did not complete.
std::optional<double> saveOnce(Tracker& tracker, const std::shared_ptr<JiraService>& service) {
    JiraWorkLogForm form(tracker.account, service, tracker.project, tracker.task, 1800);
    form.setDescription(QStringLiteral("Reviewed the release notes"));
    QElapsedTimer timer;
    std::optional<double> seconds;
    const bool completed = runUntil([&](std::function<void()> finished) {
        timer.start();
        form.save([&, finished] {
            seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
            finished();
        });
    });
    // The form is done with the request once its flag drops.
    QEventLoop settle;
    while (form.networkRequestInProgress()) {
        settle.processEvents(QEventLoop::AllEvents, 10);
    }
    return completed && !form.errorOccurred() ? seconds : std::nullopt;
}

void BM_SaveToWorkLogAnswer(benchmark::State& state) {
    Tracker tracker;
    const auto service = JiraService::create(
        tracker.account, APIRequest::jira(QStringLiteral("token-1"), QString(), tracker.jira.cloudId));
    std::vector<double> times;
    int fewest = INT_MAX, most = 0;
    for (auto _ : state) {
        // The first opens the connection, as the task list's requests did before the user
        // booked.
        if (!saveOnce(tracker, service)) {
            state.SkipWithError("the first booking failed");
            return;
        }
        for (int i = 0; i < requests; ++i) {
            const int before = tracker.jira.requestCount();
            const auto seconds = saveOnce(tracker, service);
            if (!seconds) {
                state.SkipWithError("a booking failed");
                return;
            }
            const int sent = tracker.jira.requestCount() - before;
            fewest = std::min(fewest, sent);
            most = std::max(most, sent);
            times.push_back(*seconds);
        }
        state.SetIterationTime(median(times));
    }
    state.counters["save_ms"] = median(times) * 1e3;
    // Every Save sent the same number of requests, or the count is no count at all.
    state.counters["requests_per_save"] = fewest == most ? fewest : -1;
    state.counters["work_logs"] = static_cast<double>(tracker.jira.workLogs().size());
}

// The plain request: the booking's method, path, headers and body, made once.
struct PlainPost {
    explicit PlainPost(Tracker& tracker) : request(tracker.workLogUrl()) {
        request.setRawHeader("Authorization", "Bearer token-1");
        request.setRawHeader("Content-Type", "application/json");
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
        request.setSslConfiguration(ssl);
        // The body of a real booking, as the tracker received it.
        const auto service = JiraService::create(
            tracker.account, APIRequest::jira(QStringLiteral("token-1"), QString(), tracker.jira.cloudId));
        if (saveOnce(tracker, service)) {
            body = tracker.jira.http().lastRequest().body;
        }
    }

    std::optional<double> once(QNetworkAccessManager& manager) const {
        QElapsedTimer timer;
        std::optional<double> seconds;
        bool ok = false;
        runUntil([&](std::function<void()> finished) {
            timer.start();
            QNetworkReply* reply = manager.post(request, body);
            QObject::connect(reply, &QNetworkReply::finished, reply, [&, reply, finished] {
                seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
                ok = reply->error() == QNetworkReply::NoError;
                reply->deleteLater();
                finished();
            });
        });
        return ok ? seconds : std::nullopt;
    }

    QNetworkRequest request;
    QByteArray body;
};

void plainRequests(benchmark::State& state, bool keptAlive) {
    Tracker tracker;
    const PlainPost post(tracker);
    std::vector<double> times;
    for (auto _ : state) {
        if (post.body.isEmpty()) {
            state.SkipWithError("the booking whose body the plain request copies failed");
            return;
        }
        auto manager = std::make_unique<QNetworkAccessManager>();
        if (keptAlive && !post.once(*manager)) {
            state.SkipWithError("the first request failed");
            return;
        }
        for (int i = 0; i < requests; ++i) {
            if (!keptAlive) {
                // A manager of its own: a new connection, with its handshake.
                manager = std::make_unique<QNetworkAccessManager>();
            }
            const auto seconds = post.once(*manager);
            if (!seconds) {
                state.SkipWithError("a request failed");
                return;
            }
            times.push_back(*seconds);
        }
        state.SetIterationTime(median(times));
    }
    state.counters["request_ms"] = median(times) * 1e3;
}

void BM_PlainPostKeptAlive(benchmark::State& state) {
    plainRequests(state, true);
}

void BM_PlainPostNewConnection(benchmark::State& state) {
    plainRequests(state, false);
}

BENCHMARK(BM_SaveToWorkLogAnswer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PlainPostKeptAlive)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PlainPostNewConnection)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    // The booking form is a form: its validation lives with widgets.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    const auto save = [](const Runs& runs) {
        return Bounds::counter(runs, "BM_SaveToWorkLogAnswer", "save_ms");
    };
    bounds.exactly("booking: requests per Save", [](const Runs& runs) -> std::optional<Measurement> {
        const auto sent = Bounds::counter(runs, "BM_SaveToWorkLogAnswer", "requests_per_save");
        return sent ? std::optional<Measurement>({Quantity::count(*sent), Quantity::count(1)}) : std::nullopt;
    });
    bounds.atMost(
        "booking: Save to answer / plain request, kept-alive connection",
        [save](const Runs& runs) -> std::optional<Measurement> {
            const auto saved = save(runs);
            const auto plain = Bounds::counter(runs, "BM_PlainPostKeptAlive", "request_ms");
            if (!saved || !plain) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*saved / 1e3), Quantity::seconds(*plain / 1e3)};
        },
        2.5);
    bounds.atMost(
        "booking: Save to answer / plain request, new connection",
        [save](const Runs& runs) -> std::optional<Measurement> {
            const auto saved = save(runs);
            const auto plain = Bounds::counter(runs, "BM_PlainPostNewConnection", "request_ms");
            if (!saved || !plain) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*saved / 1e3), Quantity::seconds(*plain / 1e3)};
        },
        0.5);
    return velmora::bench::runBenchmarks(argc, argv, bounds, true);
}
