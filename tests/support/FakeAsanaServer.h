#pragma once

#include "tests/support/FakeHttpsServer.h"
#include "tests/support/ScriptedAnswers.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace velmora::test {

// An Asana for connector tests, built on FakeHttpsServer. It keeps workspaces, users,
// teams, projects with their sections and members, tasks and time-tracking entries,
// and answers the resources of "/api/1.0" from that state, so an entry booked shows in
// later reads and a deleted one is gone.
//
//   test::FakeAsanaServer asana;                 // workspace "w1", user "u1", token "token-1"
//   asana.addProject({"p1", "Project"});
//   asana.addTask({.gid = "t1", .name = "Write", .projectGid = "p1", .assigneeGid = "u1"});
//   qputenv("VELMORA_ASANA_API_HOST", asana.hostAndPort().toUtf8());
//   ... book, then:
//   EXPECT_EQ(asana.entries().size(), 1u);
//
// Every request must carry "Authorization: Bearer <token>" of a known token (else
// 401); the token names the user that "me" and a new entry's author are. Records carry
// only "gid", their compact fields and what "opt_fields" asks for, as Asana does.
// Lists page with "limit" (1 to 100) and the opaque "offset" of the previous page's
// "next_page". The task search understands "projects.any", "text", "sections.all",
// "assignee.any" ("me" or a gid), "completed", "modified_at.before" and
// "modified_at.after" (both strict) and always sorts newest modification first; a
// booked or deleted entry changes its task's "actual_time_minutes" and modification
// time, as in Asana; it
// answers 402, as do the time-tracking entries, in a workspace without the paid plan.
// Ids in paths are read percent-decoded, one segment each. Scripted answers
// (`interceptOnce`, `intercept`) win over the simulation.
class FakeAsanaServer {
public:
    struct User {
        QString gid;
        QString name;
        // The 60 by 60 picture; none sends "photo": null.
        std::optional<QString> photo;
    };
    struct Workspace {
        QString gid;
        QString name;
        bool premium = true;
    };
    struct Team {
        QString gid;
        QString name;
        std::vector<QString> userGids;
    };
    struct Project {
        QString gid;
        QString name;
        QString workspaceGid = QStringLiteral("w1");
        // The "asana_created_field" of each custom field setting (none: a field of the
        // user's own).
        std::vector<std::optional<QString>> customFields;
    };
    struct Section {
        QString gid;
        QString name;
        QString projectGid;
    };
    struct Membership {
        QString gid;
        QString projectGid;
        QString memberGid;
        QString memberName;
        QString resourceType; // "user", "team", ...
    };
    struct Task {
        QString gid;
        QString name;
        QString projectGid;
        std::optional<QString> sectionGid;
        std::optional<QString> assigneeGid;
        QString htmlNotes = QStringLiteral("<body></body>");
        QDateTime modifiedAt = QDateTime::fromSecsSinceEpoch(1'700'000'000);
        bool completed = false;
        std::optional<std::int64_t> actualTimeMinutes;
        QString workspaceGid = QStringLiteral("w1");
    };
    struct Entry {
        QString gid;
        QString taskGid;
        QDate enteredOn;
        std::int64_t durationMinutes = 0;
        QString createdByGid;
        // Sent as "created_at" when set; a booked entry gets the moment it arrived.
        std::optional<QDateTime> createdAt = std::nullopt;
        // Listed from this moment of the list clock on (FakeHttpsServer::setListLag).
        qint64 listedFrom = 0;
    };
    using Matcher = ScriptedAnswers::Matcher;

    FakeAsanaServer();

    FakeHttpsServer& http() { return m_http; }
    QString hostAndPort() const { return m_http.hostAndPort(); }

    void addWorkspace(const Workspace& workspace) { m_workspaces.push_back(workspace); }
    void setPremium(const QString& workspaceGid, bool premium);
    void addUser(const User& user) { m_users.push_back(user); }
    // Requests with this bearer token act as `userGid`.
    void addToken(const QString& token, const QString& userGid) { m_tokens[token] = userGid; }
    // The token no longer opens anything (an expired access token).
    void revokeToken(const QString& token) { m_tokens.erase(token); }
    bool knowsToken(const QString& token) const { return m_tokens.count(token) > 0; }

    void addTeam(const Team& team) { m_teams.push_back(team); }
    void addProject(const Project& project) { m_projects.push_back(project); }
    void addSection(const Section& section) { m_sections.push_back(section); }
    void addMembership(const Membership& membership) { m_memberships.push_back(membership); }
    void addTask(const Task& task) { m_tasks.push_back(task); }
    // Adds an entry; an empty gid gets the next free one. Yields the gid.
    QString addEntry(Entry entry);

    const std::vector<Entry>& entries() const { return m_entries; }
    std::vector<Task>& tasks() { return m_tasks; }

    // The day a booked entry is entered on (Asana takes the booking's day).
    QDate bookingDay = QDate(2024, 5, 6);
    // A booked entry is entered on the day it arrived in UTC, on the tracker's clock,
    // whatever `bookingDay` says: the tracker's day, not the desktop's.
    bool datesByUtcDay = false;
    // A booked entry is entered on the local day it arrived, on the tracker's clock,
    // as for a user in this machine's zone (the try-out's tracker).
    bool datesByLocalDay = false;
    // The filtered list of entries ("time_tracking_entries" with "task", "user",
    // "entered_on_start_date" and "entered_on_end_date"): unknown (404, as a server
    // without it answers), or listing every entry whatever its filters ask.
    bool entryListUnknown = false;
    bool entryListFiltersIgnored = false;
    // Every answer waits this long (per request; requests are served side by side).
    void setLatency(int ms) { setLatency(ms, QByteArray()); }
    // Only the answers to requests of `method` (all when empty) wait.
    void setLatency(int ms, const QByteArray& method) {
        m_latencyMs = ms;
        m_latencyMethod = method;
    }

    // The next request that `match` accepts gets `response` instead of the simulation.
    void interceptOnce(Matcher match, FakeResponse response) {
        m_scripted.once(std::move(match), std::move(response));
    }
    // Shorthand: method (empty: any) and the end of the decoded path, e.g. ("GET", "/users/me").
    void interceptOnce(const QByteArray& method, const QString& pathSuffix, FakeResponse response) {
        interceptOnce(
            [method, pathSuffix](const FakeRequest& request) { return request.matches(method, pathSuffix); },
            std::move(response));
    }
    // Every request that `handler` answers (a non-empty result) is answered by it.
    void intercept(ScriptedAnswers::Handler handler) { m_scripted.always(std::move(handler)); }

    // Requests received whose decoded path ends with `pathSuffix` (any method when empty).
    QList<FakeRequest> requestsTo(const QString& pathSuffix, const QByteArray& method = {}) const {
        return m_http.requestsTo(pathSuffix, method);
    }
    int requestCount() const { return m_http.requestCount(); }
    // The most requests that were being answered at once (with a latency set).
    int peakConcurrency() const { return m_peak; }

    // "2024-05-01T10:00:00.000Z": how Asana writes a moment.
    static QString asanaTime(const QDateTime& time);

private:
    FakeResponse handle(const FakeRequest& request);
    FakeResponse route(const FakeRequest& request, const QStringList& segments, const QString& userGid);
    FakeResponse search(const FakeRequest& request, const QString& workspaceGid, const QString& userGid);
    FakeResponse bookEntry(const FakeRequest& request, const QString& taskGid, const QString& userGid);
    FakeResponse listEntries(const FakeRequest& request, const QStringList& fields) const;
    // One page of `all`, or 400 for a limit or offset Asana would refuse.
    FakeResponse page(const FakeRequest& request, const std::vector<QJsonObject>& all) const;
    QJsonObject userJson(const User& user, const QStringList& fields, bool full) const;
    const User* user(const QString& gid) const;
    const Workspace* workspace(const QString& gid) const;
    const Task* task(const QString& gid) const;
    // The task's time tracked changed by `minutes`, and so its modification time.
    void addTrackedTime(const QString& taskGid, std::int64_t minutes);

    FakeHttpsServer m_http;
    std::map<QString, QString> m_tokens;
    std::vector<Workspace> m_workspaces;
    std::vector<User> m_users;
    std::vector<Team> m_teams;
    std::vector<Project> m_projects;
    std::vector<Section> m_sections;
    std::vector<Membership> m_memberships;
    std::vector<Task> m_tasks;
    std::vector<Entry> m_entries;
    int m_nextEntry = 9001;
    int m_latencyMs = 0;
    QByteArray m_latencyMethod;
    int m_inFlight = 0;
    int m_peak = 0;
    ScriptedAnswers m_scripted;
};

} // namespace velmora::test
