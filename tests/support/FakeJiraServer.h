#pragma once

#include "tests/support/FakeHttpsServer.h"
#include "tests/support/ScriptedAnswers.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace velmora::test {

// A Jira Cloud for connector tests, built on FakeHttpsServer. It keeps sites, users,
// projects with their statuses, issues and work logs, and answers the resources the
// connector reads and writes from that state, so a booked work log shows in later
// reads and a deleted one is gone.
//
//   test::FakeJiraServer jira;                    // site "cloud-1", user "acc-me", token "token-1"
//   jira.addProject({"10000", "PRJ", "Project"});
//   jira.addIssue({"10001", "PRJ-1", "10000", "Crash on start"});
//   qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
//   ... book, then:
//   EXPECT_EQ(jira.workLogs().size(), 1u);
//
// Every request must carry "Authorization: Bearer <token>" of a token the server
// knows (`addToken`), else 401; the token names the user that "currentUser()" and a
// new work log's author are. Site resources live under "/ex/jira/<cloud id>/".
// Lists page with "maxResults" (capped by `setMaxResultsCap`) and "startAt"; the issue
// search ("rest/api/3/search/jql") pages by "nextPageToken" instead, answers only the
// fields named in "fields" (the ids alone when none are) and the rendered ones only
// with "expand=renderedFields"; the removed "rest/api/3/search" answers 410. The JQL
// of the search is understood for the clauses the connector writes (project,
// summary~"text" with \" and \\ escapes, status, resolution=Unresolved, assignee,
// worklogDate >= / <= day, worklogAuthor = currentUser()), joined by AND; anything
// else answers 400, as Jira does. Scripted answers (`interceptOnce`, `intercept`)
// win over the simulation.
class FakeJiraServer {
public:
    struct User {
        QString accountId;
        QString displayName;
        QString avatar;
    };
    struct Project {
        QString id;
        QString key;
        QString name;
    };
    struct Status {
        QString id;
        QString name;
    };
    struct IssueType {
        QString id;
        QString name;
        std::vector<Status> statuses;
        bool subtask = false;
    };
    struct Issue {
        Issue(QString id, QString key, QString projectId, QString summary,
              Status status = {QStringLiteral("1"), QStringLiteral("To Do")})
            : id(std::move(id)), key(std::move(key)), projectId(std::move(projectId)),
              summary(std::move(summary)), status(std::move(status)) {}

        QString id;
        QString key;
        QString projectId;
        QString summary;
        Status status;
        bool resolved = false;
        std::optional<QString> assigneeId;
        // Rendered HTML; none sends null.
        std::optional<QString> description;
    };
    struct WorkLog {
        QString id;
        QString issueId;
        QString authorId;
        QDateTime started;
        double seconds = 0;
        std::optional<QString> comment;
        // Sent as "created" when set; a booked work log gets the moment it arrived.
        std::optional<QDateTime> created = std::nullopt;
        // Listed from this moment of the list clock on (FakeHttpsServer::setListLag).
        qint64 listedFrom = 0;
    };
    using Matcher = ScriptedAnswers::Matcher;

    FakeJiraServer();

    FakeHttpsServer& http() { return m_http; }
    QString hostAndPort() const { return m_http.hostAndPort(); }
    // "/ex/jira/<cloud id>": the path prefix of every site resource.
    QString sitePrefix() const;

    QString cloudId = QStringLiteral("cloud-1");
    QString siteUrl = QStringLiteral("https://example.atlassian.test");
    QString siteName = QStringLiteral("Example");
    // "JIRA" for the site's own time tracking.
    QString timeTrackingKey = QStringLiteral("JIRA");
    // The zone of the user's profile, in which JQL's "worklogDate" is read; the
    // machine's own unless a test moves it.
    QTimeZone profileTimeZone = QTimeZone::systemTimeZone();

    void addUser(const User& user) { m_users.push_back(user); }
    // Requests with this bearer token act as `accountId`.
    void addToken(const QString& token, const QString& accountId) { m_tokens[token] = accountId; }
    // The token no longer opens anything (an expired access token).
    void revokeToken(const QString& token) { m_tokens.erase(token); }
    bool knowsToken(const QString& token) const { return m_tokens.count(token) > 0; }

    void addProject(const Project& project) { m_projects.push_back(project); }
    void setIssueTypes(const QString& projectId, std::vector<IssueType> types) {
        m_issueTypes[projectId] = types;
    }
    void addIssue(const Issue& issue) { m_issues.push_back(issue); }
    // Adds a work log; an empty id gets the next free one. Yields the id.
    QString addWorkLog(WorkLog workLog);

    const std::vector<WorkLog>& workLogs() const { return m_workLogs; }
    const std::vector<Issue>& issues() const { return m_issues; }

    // The largest page the server hands out, whatever is asked (Jira's own cap).
    void setMaxResultsCap(int cap) { m_maxResultsCap = cap; }
    // Every answer waits this long (per request; requests are served side by side).
    // An issue's work logs are listed whatever "startedAfter"/"startedBefore" ask, as a
    // server or proxy that drops them would.
    bool workLogFiltersIgnored = false;
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
    // Shorthand: method (empty: any) and a path ending (decoded), e.g. ("GET", "/rest/api/3/serverInfo").
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

    // "2024-03-04T10:00:00.000+0000": how Jira writes a work log's start.
    static QString jiraTime(const QDateTime& time);

private:
    FakeResponse handle(const FakeRequest& request);
    FakeResponse site(const FakeRequest& request, const QString& path, const QString& account);
    FakeResponse search(const FakeRequest& request, const QString& account);
    FakeResponse workLogPage(const FakeRequest& request, const QString& issueId);
    FakeResponse addWorkLogFrom(const FakeRequest& request, const QString& issueId, const QString& account);
    FakeResponse deleteWorkLog(const QString& issueId, const QString& workLogId);
    FakeResponse page(const FakeRequest& request, const QJsonArray& all, const char* itemsKey) const;
    FakeResponse tokenPage(const FakeRequest& request, const QJsonArray& all) const;
    QJsonObject issueJson(const Issue& issue) const;
    QJsonObject userJson(const User& user) const;
    const User* user(const QString& accountId) const;
    const Issue* issue(const QString& id) const;
    const Project* project(const QString& idOrKey) const;

    FakeHttpsServer m_http;
    std::map<QString, QString> m_tokens;
    std::vector<User> m_users;
    std::vector<Project> m_projects;
    std::map<QString, std::vector<IssueType>> m_issueTypes;
    std::vector<Issue> m_issues;
    std::vector<WorkLog> m_workLogs;
    int m_nextWorkLogId = 20001;
    int m_maxResultsCap = 1000;
    int m_latencyMs = 0;
    QByteArray m_latencyMethod;
    ScriptedAnswers m_scripted;
};

} // namespace velmora::test
