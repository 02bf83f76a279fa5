#pragma once

#include "tests/support/FakeHttpsServer.h"
#include "tests/support/ScriptedAnswers.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace velmora::test {

// A YouTrack instance for connector tests, built on FakeHttpsServer: it keeps users,
// projects with their time-tracking settings, state and user bundles, issues and
// work items, and answers the REST resources the connector reads and writes from
// that state, so a booked work item shows in later reads and a deleted one is gone.
//
//   test::FakeYouTrackServer youTrack;            // token "perm-token"
//   youTrack.addProject({"0-1", "APP", "Application"});
//   youTrack.addIssue({"2-1", "APP-1", "0-1", "Crash on start"});
//   YouTrackProvider account(id, "Work", {youTrack.baseUrl()});
//   ... book, then:
//   EXPECT_EQ(youTrack.workItems().size(), 1u);
//
// Every request must carry "Authorization: Bearer <token>", else 401. Lists page
// with "$top"/"$skip" (all when "$top" is missing). Work-item lists apply "author"
// ("me" or a login), "start"/"end" (on the item's date) and the query "issue ID: X" (a
// readable id; anything else is a query error, 400). The query is decoded the way a
// servlet container does it ("+" is a blank), so a client that does not escape "+"
// is caught. "fields" is not interpreted: every record is sent whole, with "$type"
// on every object, as the real server adds it. Exact routes added with `http().on`
// win over the simulation (for malformed or scripted answers).
class FakeYouTrackServer {
public:
    struct User {
        QString id{};
        QString login{};
        QString fullName{};
        // Sent as is: a path on the instance ("/hub/api/rest/avatar/...") or absolute.
        QString avatarUrl{};
    };
    struct WorkItemType {
        QString id{};
        QString name{};
    };
    struct Project {
        QString id{};
        QString shortName{};
        QString name{};
        bool timeTrackingEnabled = true;
        std::vector<WorkItemType> workItemTypes{};
        // Answer this project's time-tracking settings with this status (403, say)
        // instead of the settings; 0 for the settings.
        int settingsStatus = 0;
    };
    struct Issue {
        QString id{};
        QString idReadable{};
        QString projectId{};
        QString summary{};
        QString description{};
        // A state name of the first state bundle; empty for none.
        QString state{};
        // Empty for unassigned.
        QString assigneeLogin{};
    };
    struct WorkItem {
        QString id{};
        QString issueId{};
        QString authorLogin{};
        qint64 minutes = 0;
        std::optional<QString> text{};
        // Milliseconds since 1970.
        qint64 date = 0;
        std::optional<QString> typeId{};
        // Milliseconds since 1970, sent as "created" when set; a booked item gets the
        // moment it arrived.
        std::optional<qint64> created{};
        // Listed from this moment of the list clock on (FakeHttpsServer::setListLag).
        qint64 listedFrom = 0;
    };
    struct UserBundle {
        // The project ids of the bundle's groups; an absent one is a group that is no
        // project's team.
        std::vector<std::optional<QString>> teamProjectIds{};
        QStringList logins{};
    };

    explicit FakeYouTrackServer(QString token = QStringLiteral("perm-token"));

    FakeHttpsServer& http() { return m_http; }
    // What an account's "baseUrl" holds to reach this server: "127.0.0.1:<port>".
    QString baseUrl() const { return m_http.hostAndPort(); }
    const QString& token() const { return m_token; }

    // The token's owner (answers "api/users/me" and "author=me"); also a known user.
    void setMe(User user);
    const User& me() const { return m_me; }
    void addUser(User user);
    void addProject(Project project);
    Project* project(const QString& id);
    void addIssue(Issue issue);
    Issue* issue(const QString& id);
    void addWorkItem(WorkItem item);
    // Each bundle is a list of state names; the first bundle is the issues' states.
    void setStateBundles(std::vector<QStringList> bundles) { m_stateBundles = std::move(bundles); }
    // States that "State: {Unresolved}" leaves out.
    void setResolvedStates(QStringList states) { m_resolvedStates = std::move(states); }
    void addUserBundle(UserBundle bundle) { m_userBundles.push_back(std::move(bundle)); }

    // The date given to work items booked from now on (milliseconds since 1970).
    void setNow(qint64 milliseconds) { m_now = milliseconds; }

    // Answers every request with this status (401 or 403, say) and an error body;
    // 0 serves normally again.
    void refuseAll(int status) { m_refusal = status; }

    // Holds back the answers to requests whose decoded path ends with `pathSuffix`
    // (all requests when it is empty) for `ms` milliseconds; 0 answers at once.
    void setAnswerDelay(int ms, const QString& pathSuffix = QString()) {
        m_delayMs = ms;
        m_delayedPathSuffix = pathSuffix;
    }

    const std::vector<WorkItem>& workItems() const { return m_workItems; }

    // Work-item lists answered as a server (or a proxy) that drops their filters:
    // "author", "start", "end" and "query" are not applied, every item is listed.
    void setWorkItemFiltersIgnored(bool ignored) { m_workItemFiltersIgnored = ignored; }

    // Scripted answers, as the other fake trackers take them: the next request that
    // `match` accepts gets `response` instead of the simulation; `intercept` answers
    // every request its handler answers (a non-empty result).
    void interceptOnce(ScriptedAnswers::Matcher match, FakeResponse response) {
        m_scripted.once(std::move(match), std::move(response));
    }
    void interceptOnce(const QByteArray& method, const QString& pathSuffix, FakeResponse response) {
        interceptOnce(
            [method, pathSuffix](const FakeRequest& request) { return request.matches(method, pathSuffix); },
            std::move(response));
    }
    void intercept(ScriptedAnswers::Handler handler) { m_scripted.always(std::move(handler)); }

    // The requests whose decoded path is `path` ("/api/issues"), in order of arrival.
    QList<FakeRequest> requestsTo(const QString& path) const;
    // A request's query items, decoded as the real server does ("+" is a blank).
    static QList<std::pair<QString, QString>> decodedQuery(const FakeRequest& request);
    static QString decodedQueryValue(const FakeRequest& request, const QString& name);

private:
    FakeResponse handle(const FakeRequest& request);
    FakeResponse simulate(const FakeRequest& request);
    FakeResponse projects(const FakeRequest& request) const;
    FakeResponse timeTrackingSettings(const QString& projectId) const;
    FakeResponse stateBundles(const FakeRequest& request) const;
    FakeResponse userBundles(const FakeRequest& request) const;
    FakeResponse searchIssues(const FakeRequest& request) const;
    FakeResponse listWorkItems(const FakeRequest& request) const;
    FakeResponse addWorkItemFrom(const QString& issueId, const FakeRequest& request);
    FakeResponse deleteWorkItem(const QString& issueId, const QString& itemId);

    QJsonObject issueJson(const Issue& issue, bool fieldValues) const;
    QJsonObject workItemJson(const WorkItem& item) const;
    const User* userByLogin(const QString& login) const;
    qint64 spentMinutes(const QString& issueId) const;
    std::optional<bool> matches(const Issue& issue, const QString& query) const;

    FakeHttpsServer m_http;
    QString m_token;
    User m_me;
    std::vector<User> m_users;
    std::vector<Project> m_projects;
    std::vector<Issue> m_issues;
    std::vector<WorkItem> m_workItems;
    std::vector<QStringList> m_stateBundles;
    QStringList m_resolvedStates{QStringLiteral("Fixed"), QStringLiteral("Done")};
    std::vector<UserBundle> m_userBundles;
    qint64 m_now = 0;
    int m_refusal = 0;
    ScriptedAnswers m_scripted;
    int m_delayMs = 0;
    QString m_delayedPathSuffix;
    int m_nextWorkItem = 1;
    bool m_workItemFiltersIgnored = false;
};

} // namespace velmora::test
