// Reading a week of work entries spread over 40 issues from a fake Jira that adds
// 20 ms to every answer. The per-issue reads run four at a time, so the range read
// should cost about the search plus ten rounds of 20 ms, not forty.
//
// Counters: wall_ms (the range read), search_ms (server information and one search
// page alone), requests (per range read), peak_in_flight (the most requests the server
// held unanswered at once during the range reads).
//
// Bounds: the range read at most 1.25 x (search_ms + 10 rounds), a round taken as long as
// each of the search's two requests took in the same iteration (20 ms and what this machine
// adds to a request, which a busy machine makes more of on both sides alike), which three at
// a time (fourteen rounds) no longer meets; exactly 42 requests (server information, one
// search page, 40 work-log reads); exactly 4 in flight at once.
#include "BenchMain.h"
#include "platform/net/SessionConfiguration.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeJiraServer.h"
#include "trackers/jira/JiraService.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <optional>

namespace {

using namespace velmora;

constexpr int issueCount = 40;
constexpr int latencyMs = 20;

template <typename T> std::optional<Result<T, APIError>> await(const Publisher<T, APIError>& publisher) {
    std::optional<Result<T, APIError>> outcome;
    Cancellable subscription = publisher.subscribe([&](Result<T, APIError> r) { outcome = std::move(r); });
    test::waitUntil([&] { return outcome.has_value(); }, 60000);
    return outcome;
}

void BM_JiraWeekOfWorkEntries(benchmark::State& state) {
    test::FakeJiraServer jira;
    SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
    qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
    jira.addProject({QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project")});
    const QDateTime monday(QDate(2024, 3, 4), QTime(0, 0));
    for (int i = 0; i < issueCount; ++i) {
        const QString id = QString::number(10001 + i);
        jira.addIssue({id, QStringLiteral("PRJ-%1").arg(i + 1), QStringLiteral("10000"),
                       QStringLiteral("Issue %1").arg(i)});
        jira.addWorkLog(
            {{}, id, QStringLiteral("acc-me"), monday.addSecs(3600 * (i % 7 * 24 + 9 + i % 8)), 1800, {}});
    }
    jira.setLatency(latencyMs);
    const JiraProvider account(QUuid::createUuid(), QStringLiteral("Work"),
                               JiraProvider::Parameters{jira.cloudId}, ProviderState::operational,
                               ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me"), QString()});
    const Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
    const DateInterval week{monday, monday.addDays(7).addSecs(-1)};
    auto service = [&] {
        return JiraService::create(account,
                                   APIRequest::jira(QStringLiteral("token-1"), QString(), jira.cloudId));
    };

    double wallTotal = 0;
    double searchTotal = 0;
    int requests = 0;
    int peak = 0;
    for (auto _ : state) {
        // The search alone, on a service of its own: server information, then one page.
        QElapsedTimer timer;
        timer.start();
        auto tasks = service()->fetchTasks(project, std::nullopt, std::nullopt, std::nullopt);
        auto found = await(tasks.fetchAll());
        const double searchMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        if (!found || !found->ok() || found->value().size() != issueCount) {
            state.SkipWithError("the search failed");
            break;
        }

        jira.http().clearRequests();
        jira.http().resetPeakInFlight();
        timer.restart();
        auto entries = await(service()->fetchWorkEntries(week));
        const double wallMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        if (!entries || !entries->ok() || entries->value().size() != issueCount) {
            state.SkipWithError("the range read failed");
            break;
        }
        requests = jira.requestCount();
        peak = std::max(peak, jira.http().peakInFlight());
        state.SetIterationTime(wallMs / 1000.0);
        wallTotal += wallMs;
        searchTotal += searchMs;
    }
    const double iterations = static_cast<double>(state.iterations());
    if (iterations > 0) {
        const double wall = wallTotal / iterations;
        const double search = searchTotal / iterations;
        state.counters["wall_ms"] = wall;
        state.counters["search_ms"] = search;
        state.counters["requests"] = requests;
        state.counters["peak_in_flight"] = peak;
    }
}
BENCHMARK(BM_JiraWeekOfWorkEntries)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    const std::string name = "BM_JiraWeekOfWorkEntries";
    bounds.atMost(
        "Jira week: range read / (search + 10 rounds as long as its requests)",
        [name](const Runs& runs) -> std::optional<Measurement> {
            const auto wall = Bounds::counter(runs, name, "wall_ms");
            const auto search = Bounds::counter(runs, name, "search_ms");
            if (!wall || !search) {
                return std::nullopt;
            }
            // The search is two requests one after the other, each at least one round.
            const double round = std::max(*search / 2, double(latencyMs));
            return Measurement{Quantity::seconds(*wall / 1e3),
                               Quantity::seconds((*search + 10 * round) / 1e3)};
        },
        1.25);
    bounds.exactly("Jira week: requests", [name](const Runs& runs) -> std::optional<Measurement> {
        const auto requests = Bounds::counter(runs, name, "requests");
        return requests
                   ? std::optional<Measurement>({Quantity::count(*requests), Quantity::count(issueCount + 2)})
                   : std::nullopt;
    });
    bounds.exactly(
        "Jira week: requests in flight at once", [name](const Runs& runs) -> std::optional<Measurement> {
            const auto peak = Bounds::counter(runs, name, "peak_in_flight");
            return peak
                       ? std::optional<Measurement>({Quantity::count(*peak),
                                                     Quantity::count(JiraService::maxConcurrentWorkLogReads)})
                       : std::nullopt;
        });
    return velmora::bench::runBenchmarks(argc, argv, bounds, true);
}
