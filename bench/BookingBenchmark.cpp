// Booking, the app's main job, as the user meets it, against the fake Jira over loopback
// TLS. The environment trusts the fake's authority through its file
// (VELMORA_EXTRA_CA_FILE), as the app does when it is tried against the fake trackers.
//
// What the user waits for: from a click on Save in the real booking sheet (the sidebar's,
// for the timer's time, with the timer's record of the booking written before it leaves)
// to the sheet closing on the tracker's answer. Beside it, in turns, round by round, the
// floor it cannot go below: the same click on a bare dialog that closes on it, two saves
// (new file, fsync, rename, fsync of the folder) of a file the size of the record (the booking's record is on disk
// before it leaves, and its outcome before the sheet closes on it), and a plain request of the
// booking's shape on a connection kept alive. Each figure is the median of its rounds.
//
// The form alone: from save() in a Jira booking form to the form's completion on the
// work log's answer, on a connection of its own (a booking never goes on a kept one), and
// on the connection opened ahead for it a moment before (as the sheet's opening does). Beside
// it, a plain POST of the same shape (the same path, headers and JSON body) through Qt's
// access manager, both on a connection kept alive from the request before and on a new
// one, TLS handshake included.
//
// The same with the tracker 50 ms away (a relay of the benchmark's own holds every piece 25 ms
// each way): a Save on the connection opened ahead, a Save on a connection of its own, and a
// read of the work log on a connection kept alive from the read before; and a read after 5 s
// with nothing sent (the timer's Stop, then the sheet's read) beside one on a kept connection.
//
// The same click while the sheet's read of what is on the task is still on its way (the
// tracker holds it 35 s): Save waits for it at most its named bound, then books without
// it, on a connection of its own (the read holds the one kept alive). What the click
// costs beyond that wait is held to the same 2 x the floor, with its request on a new
// connection (BM_PlainPostNewConnection), as the booking's then is.
//
// Bounds: the click on Save to the sheet closing at most 2 x its floor (everything the
// sheet, the form, the service and the record add on the way, main and network threads
// alike, may take as long as the floor itself, no longer); exactly one request per Save
// (a Save sends the booking and nothing else, and never sends it twice); the form's save on a
// connection of its own at most 2.5 x the plain request on a new connection (the form's
// checks, the JSON, the service's rate-limit guard and the answer's delivery through the main
// thread's event loop are what it adds), and on the connection opened ahead at most half the
// plain request on a new connection, whose handshake it never pays; with the tracker 50 ms
// away, a Save on the connection opened ahead, and a read after a 5 s idle gap, each at most
// 1.2 x a read on a kept connection.
#include "BenchMain.h"
#include "core/model/NotificationNames.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/Clock.h"
#include "platform/net/NetworkSession.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/store/ProviderStore.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecords.h"
#include "state/TimerViewModel.h"
#include "tests/support/FakeJiraServer.h"
#include "trackers/jira/JiraService.h"
#include "trackers/jira/JiraWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/SidebarView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

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
        // As the app trusts the fake trackers: through the environment's file, which
        // every request asks for.
        qputenv(SessionConfiguration::extraCaFileVariable,
                QFile::encodeName(test::FakeHttpsServer::certificatesDirectory() +
                                  QStringLiteral("/test-ca.pem")));
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

// Waits `ms` with the event loop running.
void waitMs(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A Save whose connection was opened ahead, as the sheet's opening does, a moment before.
std::optional<double> saveOpenedAhead(Tracker& tracker, const std::shared_ptr<JiraService>& service) {
    service->request()->openConnectionAhead();
    waitMs(300);
    return saveOnce(tracker, service);
}

void saveRequests(benchmark::State& state, bool openedAhead) {
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
            const auto seconds = openedAhead ? saveOpenedAhead(tracker, service) : saveOnce(tracker, service);
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

void BM_SaveToWorkLogAnswer(benchmark::State& state) {
    saveRequests(state, false);
}

void BM_SaveToWorkLogAnswerOpenedAhead(benchmark::State& state) {
    saveRequests(state, true);
}

// A loopback relay to the fake tracker that holds every piece, either way, half a round trip:
// the tracker as far away as `roundTripMs`.
class DelayingRelay : public QObject {
public:
    DelayingRelay(quint16 target, int roundTripMs) : m_target(target), m_half(roundTripMs / 2) {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = m_server.nextPendingConnection()) {
                relay(client);
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    void relay(QTcpSocket* client) {
        auto* upstream = new QTcpSocket(client);
        const QPointer<QTcpSocket> near(client);
        const QPointer<QTcpSocket> far(upstream);
        const auto pass = [this](QPointer<QTcpSocket> from, QPointer<QTcpSocket> to) {
            return [this, from, to] {
                const QByteArray bytes = from->readAll();
                QTimer::singleShot(m_half, this, [to, bytes] {
                    if (to) {
                        to->write(bytes);
                    }
                });
            };
        };
        const auto close = [this](QPointer<QTcpSocket> to) {
            return [this, to] {
                QTimer::singleShot(m_half, this, [to] {
                    if (to) {
                        to->disconnectFromHost();
                    }
                });
            };
        };
        connect(client, &QTcpSocket::readyRead, this, pass(near, far));
        connect(upstream, &QTcpSocket::readyRead, this, pass(far, near));
        connect(client, &QTcpSocket::disconnected, this, close(far));
        connect(upstream, &QTcpSocket::disconnected, this, close(near));
        upstream->connectToHost(QHostAddress::LocalHost, m_target);
    }

    QTcpServer m_server;
    quint16 m_target;
    int m_half;
};

// The tracker 50 ms away: its requests go through the relay, and a read of the work log is
// timed on a session of its own, as the sheet's read is on the tracker's connections.
struct FarTracker {
    FarTracker()
        : relay(quint16(tracker.jira.hostAndPort().section(QLatin1Char(':'), -1).toUInt()), 50),
          away(tracker.jira.hostAndPort().section(QLatin1Char(':'), 0, -2) + QLatin1Char(':') +
               QString::number(relay.port())) {
        qputenv("VELMORA_JIRA_API_HOST", away.toUtf8());
        read.url = QUrl(QStringLiteral("https://%1%2/rest/api/3/issue/10001/worklog").arg(away, tracker.jira.sitePrefix()));
        read.setHeader("Authorization", "Bearer token-1");
        service = JiraService::create(tracker.account,
                                      APIRequest::jira(QStringLiteral("token-1"), QString(), tracker.jira.cloudId));
    }
    ~FarTracker() { qputenv("VELMORA_JIRA_API_HOST", tracker.jira.hostAndPort().toUtf8()); }

    // The seconds one read took, none when it failed.
    std::optional<double> readOnce() {
        QElapsedTimer timer;
        std::optional<double> seconds;
        Cancellable running;
        runUntil([&](std::function<void()> finished) {
            timer.start();
            running = session->send(read).subscribe([&, finished](Result<HttpResponse, TransportError> outcome) {
                if (outcome.ok()) {
                    seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
                }
                finished();
            });
        });
        return seconds;
    }

    Tracker tracker;
    DelayingRelay relay;
    QString away;
    HttpRequest read;
    std::shared_ptr<NetworkSession> session = NetworkSession::create();
    std::shared_ptr<JiraService> service;
};

// With the tracker 50 ms away (through the relay): a Save on the connection opened ahead for
// it, a Save on a connection of its own, and, as the floor, a read of the same work log on a
// connection kept alive from the read before it.
void BM_SaveWithTheTracker50msAway(benchmark::State& state) {
    FarTracker far;
    std::vector<double> ahead, own, kept;
    for (auto _ : state) {
        for (int i = 0; i < 8; ++i) {
            const auto first = far.readOnce();
            const auto again = far.readOnce();
            const auto saved = saveOpenedAhead(far.tracker, far.service);
            const auto alone = saveOnce(far.tracker, far.service);
            if (!first || !again || !saved || !alone) {
                state.SkipWithError("a request through the relay failed");
                return;
            }
            kept.push_back(*again);
            ahead.push_back(*saved);
            own.push_back(*alone);
        }
        state.SetIterationTime(median(ahead));
    }
    state.counters["save_opened_ahead_ms"] = median(ahead) * 1e3;
    state.counters["save_own_connection_ms"] = median(own) * 1e3;
    state.counters["read_kept_alive_ms"] = median(kept) * 1e3;
}

// With the tracker 50 ms away: a read after 5 s with nothing sent (the timer's Stop, then the
// sheet's read), beside a read on the connection kept from the read just before it.
void BM_ReadAfterAnIdleGapWithTheTracker50msAway(benchmark::State& state) {
    FarTracker far;
    std::vector<double> kept, afterGap;
    for (auto _ : state) {
        for (int i = 0; i < 6; ++i) {
            const auto first = far.readOnce();
            const auto again = far.readOnce();
            waitMs(5000);
            const auto later = far.readOnce();
            if (!first || !again || !later) {
                state.SkipWithError("a read through the relay failed");
                return;
            }
            kept.push_back(*again);
            afterGap.push_back(*later);
        }
        state.SetIterationTime(median(afterGap));
    }
    state.counters["read_kept_alive_ms"] = median(kept) * 1e3;
    state.counters["read_after_idle_gap_ms"] = median(afterGap) * 1e3;
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

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs the event loop until `done` says so, at most 10 s; says whether it did.
// Waits for events between checks, as the app's own event loop does: a loop that spun here
// kept a core from the access manager's thread, and on a busy machine the answer then waited
// for one, a wait no user of the app meets (the timer only bounds each wait).
bool processUntil(const std::function<bool()>& done) {
    QElapsedTimer waited;
    waited.start();
    QTimer wake;
    wake.start(20);
    while (!done() && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return done();
}

// Lets what a window's showing queued run, so that a click meets a window at rest.
void settle() {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 20) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

// The booking sheet as the app shows it when the timer stops: the sidebar of the
// account's window, the account's view model and service, and the timer, whose record
// of a booking goes to a snapshot file of its own before the booking leaves.
class Sheet {
public:
    explicit Sheet(Tracker& tracker)
        : m_tracker(tracker), m_clock(std::make_shared<ManualClock>(QDateTime::currentDateTimeUtc())),
          m_snapshots(m_folder.filePath(QStringLiteral("Velmora.plist"))),
          m_settings(m_folder.filePath(QStringLiteral("settings.conf"))),
          m_store(m_folder.filePath(QStringLiteral("Velmora.sqlite"))),
          m_bookings(environmentWithoutBookings()),
          m_viewModel(AnyProvider(tracker.account),
                      JiraService::create(tracker.account, APIRequest::jira(QStringLiteral("token-1"),
                                                                            QString(), tracker.jira.cloudId)),
                      environment()),
          m_timer(QStringLiteral("ACCOUNT"), environment()),
          m_sidebar(m_viewModel, m_timer, std::nullopt, m_store) {
        m_sidebar.resize(SidebarView::columnWidth, 700);
        m_sidebar.show();
        settle();
    }

    // Tracks half an hour on the task and stops the timer, which brings up the sheet;
    // then the seconds from a click on its Save to its closing. None when it did not
    // close on a booking made. With `readOnItsWay`, the tracker holds the sheet's read of
    // the task's work log far longer than Save waits for it.
    std::optional<double> clickSave(bool readOnItsWay = false) {
        if (readOnItsWay) {
            m_tracker.jira.http().slowAnswers(35000, "GET", QStringLiteral("/worklog"));
        } else {
            m_tracker.jira.http().slowAnswers(0, {}, {});
        }
        m_timer.start(m_tracker.project, m_tracker.task);
        m_clock->advance(1800 * 1000);
        m_timer.cancel();
        if (!processUntil([&] { return m_sidebar.bookingSheet() != nullptr; })) {
            return std::nullopt;
        }
        BookTimeView* sheet = m_sidebar.bookingSheet();
        if (auto* description = sheet->additionalFields()->findChild<QPlainTextEdit*>()) {
            description->setPlainText(QStringLiteral("Reviewed the release notes"));
        }
        settle();
        // The user takes a moment to read the sheet: what stopping the timer wrote is on
        // disk before the click, and the click's own record waits for no other write.
        m_bookings.settle();
        m_snapshots.flush();
        if (!sheet->saveButton()->isEnabled()) {
            return std::nullopt;
        }
        const int before = requestsOfTheClick();
        QElapsedTimer timer;
        std::optional<double> seconds;
        double cpuBefore = 0;
        QObject::connect(sheet, &BookTimeView::dismissed, sheet, [&] {
            seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
            m_mainThreadCpu.push_back(threadCpuSeconds() - cpuBefore);
        });
        // Connected after the sheet, so this runs once the timer's record is on disk,
        // just before the booking leaves.
        QObject::connect(sheet->form(), &AbstractWorkLogForm::bookingSending, sheet,
                         [&] { m_recorded.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e9); });
        cpuBefore = threadCpuSeconds();
        timer.start();
        QTest::mouseClick(sheet->saveButton(), Qt::LeftButton);
        if (!processUntil([&] { return seconds.has_value(); })) {
            return std::nullopt;
        }
        // Done with the booking once the sidebar let go of its form.
        processUntil([&] { return m_sidebar.workLogForm() == nullptr; });
        settle();
        m_requests.push_back(requestsOfTheClick() - before);
        return seconds;
    }

    QWidget* window() { return &m_sidebar; }
    qint64 recordSize() const { return QFileInfo(m_snapshots.filePath()).size(); }
    const std::vector<int>& requestsPerClick() const { return m_requests; }
    // From each click to the booking leaving, its record written.
    const std::vector<double>& recorded() const { return m_recorded; }
    // The main thread's CPU time from each click to the sheet's closing.
    const std::vector<double>& mainThreadCpu() const { return m_mainThreadCpu; }

private:
    // What the tracker received, less the sheet's read of the task's work log: that goes
    // out as the sheet opens, and on a busy machine may arrive after the click.
    int requestsOfTheClick() const {
        return m_tracker.jira.requestCount() -
               static_cast<int>(m_tracker.jira.http().requestsTo(QStringLiteral("/worklog"), "GET").size());
    }

    // What the booking records are made with: everything but themselves.
    StateEnvironment environmentWithoutBookings() {
        StateEnvironment environment;
        environment.clock = m_clock;
        environment.snapshots = &m_snapshots;
        environment.settings = &m_settings;
        return environment;
    }

    // The app's: the process-wide records of bookings hold each booking's outcome.
    StateEnvironment environment() {
        StateEnvironment environment = environmentWithoutBookings();
        environment.bookings = &m_bookings;
        return environment;
    }

    Tracker& m_tracker;
    QTemporaryDir m_folder;
    std::shared_ptr<ManualClock> m_clock;
    SnapshotManager m_snapshots;
    UserSettings m_settings;
    ProviderStore m_store;
    BookingRecords m_bookings;
    ApplicationViewModel m_viewModel;
    TimerViewModel m_timer;
    SidebarView m_sidebar;
    std::vector<int> m_requests;
    std::vector<double> m_mainThreadCpu;
    std::vector<double> m_recorded;
};

// The same click on a dialog that closes on it and does nothing else, opened as the
// sheet is, over the same window.
std::optional<double> clickBareDialog(QWidget* window) {
    QDialog dialog(window);
    auto* layout = new QVBoxLayout(&dialog);
    auto* save = new QPushButton(QStringLiteral("Save"), &dialog);
    layout->addWidget(save);
    QObject::connect(save, &QPushButton::clicked, &dialog, &QDialog::accept);
    dialog.open();
    settle();
    QElapsedTimer timer;
    std::optional<double> seconds;
    QObject::connect(&dialog, &QDialog::finished, &dialog,
                     [&] { seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9; });
    timer.start();
    QTest::mouseClick(save, Qt::LeftButton);
    processUntil([&] { return seconds.has_value(); });
    return seconds;
}

// One save of `size` bytes as any file that must survive a crash is saved: written to a
// new file, fsynced and renamed over `path`. (An fsync of a new file waits for its
// creation to be journalled too, which on a busy disk is most of its time; the
// record is saved so, and a floor that only rewrote a file in place would not pay it.)
std::optional<double> fsyncOnce(const QString& path, qint64 size) {
    const QByteArray bytes(size, 'x');
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    QElapsedTimer timer;
    timer.start();
    const int file = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file < 0) {
        return std::nullopt;
    }
    const bool written =
        ::write(file, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size() &&
        ::fsync(file) == 0;
    ::close(file);
    if (!written || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return std::nullopt;
    }
    // The new name is durable only once its folder is.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int directory = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0 || ::fsync(directory) != 0) {
        if (directory >= 0) {
            ::close(directory);
        }
        return std::nullopt;
    }
    ::close(directory);
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

// Rounds of clicks on Save in the sheet beside the floor's parts, into the state's
// counters.
void clickSaveBesideFloor(benchmark::State& state, bool readOnItsWay, int rounds) {
    Tracker tracker;
    const PlainPost post(tracker);
    QTemporaryDir folder;
    Sheet sheet(tracker);
    QNetworkAccessManager manager;
    std::vector<double> clicks, bare, syncs, plain;
    for (auto _ : state) {
        if (post.body.isEmpty()) {
            state.SkipWithError("the booking whose body the plain request copies failed");
            return;
        }
        // A round unmeasured: the sheet's first booking opens the service's connection
        // (as the task list's requests did before the user booked), the plain request
        // its own, and the record's file comes to be.
        if (!sheet.clickSave() || !post.once(manager) || !clickBareDialog(sheet.window())) {
            state.SkipWithError("the first round failed");
            return;
        }
        const QString syncPath = folder.filePath(QStringLiteral("record"));
        for (int round = 0; round < rounds; ++round) {
            const auto click = sheet.clickSave(readOnItsWay);
            const auto bareClick = clickBareDialog(sheet.window());
            const auto sync = fsyncOnce(syncPath, sheet.recordSize());
            const auto request = post.once(manager);
            if (!click || !bareClick || !sync || !request) {
                state.SkipWithError(!click ? "a booking from the sheet failed"
                                           : "a round of the floor failed");
                return;
            }
            clicks.push_back(*click);
            bare.push_back(*bareClick);
            syncs.push_back(*sync);
            plain.push_back(*request);
        }
        state.SetIterationTime(median(clicks));
    }
    const auto& sent = sheet.requestsPerClick();
    const auto [fewest, most] = std::minmax_element(sent.begin(), sent.end());
    state.counters["click_ms"] = median(clicks) * 1e3;
    state.counters["bare_click_ms"] = median(bare) * 1e3;
    state.counters["fsync_ms"] = median(syncs) * 1e3;
    state.counters["request_ms"] = median(plain) * 1e3;
    state.counters["floor_ms"] = (median(bare) + 2 * median(syncs) + median(plain)) * 1e3;
    state.counters["click_to_sent_ms"] = median(sheet.recorded()) * 1e3;
    state.counters["click_main_cpu_ms"] = median(sheet.mainThreadCpu()) * 1e3;
    state.counters["record_bytes"] = static_cast<double>(sheet.recordSize());
    // Every click sent the same number of requests, or the count is no count at all.
    state.counters["requests_per_click"] = sent.empty() || *fewest != *most ? -1 : *fewest;
}

void BM_SaveClickToSheetClosedBesideFloor(benchmark::State& state) {
    clickSaveBesideFloor(state, false, requests);
}

// Each round waits the bound (a second): fewer of them.
void BM_SaveWithTheReadOnItsWayBesideFloor(benchmark::State& state) {
    clickSaveBesideFloor(state, true, 15);
    state.counters["wait_bound_ms"] = static_cast<double>(AbstractWorkLogForm::entriesWaitBound.count());
}

// What a Save writes of its booking's record, with `claims` claims of earlier bookings kept
// (a busy week of a team's bookings): from the booking leaving (its record written before it
// is sent) to its answer noted (the record saved, its claim made), each on disk. The tracker
// is left out: what is measured is what the claims add to the Save's writes.
void BM_SaveRecordsWithClaims(benchmark::State& state) {
    const int claims = static_cast<int>(state.range(0));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("Velmora.plist"));
    {
        SnapshotManager seed(path);
        std::vector<SnapshotManager::Change> changes;
        const QDateTime morning = QDateTime::currentDateTime().addSecs(-3600);
        for (int i = 0; i < claims; ++i) {
            const BookingClaim claim{QUuid::createUuid(), QStringLiteral("Jira"),
                                     QStringLiteral("ACCOUNT"), QString::number(20000 + i),
                                     QString::number(10000 + i % 40), morning.addSecs(i),
                                     900 * (1 + i % 7), 0, {}, false};
            changes.push_back({SnapshotKind::Claims, claim.record.toString(QUuid::WithoutBraces), claim.toSnapshot()});
        }
        seed.apply(changes);
        seed.flush();
    }
    SnapshotManager snapshots(path);
    StateEnvironment environment;
    environment.snapshots = &snapshots;
    environment.accountExists = [](const QString&) { return true; };
    BookingRecords records(environment);
    records.settle();
    snapshots.flush();
    std::vector<double> saves;
    std::vector<double> cpu;
    int booked = 0;
    for (auto _ : state) {
        BookingRecord draft;
        draft.account = QStringLiteral("ACCOUNT");
        draft.tracker = QStringLiteral("Jira");
        draft.source = BookingRecord::Source::manual;
        draft.task.id = QStringLiteral("10001");
        draft.booking = WorkLogBooking{draft.task.id, QDateTime::currentDateTime().addSecs(-1800), 1800, {}};
        const double cpuBefore = threadCpuSeconds();
        QElapsedTimer timer;
        timer.start();
        bool left = false;
        const QUuid id = records.depart(draft, std::nullopt, [&](const std::optional<QString>&) { left = true; });
        processUntil([&] { return left; });
        records.answered(id, QStringLiteral("w-%1").arg(++booked));
        processUntil([&] { return records.peek(id) && records.peek(id)->state == BookingRecord::State::saved; });
        saves.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e9);
        cpu.push_back(threadCpuSeconds() - cpuBefore);
        state.SetIterationTime(saves.back());
    }
    state.counters["save_ms"] = median(saves) * 1e3;
    state.counters["main_cpu_ms"] = median(cpu) * 1e3;
    state.counters["file_bytes"] = static_cast<double>(QFileInfo(path).size());
}

BENCHMARK(BM_SaveRecordsWithClaims)->Arg(0)->Arg(4000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_SaveToWorkLogAnswer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SaveToWorkLogAnswerOpenedAhead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SaveWithTheTracker50msAway)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReadAfterAnIdleGapWithTheTracker50msAway)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PlainPostKeptAlive)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PlainPostNewConnection)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SaveWithTheReadOnItsWayBesideFloor)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_SaveClickToSheetClosedBesideFloor)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

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
    bounds.atMost(
        "booking: Save click to sheet closed / bare click+2 fsyncs+request",
        [](const Runs& runs) -> std::optional<Measurement> {
            const auto click = Bounds::counter(runs, "BM_SaveClickToSheetClosedBesideFloor", "click_ms");
            const auto floor = Bounds::counter(runs, "BM_SaveClickToSheetClosedBesideFloor", "floor_ms");
            if (!click || !floor) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*click / 1e3), Quantity::seconds(*floor / 1e3)};
        },
        2.0);
    bounds.atMost(
        "booking: Save click, read on its way, less the wait bound / bare click+2 fsyncs+request (new connection)",
        [](const Runs& runs) -> std::optional<Measurement> {
            const char* name = "BM_SaveWithTheReadOnItsWayBesideFloor";
            const auto click = Bounds::counter(runs, name, "click_ms");
            const auto bare = Bounds::counter(runs, name, "bare_click_ms");
            const auto fsync = Bounds::counter(runs, name, "fsync_ms");
            const auto wait = Bounds::counter(runs, name, "wait_bound_ms");
            const auto request = Bounds::counter(runs, "BM_PlainPostNewConnection", "request_ms");
            if (!click || !bare || !fsync || !wait || !request) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds((*click - *wait) / 1e3),
                               Quantity::seconds((*bare + 2 * *fsync + *request) / 1e3)};
        },
        2.0);
    bounds.exactly("booking: requests per click on Save in the sheet",
                   [](const Runs& runs) -> std::optional<Measurement> {
                       const auto sent = Bounds::counter(runs, "BM_SaveClickToSheetClosedBesideFloor",
                                                         "requests_per_click");
                       return sent ? std::optional<Measurement>({Quantity::count(*sent), Quantity::count(1)})
                                   : std::nullopt;
                   });
    bounds.exactly("booking: requests per Save", [](const Runs& runs) -> std::optional<Measurement> {
        const auto sent = Bounds::counter(runs, "BM_SaveToWorkLogAnswer", "requests_per_save");
        return sent ? std::optional<Measurement>({Quantity::count(*sent), Quantity::count(1)}) : std::nullopt;
    });
    // A booking goes on a connection of its own, never a kept one: the form's Save costs at most
    // 2.5 x a plain request on a new connection, and, on the connection opened ahead for it, never
    // the handshake (at most half a new one); the round trips it costs are held with the tracker
    // 50 ms away, where they are what the user waits for.
    const auto openedAhead = [](const Runs& runs) {
        return Bounds::counter(runs, "BM_SaveToWorkLogAnswerOpenedAhead", "save_ms");
    };
    bounds.atMost(
        "booking: Save to answer (a connection of its own) / plain request, new connection",
        [save](const Runs& runs) -> std::optional<Measurement> {
            const auto saved = save(runs);
            const auto plain = Bounds::counter(runs, "BM_PlainPostNewConnection", "request_ms");
            if (!saved || !plain) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*saved / 1e3), Quantity::seconds(*plain / 1e3)};
        },
        2.5);
    bounds.atMost(
        "booking: Save to answer, connection opened ahead / plain request, new connection",
        [openedAhead](const Runs& runs) -> std::optional<Measurement> {
            const auto saved = openedAhead(runs);
            const auto plain = Bounds::counter(runs, "BM_PlainPostNewConnection", "request_ms");
            if (!saved || !plain) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*saved / 1e3), Quantity::seconds(*plain / 1e3)};
        },
        0.5);
    // With the tracker 50 ms away, the round trips a click costs are what the user waits for: a
    // Save on its connection opened ahead, and a read after an idle gap (the timer's Stop, then
    // the sheet's read) on the connection the server still keeps, cost what a read on a kept
    // connection costs.
    const auto far = [](const char* name, const char* counter, const char* floor) {
        return [name, counter, floor](const Runs& runs) -> std::optional<Measurement> {
            const auto measured = Bounds::counter(runs, name, counter);
            const auto kept = Bounds::counter(runs, name, floor);
            if (!measured || !kept) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*measured / 1e3), Quantity::seconds(*kept / 1e3)};
        };
    };
    bounds.atMost("booking, tracker 50 ms away: Save on its connection opened ahead / a read on a kept connection",
                  far("BM_SaveWithTheTracker50msAway", "save_opened_ahead_ms", "read_kept_alive_ms"), 1.2);
    bounds.atMost("booking, tracker 50 ms away: read after a 5 s idle gap / a read on a kept connection",
                  far("BM_ReadAfterAnIdleGapWithTheTracker50msAway", "read_after_idle_gap_ms", "read_kept_alive_ms"),
                  1.2);
    for (const char* counter : {"save_ms", "main_cpu_ms"}) {
        bounds.atMost(
            std::string("booking: a Save's record writes with 4,000 claims / with none, ") + counter,
            [counter](const Runs& runs) -> std::optional<Measurement> {
                const auto many = Bounds::counter(runs, "BM_SaveRecordsWithClaims/4000", counter);
                const auto none = Bounds::counter(runs, "BM_SaveRecordsWithClaims/0", counter);
                if (!many || !none) {
                    return std::nullopt;
                }
                return Measurement{Quantity::seconds(*many / 1e3), Quantity::seconds(*none / 1e3)};
            },
            1.2);
    }
    return velmora::bench::runBenchmarks(argc, argv, bounds, true);
}
