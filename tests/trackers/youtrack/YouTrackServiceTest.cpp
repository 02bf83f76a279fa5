#include "tests/trackers/youtrack/YouTrackFixture.h"

using namespace velmora;
using test::awaitOutcome;
using test::FakeYouTrackServer;

namespace {

class YouTrackServiceTest : public test::YouTrackFixture {
protected:
    // A marking is dispatched to the main thread later: give it the chance to run.
    ProviderState stateAfterDelivery() {
        test::drainEvents();
        return storedState();
    }

    void addProjects(int count) {
        for (int i = 0; i < count; ++i) {
            // Names in reverse so that sorting is visible.
            youTrack.addProject({QStringLiteral("0-%1").arg(i), QStringLiteral("P%1").arg(i),
                                 QStringLiteral("Project %1").arg(99 - i, 2, 10, QLatin1Char('0'))});
        }
    }
};

} // namespace

TEST_F(YouTrackServiceTest, UserWithTokenFieldsAndResolvedAvatar) {
    auto user = awaitOutcome(service->fetchUser());
    ASSERT_TRUE(user && user->ok());
    EXPECT_EQ(user->value().externalId, u"jane");
    EXPECT_EQ(user->value().name, u"Jane Roe");
    EXPECT_EQ(user->value().avatar,
              "https://" + youTrack.baseUrl() + "/hub/api/rest/avatar/1-1?dpr=2&size=48");

    const auto request = youTrack.requestsTo(QStringLiteral("/api/users/me")).value(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Authorization"), "Bearer " + youTrack.token().toUtf8());
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(request, QStringLiteral("fields")),
              u"login,fullName,avatarUrl");
    EXPECT_FALSE(request.hasHeader("Content-Type"));
}

TEST_F(YouTrackServiceTest, AvatarAddressesAreResolvedAgainstTheBaseUrl) {
    const QString base = QStringLiteral("yt.example.com/youtrack/");
    EXPECT_EQ(YouTrackService::resolveAvatar(base, QStringLiteral("/hub/a.png")),
              u"https://yt.example.com/youtrack/hub/a.png");
    EXPECT_EQ(YouTrackService::resolveAvatar(base, QStringLiteral("hub/a.png")),
              u"https://yt.example.com/youtrack/hub/a.png");
    EXPECT_EQ(YouTrackService::resolveAvatar(base, QStringLiteral("https://cdn.example.org/a.png")),
              u"https://cdn.example.org/a.png");
    EXPECT_EQ(YouTrackService::resolveAvatar(base, QStringLiteral("//cdn.example.org/a.png")),
              u"https://cdn.example.org/a.png");
    EXPECT_EQ(YouTrackService::resolveAvatar(base, QString()), QString());
}

TEST_F(YouTrackServiceTest, TwentyProjectsCostTwoPagesAndTwentySettingsSortedByName) {
    addProjects(20);
    youTrack.project(QStringLiteral("0-3"))->timeTrackingEnabled = false;
    auto projects = awaitOutcome(service->fetchProjects());
    ASSERT_TRUE(projects && projects->ok());
    const auto& list = projects->value();
    ASSERT_EQ(list.size(), 20u);
    for (std::size_t i = 1; i < list.size(); ++i) {
        EXPECT_LT(list[i - 1].name, list[i].name);
    }
    EXPECT_EQ(list.front().name, u"Project 80");
    for (const auto& project : list) {
        EXPECT_EQ(project.configuration.timeTrackingEnabled, project.id != u"0-3")
            << project.id.toStdString();
        EXPECT_TRUE(project.configuration.assigneeFilterEnabled);
        EXPECT_TRUE(project.configuration.stateFilterEnabled);
        EXPECT_TRUE(project.configuration.searchEnabled);
        EXPECT_TRUE(project.tasks.empty());
    }

    const auto pages = youTrack.requestsTo(QStringLiteral("/api/admin/projects"));
    ASSERT_EQ(pages.size(), 2);
    EXPECT_EQ(FakeYouTrackServer::decodedQuery(pages[0]),
              (QList<std::pair<QString, QString>>{
                  {"fields", "id,shortName,name"}, {"$top", "20"}, {"$skip", "0"}}));
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(pages[1], QStringLiteral("$skip")), u"20");
    int settings = 0;
    for (const auto& request : youTrack.http().requests()) {
        if (request.decodedPath().endsWith(QLatin1String("/timeTrackingSettings"))) {
            ++settings;
            EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(request, QStringLiteral("fields")),
                      u"enabled,workItemTypes(id,name)");
        }
    }
    EXPECT_EQ(settings, 20);
}

TEST_F(YouTrackServiceTest, NoProjectsSendNoSettingsRequest) {
    auto projects = awaitOutcome(service->fetchProjects());
    ASSERT_TRUE(projects && projects->ok());
    EXPECT_TRUE(projects->value().empty());
    EXPECT_EQ(youTrack.http().requestCount(), 1);
}

TEST_F(YouTrackServiceTest, ForbiddenSettingsListTheProjectWithoutTrackingAndLoadTheRest) {
    addProjects(3);
    youTrack.project(QStringLiteral("0-1"))->settingsStatus = 403;
    auto projects = awaitOutcome(service->fetchProjects());
    ASSERT_TRUE(projects && projects->ok());
    ASSERT_EQ(projects->value().size(), 3u);
    for (const auto& project : projects->value()) {
        EXPECT_EQ(project.configuration.timeTrackingEnabled, project.id != u"0-1");
        EXPECT_TRUE(project.configuration.searchEnabled);
    }
    EXPECT_EQ(stateAfterDelivery(), ProviderState::operational);

    // Any other failure of one project's settings still fails the whole list.
    youTrack.project(QStringLiteral("0-1"))->settingsStatus = 500;
    auto failed = awaitOutcome(service->fetchProjects());
    ASSERT_TRUE(failed && !failed->ok());
    EXPECT_EQ(failed->error(), APIError::unknown());
}

TEST_F(YouTrackServiceTest, RefusedTokenMarksTheAccountOnItsOwnData) {
    addProjects(2);
    youTrack.project(QStringLiteral("0-1"))->settingsStatus = 401;
    auto projects = awaitOutcome(service->fetchProjects());
    ASSERT_TRUE(projects && !projects->ok());
    EXPECT_EQ(projects->error(), APIError::unauthorized());
    EXPECT_EQ(stateAfterDelivery(), ProviderState::missingCredentials);
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});

    // An account that was never saved has nothing to mark: only the failure arrives.
    youTrack.refuseAll(401);
    YouTrackProvider transient(std::nullopt, QStringLiteral("New"), {youTrack.baseUrl()});
    auto user = awaitOutcome(makeService(transient)->fetchUser());
    ASSERT_TRUE(user && !user->ok());
    EXPECT_EQ(user->error(), APIError::unauthorized());
    test::drainEvents();
    EXPECT_EQ(shell.defaultSelections.size(), 1u);
}

TEST_F(YouTrackServiceTest, ForbiddenIsNotATokenRefusal) {
    youTrack.refuseAll(403);
    auto states = awaitOutcome(service->fetchStates(project()));
    ASSERT_TRUE(states && !states->ok());
    EXPECT_EQ(states->error(), APIError::validation());
    EXPECT_EQ(stateAfterDelivery(), ProviderState::operational);
}

TEST_F(YouTrackServiceTest, StatesAreUnresolvedThenTheFirstBundle) {
    auto none = awaitOutcome(service->fetchStates(project()));
    ASSERT_TRUE(none && none->ok());
    EXPECT_TRUE(none->value().empty());

    youTrack.setStateBundles({{"Open", "Fixed"}, {"Other"}});
    auto states = awaitOutcome(service->fetchStates(project()));
    ASSERT_TRUE(states && states->ok());
    EXPECT_EQ(states->value(),
              (std::vector<Issue::State>{Issue::State::unresolved(), {"Open", "Open"}, {"Fixed", "Fixed"}}));
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(youTrack.http().lastRequest(), QStringLiteral("fields")),
              u"values(name)");

    youTrack.setStateBundles({{}, {"Other"}});
    auto first = awaitOutcome(service->fetchStates(project()));
    ASSERT_TRUE(first && first->ok());
    EXPECT_EQ(first->value(), std::vector<Issue::State>{Issue::State::unresolved()});
}

TEST_F(YouTrackServiceTest, AssigneesOfServingBundlesOnceEachWithResolvedAvatars) {
    youTrack.addProject({"0-1", "APP", "Application"});
    youTrack.addProject({"0-2", "WEB", "Website"});
    youTrack.addUser({"1-2", "bob", "Bob", "/hub/bob.png"});
    youTrack.addUser({"1-3", "eve", "Eve", "https://cdn.example.org/eve.png"});
    youTrack.addUser({"1-4", "max", "Max", "/hub/max.png"});
    youTrack.addUserBundle({{QStringLiteral("0-2")}, {"max"}});               // another project's team
    youTrack.addUserBundle({{QStringLiteral("0-1")}, {"bob", "jane"}});       // this project's team
    youTrack.addUserBundle({{std::nullopt}, {"jane", "eve"}});                // no project's team
    youTrack.addUserBundle({{QStringLiteral("0-2"), std::nullopt}, {"bob"}}); // one group is enough

    auto users = awaitOutcome(service->fetchAssignees(project()));
    ASSERT_TRUE(users && users->ok());
    const QString host = "https://" + youTrack.baseUrl();
    EXPECT_EQ(users->value(),
              (std::vector<User>{{"bob", "Bob", host + "/hub/bob.png"},
                                 {"jane", "Jane Roe", host + "/hub/api/rest/avatar/1-1?dpr=2&size=48"},
                                 {"eve", "Eve", QStringLiteral("https://cdn.example.org/eve.png")}}));
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(youTrack.http().lastRequest(), QStringLiteral("fields")),
              u"groups(teamForProject(id,shortName,name)),aggregatedUsers(id,fullName,avatarUrl,login)");
}

TEST_F(YouTrackServiceTest, SearchQueryTextAndItsEncoding) {
    const Project app = project();
    EXPECT_EQ(YouTrackService::searchQuery(app, std::nullopt, std::nullopt, std::nullopt), u"project: APP");
    EXPECT_EQ(YouTrackService::searchQuery(app, QString(), std::nullopt, std::nullopt), u"project: APP");
    EXPECT_EQ(YouTrackService::searchQuery(app, QStringLiteral("login {page}"), Issue::State::unresolved(),
                                           User{"jane", "Jane", std::nullopt}),
              u"project: APP summary: {login {page } State: {Unresolved} Assignee: jane");
    // A closing brace cannot stand inside a braced value: it would end the filter and
    // run the rest as query.
    EXPECT_EQ(
        YouTrackService::searchQuery(app, QStringLiteral("x} project: OTHER"), std::nullopt, std::nullopt),
        u"project: APP summary: {x  project: OTHER}");
    EXPECT_EQ(YouTrackService::searchQuery(app, QStringLiteral("}"), std::nullopt, std::nullopt),
              u"project: APP");

    auto tasks = service->fetchTasks(app, QStringLiteral("C++ & #1 = 100%"), std::nullopt, std::nullopt);
    EXPECT_EQ(youTrack.http().requestCount(), 0) << "nothing is sent before a page is asked for";
    auto page = awaitOutcome(tasks.fetchFirst());
    ASSERT_TRUE(page && page->ok());
    const auto request = youTrack.requestsTo(QStringLiteral("/api/issues")).value(0);
    // Decoded as the real server does ("+" would be a blank): every character survives.
    EXPECT_EQ(FakeYouTrackServer::decodedQuery(request),
              (QList<std::pair<QString, QString>>{
                  {"query", "project: APP summary: {C++ & #1 = 100%}"},
                  {"fields", "id,idReadable,summary,wikifiedDescription,customFields(name,value(id,name,"
                             "presentation,avatarUrl))"},
                  {"customFields", "state"},
                  {"customFields", "spent time"},
                  {"customFields", "assignee"},
                  {"$top", "20"},
                  {"$skip", "0"}}));
    EXPECT_TRUE(request.rawQuery.contains("C%2B%2B%20%26%20%231%20%3D%20100%25"))
        << request.rawQuery.toStdString();
}

TEST_F(YouTrackServiceTest, IssuesMapFromTheirCustomFields) {
    youTrack.addProject({"0-1", "APP", "Application"});
    youTrack.addProject({"0-2", "WEB", "Website"});
    youTrack.addUser({"1-2", "bob", "Bob", "/hub/bob.png"});
    youTrack.addIssue({"2-1", "APP-1", "0-1", "Crash on start", "<p>Boom</p>", "Open", "bob"});
    youTrack.addIssue({"2-2", "APP-2", "0-1", "Login page", "", "Fixed", ""});
    youTrack.addIssue({"2-3", "WEB-1", "0-2", "Crash elsewhere", "", "Open", ""});
    youTrack.addWorkItem({"wi-1", "2-1", "jane", 90, std::nullopt, 0, std::nullopt});

    auto all =
        awaitOutcome(service->fetchTasks(project(), std::nullopt, std::nullopt, std::nullopt).fetchAll());
    ASSERT_TRUE(all && all->ok());
    ASSERT_EQ(all->value().size(), 2u);
    const Issue& crash = all->value()[0];
    EXPECT_EQ(crash.id, u"2-1");
    EXPECT_EQ(crash.reference, QStringLiteral("APP-1"));
    EXPECT_EQ(crash.name, u"Crash on start");
    EXPECT_EQ(crash.description, QStringLiteral("<p>Boom</p>"));
    EXPECT_EQ(crash.state, (Issue::State{"state-Open", "Open"}));
    EXPECT_EQ(crash.spentTime, QStringLiteral("1h 30m"));
    EXPECT_EQ(crash.assignee, (User{"1-2", "Bob", "https://" + youTrack.baseUrl() + "/hub/bob.png"}));
    EXPECT_EQ(crash.externalUrl, QUrl("https://" + youTrack.baseUrl() + "/issue/APP-1"));
    const Issue& login = all->value()[1];
    EXPECT_FALSE(login.description);
    EXPECT_FALSE(login.spentTime);
    EXPECT_FALSE(login.assignee);

    auto unresolved = awaitOutcome(service
                                       ->fetchTasks(project(), QStringLiteral("crash"),
                                                    Issue::State::unresolved(), User{"bob", "Bob", {}})
                                       .fetchAll());
    ASSERT_TRUE(unresolved && unresolved->ok());
    ASSERT_EQ(unresolved->value().size(), 1u);
    EXPECT_EQ(unresolved->value()[0].id, u"2-1");
}

TEST_F(YouTrackServiceTest, IssueMappingTakesTheFirstFieldOfEachType) {
    YouTrackTaskDTO task;
    task.id = "2-9";
    task.idReadable = "APP-9";
    task.summary = "Two states";
    using Field = YouTrackTaskDTO::CustomField;
    task.customFields = {
        Field{"Stage", Field::Value{"s1", QStringLiteral("Review"), {}, {}}, "StateIssueCustomField"},
        Field{"State", Field::Value{"s2", QStringLiteral("Open"), {}, {}}, "StateIssueCustomField"},
        Field{"Estimate", Field::Value{"p1", {}, {}, {}}, "PeriodIssueCustomField"},
        Field{"Owner", Field::Value{"u1", {}, {}, {}}, "SingleUserIssueCustomField"},
        Field{"Assignee", Field::Value{"u2", QStringLiteral("Bob"), {}, {}}, "SingleUserIssueCustomField"},
    };
    const Issue issue = YouTrackService::issueFrom(task, QStringLiteral("yt.example.com"));
    EXPECT_EQ(issue.state, (Issue::State{"s1", "Review"}));
    EXPECT_FALSE(issue.spentTime);
    // The first assignee field has no name: no assignee, the second field is not asked.
    EXPECT_FALSE(issue.assignee);

    task.customFields = {
        Field{"State", std::nullopt, "StateIssueCustomField"},
        Field{"Assignee", Field::Value{"u2", QStringLiteral("Bob"), {}, {}}, "SingleUserIssueCustomField"}};
    const Issue plain = YouTrackService::issueFrom(task, QStringLiteral("yt.example.com"));
    EXPECT_FALSE(plain.state);
    ASSERT_TRUE(plain.assignee);
    EXPECT_FALSE(plain.assignee->avatar);
}

TEST_F(YouTrackServiceTest, IssueSearchPagesAndReportsRefusalsWithoutMarking) {
    youTrack.addProject({"0-1", "APP", "Application"});
    for (int i = 0; i < 25; ++i) {
        youTrack.addIssue({QStringLiteral("2-%1").arg(i), QStringLiteral("APP-%1").arg(i), "0-1",
                           QStringLiteral("Task %1").arg(i)});
    }
    auto tasks = service->fetchTasks(project(), std::nullopt, std::nullopt, std::nullopt);
    auto first = awaitOutcome(tasks.fetchFirst());
    ASSERT_TRUE(first && first->ok());
    EXPECT_EQ(first->value().size(), 20u);
    EXPECT_TRUE(tasks.hasMorePages());
    auto second = awaitOutcome(tasks.fetchNext());
    ASSERT_TRUE(second && second->ok());
    EXPECT_EQ(second->value().size(), 5u);
    EXPECT_FALSE(tasks.hasMorePages());
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(youTrack.http().lastRequest(), QStringLiteral("$skip")),
              u"20");

    youTrack.refuseAll(401);
    auto refused =
        awaitOutcome(service->fetchTasks(project(), std::nullopt, std::nullopt, std::nullopt).fetchFirst());
    ASSERT_TRUE(refused && !refused->ok());
    EXPECT_EQ(refused->error(), APIError::unauthorized());
    EXPECT_EQ(stateAfterDelivery(), ProviderState::operational);
}

TEST_F(YouTrackServiceTest, UndecodablePageFailsWithUnknown) {
    youTrack.http().on(
        "GET", "/api/issues",
        test::FakeResponse::json(
            R"([{"id":"2-1","idReadable":"APP-1","summary":"x","wikifiedDescription":"",)"
            R"("customFields":[{"name":"State","$type":"StateIssueCustomField","value":[{"id":"t"}]}]}])"));
    auto page =
        awaitOutcome(service->fetchTasks(project(), std::nullopt, std::nullopt, std::nullopt).fetchFirst());
    ASSERT_TRUE(page && !page->ok());
    EXPECT_EQ(page->error(), APIError::unknown());
}

TEST_F(YouTrackServiceTest, AProjectWithSeveralAssigneesPerIssueListsItsTasks) {
    youTrack.http().on(
        "GET", "/api/issues",
        test::FakeResponse::json(
            R"([{"id":"2-1","idReadable":"APP-1","summary":"x","wikifiedDescription":"","customFields":[)"
            R"({"name":"Assignee","$type":"MultiUserIssueCustomField","value":[{"id":"1-2","name":"Bob"}]},)"
            R"({"name":"Tags","$type":"MultiEnumIssueCustomField","value":[{"name":"t"}]},)"
            R"({"name":"Due","$type":"DateIssueCustomField","value":1700000000000}]}])"));
    auto page =
        awaitOutcome(service->fetchTasks(project(), std::nullopt, std::nullopt, std::nullopt).fetchFirst());
    ASSERT_TRUE(page && page->ok());
    ASSERT_EQ(page->value().size(), 1u);
    ASSERT_TRUE(page->value().front().assignee.has_value());
    EXPECT_EQ(page->value().front().assignee->name, u"Bob");
}

TEST_F(YouTrackServiceTest, WorkEntriesOfTheIntervalPageByPage) {
    youTrack.addProject({"0-1", "APP", "Application"});
    youTrack.addIssue({"2-1", "APP-1", "0-1", "Crash on start", "<p>Boom</p>", "Open"});
    const qint64 day = 1700000000000;
    for (int i = 0; i < 20; ++i) {
        youTrack.addWorkItem(
            {QStringLiteral("wi-%1").arg(i), "2-1", "jane", 90,
             i == 0 ? std::optional<QString>() : std::optional<QString>(i == 1 ? "" : "Fixing"),
             day + 999 + i, std::nullopt});
    }
    youTrack.addWorkItem({"wi-other", "2-1", "bob", 30, std::nullopt, day, std::nullopt});
    youTrack.addWorkItem({"wi-late", "2-1", "jane", 30, std::nullopt, day + 86400000, std::nullopt});

    const DateInterval interval{QDateTime::fromMSecsSinceEpoch(day, Qt::UTC),
                                QDateTime::fromMSecsSinceEpoch(day + 3600000 + 0.5, Qt::UTC)};
    auto entries = awaitOutcome(service->fetchWorkEntries(interval));
    ASSERT_TRUE(entries && entries->ok());
    ASSERT_EQ(entries->value().size(), 20u);
    const WorkEntry& first = entries->value()[0];
    EXPECT_EQ(first.id, u"wi-0");
    EXPECT_FALSE(first.description);
    EXPECT_FALSE(entries->value()[1].description);
    EXPECT_EQ(entries->value()[2].description, QStringLiteral("Fixing"));
    EXPECT_EQ(entries->value()[2].descriptionFormat, WorkEntry::DescriptionFormat::html);
    EXPECT_EQ(first.spentTime, u"1h 30m");
    EXPECT_EQ(first.spentTimeSeconds, 5400.0);
    EXPECT_EQ(first.issue, (Issue{"2-1", QStringLiteral("APP-1"), "Crash on start", {}, {}, {}, {}, {}}));
    // 1700000000999 ms starts at the whole second below.
    EXPECT_EQ(first.started.toMSecsSinceEpoch(), 1700000000000);

    const auto pages = youTrack.requestsTo(QStringLiteral("/api/workItems"));
    ASSERT_EQ(pages.size(), 2);
    EXPECT_EQ(
        FakeYouTrackServer::decodedQuery(pages[0]),
        (QList<std::pair<QString, QString>>{
            {"start", "1700000000000"},
            {"end", "1700003600000"},
            {"fields", "id,duration(presentation,minutes),issue(id,idReadable,summary,wikifiedDescription,"
                       "customFields(name)),text,textPreview,date"},
            {"author", "me"},
            {"$top", "20"},
            {"$skip", "0"}}));
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(pages[1], QStringLiteral("$skip")), u"20");
}

TEST_F(YouTrackServiceTest, OwnWorkItemsOfOneIssueComeWithWhenTheyWereMade) {
    youTrack.addProject({"0-1", "APP", "Application"});
    youTrack.addIssue({"2-1", "APP-1", "0-1", "Crash on start", "", "Open"});
    youTrack.addIssue({"2-2", "APP-2", "0-1", "Other", "", "Open"});
    const qint64 day = 1700000000000;
    FakeYouTrackServer::WorkItem mine{"wi-mine", "2-1", "jane", 30, std::nullopt, day, std::nullopt};
    mine.created = day + 4000;
    youTrack.addWorkItem(mine);
    youTrack.addWorkItem({"wi-other-issue", "2-2", "jane", 30, std::nullopt, day, std::nullopt});
    youTrack.addWorkItem({"wi-colleague", "2-1", "bob", 30, std::nullopt, day, std::nullopt});

    Issue task;
    task.id = QStringLiteral("2-1");
    const DateInterval interval{QDateTime::fromMSecsSinceEpoch(day - 3600000, Qt::UTC),
                                QDateTime::fromMSecsSinceEpoch(day + 3600000, Qt::UTC)};
    auto entries = awaitOutcome(service->fetchOwnWorkEntries(task, interval));
    ASSERT_TRUE(entries && entries->ok());
    ASSERT_EQ(entries->value().size(), 1u);
    EXPECT_EQ(entries->value()[0].id, u"wi-mine");
    EXPECT_EQ(entries->value()[0].created, QDateTime::fromMSecsSinceEpoch(day + 4000, Qt::UTC));
    const auto pages = youTrack.requestsTo(QStringLiteral("/api/workItems"));
    ASSERT_EQ(pages.size(), 1);
    EXPECT_TRUE(FakeYouTrackServer::decodedQueryValue(pages[0], QStringLiteral("fields"))
                    .endsWith(u",created,author(login)"));
}

// A task with more of the user's time than a page holds, on other days and issues, and
// one item of the same minutes by a colleague.
class YouTrackOwnReadTest : public YouTrackServiceTest {
protected:
    static constexpr qint64 day = 1700000000000;
    static constexpr qint64 hour = 3600000;

    YouTrackOwnReadTest() {
        youTrack.addUser({"1-2", "bob", "Bob Colleague", ""});
        youTrack.addProject({"0-1", "APP", "Application"});
        youTrack.addIssue({"2-1", "APP-1", "0-1", "Crash on start", "", "Open"});
        youTrack.addIssue({"2-2", "APP-2", "0-1", "Other", "", "Open"});
        for (int i = 0; i < 3 * YouTrackService::pageSize; ++i) {
            // Days before, and the same day on another issue.
            const qint64 before = day - (5 + i) * 24 * hour;
            add(QStringLiteral("old-%1").arg(i), "2-1", "jane", before, before);
            add(QStringLiteral("other-%1").arg(i), "2-2", "jane", day, day);
        }
        add("wi-mine", "2-1", "jane", day, day + 4000);
        // Made by a colleague after the user's booking left, of the same minutes.
        add("wi-colleague", "2-1", "bob", day, day + 9000);
        // One whose author the server does not name.
        add("wi-nobody", "2-1", "", day, day + 9500);
    }

    void add(const QString& id, const QString& issue, const QString& author, qint64 date, qint64 made) {
        FakeYouTrackServer::WorkItem item{id, issue, author, 30, std::nullopt, date, std::nullopt};
        item.created = made;
        youTrack.addWorkItem(item);
    }

    Issue task(bool readable = true) const {
        Issue task;
        task.id = QStringLiteral("2-1");
        if (readable) {
            task.reference = QStringLiteral("APP-1");
        }
        return task;
    }
    DateInterval around() const {
        return {QDateTime::fromMSecsSinceEpoch(day - 2 * 24 * hour, Qt::UTC),
                QDateTime::fromMSecsSinceEpoch(day + 2 * 24 * hour, Qt::UTC)};
    }
    std::vector<QString> ids(const Issue& of) {
        auto entries = awaitOutcome(service->fetchOwnWorkEntries(of, around()));
        EXPECT_TRUE(entries && entries->ok());
        std::vector<QString> out;
        if (entries && entries->ok()) {
            for (const auto& entry : entries->value()) {
                out.push_back(entry.id);
            }
        }
        return out;
    }
};

TEST_F(YouTrackOwnReadTest, AsksTheServerForTheUsersItemsOfTheIssueOnTheDaysOnly) {
    EXPECT_EQ(ids(task()), std::vector<QString>{"wi-mine"});
    const auto pages = youTrack.requestsTo(QStringLiteral("/api/workItems"));
    ASSERT_EQ(pages.size(), 1) << "one page: the server filtered";
    const test::FakeRequest& read = pages[0];
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(read, QStringLiteral("query")), u"issue ID: APP-1");
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(read, QStringLiteral("author")), u"me");
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(read, QStringLiteral("start")),
              QString::number(day - 2 * 24 * hour));
    EXPECT_EQ(FakeYouTrackServer::decodedQueryValue(read, QStringLiteral("end")),
              QString::number(day + 2 * 24 * hour));
    // The check after a crash knows only the issue's id: the rest still filters.
    EXPECT_EQ(ids(task(false)), std::vector<QString>{"wi-mine"});
    EXPECT_TRUE(FakeYouTrackServer::decodedQueryValue(
                    youTrack.requestsTo(QStringLiteral("/api/workItems")).last(), QStringLiteral("query"))
                    .isEmpty());
}

TEST_F(YouTrackOwnReadTest, AColleaguesItemIsNeverTheUsersWhateverTheServerFiltered) {
    youTrack.setWorkItemFiltersIgnored(true);
    EXPECT_EQ(ids(task()), std::vector<QString>{"wi-mine"});
    EXPECT_EQ(ids(task(false)), std::vector<QString>{"wi-mine"});
}

TEST(YouTrackIssueQueryTest, OnlyAReadableIdIsWrittenIntoTheQuery) {
    Issue task;
    task.id = QStringLiteral("2-1");
    EXPECT_FALSE(YouTrackService::issueQuery(task));
    task.reference = QStringLiteral("APP-12");
    EXPECT_EQ(YouTrackService::issueQuery(task), u"issue ID: APP-12");
    for (const char* odd : {"APP-1 or project: X", "APP-", "-1", "APP-1}", ""}) {
        task.reference = QString::fromLatin1(odd);
        EXPECT_FALSE(YouTrackService::issueQuery(task)) << odd;
    }
}

TEST_F(YouTrackServiceTest, RefusedWorkItemsMarkTheAccount) {
    youTrack.refuseAll(401);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    auto entries = awaitOutcome(service->fetchWorkEntries({now.addDays(-1), now}));
    ASSERT_TRUE(entries && !entries->ok());
    EXPECT_EQ(entries->error(), APIError::unauthorized());
    EXPECT_EQ(stateAfterDelivery(), ProviderState::missingCredentials);

    auto invalid = awaitOutcome(service->fetchWorkEntries({QDateTime(), now}));
    ASSERT_TRUE(invalid && !invalid->ok());
    EXPECT_EQ(invalid->error(), APIError::unknown());
}

TEST_F(YouTrackServiceTest, DeleteRemovesTheItemAndReportsRefusalsWithoutMarking) {
    youTrack.addProject({"0-1", "APP", "Application"});
    youTrack.addIssue({"2-1", "APP-1", "0-1", "Crash on start"});
    youTrack.addWorkItem({"wi-1", "2-1", "jane", 90, std::nullopt, 1700000000000, std::nullopt});
    const DateInterval interval{QDateTime::fromMSecsSinceEpoch(1690000000000, Qt::UTC),
                                QDateTime::fromMSecsSinceEpoch(1710000000000, Qt::UTC)};
    auto before = awaitOutcome(service->fetchWorkEntries(interval));
    ASSERT_TRUE(before && before->ok());
    ASSERT_EQ(before->value().size(), 1u);

    auto deleted = awaitOutcome(service->deleteWorkEntry(before->value()[0]));
    ASSERT_TRUE(deleted && deleted->ok());
    EXPECT_EQ(youTrack.http().lastRequest().method, "DELETE");
    EXPECT_EQ(youTrack.http().lastRequest().path, "/api/issues/2-1/timeTracking/workItems/wi-1");
    EXPECT_FALSE(youTrack.http().lastRequest().hasQuery);
    EXPECT_TRUE(youTrack.http().lastRequest().body.isEmpty());
    auto after = awaitOutcome(service->fetchWorkEntries(interval));
    ASSERT_TRUE(after && after->ok());
    EXPECT_TRUE(after->value().empty());

    auto again = awaitOutcome(service->deleteWorkEntry(before->value()[0]));
    ASSERT_TRUE(again && !again->ok());
    EXPECT_EQ(again->error(), APIError::unknown());

    youTrack.refuseAll(401);
    auto refused = awaitOutcome(service->deleteWorkEntry(before->value()[0]));
    ASSERT_TRUE(refused && !refused->ok());
    EXPECT_EQ(refused->error(), APIError::unauthorized());
    EXPECT_EQ(stateAfterDelivery(), ProviderState::operational);
}
