// Serves the fake Jira, Asana and YouTrack and the maker's server (token refresh and
// the update feed) on one HTTPS port of 127.0.0.1, so the running app can be tried
// without a tracker account:
//
//   velmora_fake_trackers --port 8443 --add-accounts
//
// prints the environment the app needs (the hosts and the file of the test
// authority, which the app trusts only when told to) and serves until stopped.
// --add-accounts stores one account per tracker in the app's account store and
// keyring (run it under scripts/with-keyring when the desktop has no keyring), and a
// paused timer on a Jira task ready to be booked (running with --timer-running).
// --website-tasks N fills the Jira Website project up to N tasks.
//
// How bookings fare, to see what the app does when a booking's answer is not the
// tracker's: --booking-answer 504 (any status, or "html", "empty", "redirect") answers
// every booking so, after the tracker stored it (or without storing it, with
// --booking-not-stored); --list-lag S lists what is booked only S seconds later;
// --list-delay MS answers the reads of the work logs that much later.

#include "core/model/AppIdentity.h"
#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"
#include "core/model/YouTrackProvider.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/net/SessionConfiguration.h"
#include "state/ApplicationViewModel.h"
#include "state/TimerSnapshot.h"
#include "tests/support/FakeAsanaRefreshServer.h"
#include "tests/support/FakeAsanaServer.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FakeJiraRefreshServer.h"
#include "tests/support/FakeJiraServer.h"
#include "tests/support/FakeUpdateFeed.h"
#include "tests/support/FakeYouTrackServer.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/TryOutAsana.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>
#include <cstdio>
#include <map>

using namespace velmora;
using namespace velmora::test;

namespace {

const QString youTrackPrefix = QStringLiteral("/youtrack");
const QString youTrackToken = QStringLiteral("perm-token");

const QString avatarPrefix = QStringLiteral("/avatars/");

// The pictures of the Jira assignees, served by the front port under avatarPrefix.
const std::map<QString, QColor>& avatarColours() {
    static const std::map<QString, QColor> colours{{QStringLiteral("ann.png"), QColor(0x2e, 0x86, 0xde)},
                                                   {QStringLiteral("bo.png"), QColor(0xe6, 0x7e, 0x22)}};
    return colours;
}

void seedJira(FakeJiraServer& jira, quint16 port, int websiteTasks) {
    const QString avatars = QStringLiteral("https://127.0.0.1:%1%2").arg(port).arg(avatarPrefix);
    jira.addUser(
        {QStringLiteral("acc-ann"), QStringLiteral("Ann Able"), avatars + QStringLiteral("ann.png")});
    jira.addUser({QStringLiteral("acc-bo"), QStringLiteral("Bo Baker"), avatars + QStringLiteral("bo.png")});
    jira.addProject({QStringLiteral("10000"), QStringLiteral("WEB"), QStringLiteral("Website")});
    jira.addProject({QStringLiteral("10010"), QStringLiteral("OPS"), QStringLiteral("Operations")});
    auto issue = [](const char* id, const char* key, const char* project, const char* summary,
                    std::optional<QString> assignee) {
        FakeJiraServer::Issue issue{QString::fromLatin1(id), QString::fromLatin1(key),
                                    QString::fromLatin1(project), QString::fromLatin1(summary)};
        issue.assigneeId = std::move(assignee);
        return issue;
    };
    jira.addIssue(issue("10001", "WEB-1", "10000", "Crash on start", QStringLiteral("acc-ann")));
    jira.addIssue(issue("10002", "WEB-2", "10000", "Slow search results", QStringLiteral("acc-bo")));
    jira.addIssue(issue("10003", "WEB-3", "10000", "Broken links in the footer", QStringLiteral("acc-ann")));
    // More tasks on the Website project, up to `websiteTasks` in all (the benchmarks' large
    // project).
    for (int i = 4; i <= websiteTasks; ++i) {
        jira.addIssue({QString::number(20000 + i), QStringLiteral("WEB-%1").arg(i), QStringLiteral("10000"),
                       QStringLiteral("Website task %1").arg(i)});
    }
    jira.addIssue({QStringLiteral("10011"), QStringLiteral("OPS-1"), QStringLiteral("10010"),
                   QStringLiteral("Rotate the certificates")});
    const QDateTime yesterday = QDateTime::currentDateTime().addDays(-1);
    jira.addWorkLog({QString(), QStringLiteral("10001"), QStringLiteral("acc-me"), yesterday, 5400,
                     QStringLiteral("Found the cause")});
    const QDateTime thisMorning(QDate::currentDate(), QTime(9, 0));
    jira.addWorkLog({QString(), QStringLiteral("10011"), QStringLiteral("acc-me"), thisMorning, 1800,
                     QStringLiteral("Renewed the staging certificate")});
}

void seedYouTrack(FakeYouTrackServer& youTrack) {
    FakeYouTrackServer::Project app;
    app.id = QStringLiteral("0-1");
    app.shortName = QStringLiteral("APP");
    app.name = QStringLiteral("Application");
    app.workItemTypes = {{QStringLiteral("t-1"), QStringLiteral("Development")},
                         {QStringLiteral("t-2"), QStringLiteral("Review")}};
    youTrack.addProject(app);
    FakeYouTrackServer::Issue issue;
    issue.id = QStringLiteral("2-1");
    issue.idReadable = QStringLiteral("APP-1");
    issue.projectId = app.id;
    issue.summary = QStringLiteral("Settings are not saved");
    youTrack.addIssue(issue);
}

// Stores one account per tracker, unless one of that name is there already.
bool addAccounts(quint16 port, bool timerRunning) {
    auto& manager = ProviderManager::shared();
    bool ok = true;
    auto report = [&ok](const char* what, bool saved, const QString& error) {
        if (!saved) {
            ok = false;
            std::fprintf(stderr, "Could not store the %s account: %s\n", what, qPrintable(error));
        }
    };
    auto saved = manager.save(
        JiraProvider(std::nullopt, QStringLiteral("Fake Jira"),
                     JiraProvider::Parameters{QStringLiteral("cloud-1")}, ProviderState::operational,
                     ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()}),
        std::optional<JiraProvider::Credentials>(
            JiraProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
    report("Jira", saved.ok(), saved.ok() ? QString() : saved.error().message);
    if (saved.ok() && saved.value().id()) {
        // A stopped hour and a half on WEB-1, so the sidebar's timer can be booked at once.
        TimerSnapshot timer;
        Project::Configuration configuration{true, true, true, true};
        timer.project = Project{
            QStringLiteral("10000"), QStringLiteral("WEB"), QStringLiteral("Website"), configuration, {}};
        Issue task;
        task.id = QStringLiteral("10001");
        task.reference = QStringLiteral("WEB-1");
        task.name = QStringLiteral("Crash on start");
        timer.task = task;
        timer.state = TimerViewModel::State::paused;
        timer.previousDuration = 5400;
        if (timerRunning) {
            timer.state = TimerViewModel::State::active;
            timer.startedAt = QDateTime::currentDateTime();
        }
        SnapshotManager::shared().save(timer, ApplicationViewModel::snapshotKey(*saved.value().id()));
        SnapshotManager::shared().flush();
        // The Jira account is the one the app opens with.
        UserSettings::shared().setDefaultAccount(uuidText(*saved.value().id()));
    }
    auto asana = manager.save(
        AsanaProvider(std::nullopt, QStringLiteral("Fake Asana"),
                      AsanaProvider::Parameters{QStringLiteral("w1")}, ProviderState::operational,
                      ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()}),
        std::optional<AsanaProvider::Credentials>(
            AsanaProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
    report("Asana", asana.ok(), asana.ok() ? QString() : asana.error().message);
    auto youTrack = manager.save(
        YouTrackProvider(
            std::nullopt, QStringLiteral("Fake YouTrack"),
            YouTrackProvider::Parameters{QStringLiteral("127.0.0.1:%1%2").arg(port).arg(youTrackPrefix)},
            ProviderState::operational,
            ProviderUser{QStringLiteral("1-1"), QStringLiteral("Jane Roe"), QString()}),
        std::optional<YouTrackProvider::Credentials>(YouTrackProvider::Credentials{youTrackToken}));
    report("YouTrack", youTrack.ok(), youTrack.ok() ? QString() : youTrack.error().message);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The app's names, so --add-accounts writes where the app reads.
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("velmora.app"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Fake trackers and maker's server for trying Velmora."));
    parser.addHelpOption();
    QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("The HTTPS port on 127.0.0.1."),
                                  QStringLiteral("port"), QStringLiteral("8443"));
    QCommandLineOption accountsOption(
        QStringLiteral("add-accounts"),
        QStringLiteral("Store a Jira, an Asana and a YouTrack account for the app."));
    QCommandLineOption tasksOption(QStringLiteral("website-tasks"),
                                   QStringLiteral("Fill the Jira Website project up to this many tasks."),
                                   QStringLiteral("count"), QStringLiteral("3"));
    QCommandLineOption runningOption(
        QStringLiteral("timer-running"),
        QStringLiteral("With --add-accounts: the Jira timer runs instead of paused."));
    QCommandLineOption bookingAnswerOption(
        QStringLiteral("booking-answer"),
        QStringLiteral("Answer every booking with this status, or html, empty or redirect."),
        QStringLiteral("answer"));
    QCommandLineOption notStoredOption(
        QStringLiteral("booking-not-stored"),
        QStringLiteral("With --booking-answer: the tracker keeps nothing of it."));
    QCommandLineOption listLagOption(QStringLiteral("list-lag"),
                                     QStringLiteral("List what is booked only this many seconds later."),
                                     QStringLiteral("seconds"), QStringLiteral("0"));
    QCommandLineOption listDelayOption(QStringLiteral("list-delay"),
                                       QStringLiteral("Answer the reads of work logs this many ms later."),
                                       QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOption(bookingAnswerOption);
    parser.addOption(notStoredOption);
    parser.addOption(listLagOption);
    parser.addOption(listDelayOption);
    parser.addOption(portOption);
    parser.addOption(accountsOption);
    parser.addOption(tasksOption);
    parser.addOption(runningOption);
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535) {
        std::fprintf(stderr, "Not a port: %s\n", qPrintable(parser.value(portOption)));
        return 2;
    }

    FakeJiraServer jira;
    FakeJiraRefreshServer jiraMaker(jira);
    jiraMaker.addRefreshToken(QStringLiteral("refresh-1"), QStringLiteral("acc-me"));
    FakeAsanaServer asana;
    FakeAsanaRefreshServer asanaMaker(asana);
    asanaMaker.addRefreshToken(QStringLiteral("refresh-1"), QStringLiteral("u1"));
    FakeYouTrackServer youTrack(youTrackToken);
    FakeUpdateFeed updates;
    const int websiteTasks = parser.value(tasksOption).toInt();
    if (websiteTasks < 3 || websiteTasks > 100000) {
        std::fprintf(stderr, "Not a task count from 3 to 100000: %s\n",
                     qPrintable(parser.value(tasksOption)));
        return 2;
    }
    seedJira(jira, static_cast<quint16>(port), websiteTasks);
    seedTryOutAsana(asana);
    seedYouTrack(youTrack);

    const qint64 listLag = std::clamp<qint64>(parser.value(listLagOption).toLongLong(), 0, 86400) * 1000;
    const int listDelay =
        static_cast<int>(std::clamp<qint64>(parser.value(listDelayOption).toLongLong(), 0, 600000));
    jira.http().setListLag(listLag);
    asana.http().setListLag(listLag);
    youTrack.http().setListLag(listLag);
    const QString bookingAnswer = parser.value(bookingAnswerOption);
    const bool bookingStored = !parser.isSet(notStoredOption);

    // One port in front of them all, sorted by path: every fake keeps its own port as
    // well (the Asana paging links point there).
    FakeHttpsServer front(static_cast<quint16>(port), FakeHttpsServer::Certificate::Trusted);
    if (!front.isListening()) {
        std::fprintf(stderr, "Cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    const auto isBooking = [](const FakeRequest& request) {
        const QString path = request.decodedPath();
        return request.method == "POST" && (path.endsWith(QLatin1String("/worklog")) ||
                                            path.endsWith(QLatin1String("/time_tracking_entries")) ||
                                            path.endsWith(QLatin1String("/timeTracking/workItems")));
    };
    // What the tracker at `path` would answer `request`, then as the switches say.
    const auto answerAs = [&](const FakeRequest& request, FakeResponse response) {
        const QString path = request.decodedPath();
        const bool booking = isBooking(request);
        const bool read = request.method == "GET" && (path.endsWith(QLatin1String("/worklog")) ||
                                                      path.endsWith(QLatin1String("time_tracking_entries")) ||
                                                      path.endsWith(QLatin1String("/workItems")));
        if (booking && !bookingAnswer.isEmpty()) {
            if (bookingAnswer == QLatin1String("html")) {
                return FakeResponse::signInPage();
            }
            if (bookingAnswer == QLatin1String("empty")) {
                return FakeResponse::empty(200);
            }
            if (bookingAnswer == QLatin1String("redirect")) {
                return FakeResponse::redirect(front.url(QStringLiteral("/login")).toEncoded());
            }
            return FakeResponse::json("{}", std::clamp(bookingAnswer.toInt(), 200, 599));
        }
        return read && listDelay > 0 ? response.withDelay(listDelay) : response;
    };
    front.onAny([&](const FakeRequest& request) {
        const QString path = request.decodedPath();
        const bool swallowed = request.method == "POST" && !bookingAnswer.isEmpty() && !bookingStored;
        if (path == QLatin1String("/login")) {
            return FakeResponse::signInPage();
        }
        const auto tracker = [&](FakeHttpsServer& server, const FakeRequest& inner) {
            // A booking the tracker does not keep never reaches it.
            const FakeResponse response =
                swallowed && isBooking(inner) ? FakeResponse() : server.respond(inner);
            return answerAs(inner, response);
        };
        // The client's port tells two apps (or a request sent again on a new
        // connection) apart from one app asking twice.
        std::fprintf(stderr, "%s %s (client port %u)\n", request.method.constData(), request.path.constData(),
                     static_cast<unsigned>(request.peerPort));
        if (path.startsWith(QLatin1String("/oauth/app/jira/"))) {
            return jiraMaker.http().respond(request);
        }
        if (path.startsWith(QLatin1String("/oauth/app/asana/"))) {
            return asanaMaker.http().respond(request);
        }
        if (path == QLatin1String(FakeUpdateFeed::path)) {
            return updates.server().respond(request);
        }
        if (path.startsWith(QLatin1String("/api/1.0/"))) {
            return tracker(asana.http(), request);
        }
        if (path.startsWith(avatarPrefix)) {
            const auto colour = avatarColours().find(path.mid(avatarPrefix.size()));
            if (colour == avatarColours().end()) {
                return FakeResponse::empty(404);
            }
            FakeResponse picture;
            picture.body = LoopbackImageServer::png(48, 48, colour->second);
            return picture.withHeader("Content-Type", "image/png");
        }
        if (path.startsWith(youTrackPrefix + QLatin1Char('/'))) {
            FakeRequest inner = request;
            inner.path = request.path.mid(youTrackPrefix.size());
            return tracker(youTrack.http(), inner);
        }
        return tracker(jira.http(), request);
    });

    if (parser.isSet(accountsOption) &&
        !addAccounts(static_cast<quint16>(port), parser.isSet(runningOption))) {
        return 1;
    }

    const QString host = front.hostAndPort();
    std::printf("Serving the fake trackers on https://%s. Start the app with:\n", qPrintable(host));
    std::printf("  export %s=%s/test-ca.pem\n", SessionConfiguration::extraCaFileVariable,
                qPrintable(FakeHttpsServer::certificatesDirectory()));
    std::printf("  export VELMORA_JIRA_API_HOST=%s\n", qPrintable(host));
    std::printf("  export VELMORA_ASANA_API_HOST=%s\n", qPrintable(host));
    std::printf("  export VELMORA_SERVER_URL=%s\n", qPrintable(host));
    std::printf("YouTrack base URL: %s%s (token %s)\n", qPrintable(host), qPrintable(youTrackPrefix),
                qPrintable(youTrackToken));
    std::fflush(stdout);
    return app.exec();
}
