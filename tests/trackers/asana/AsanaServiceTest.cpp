#include "core/time/DateOperations.h"
#include "tests/trackers/asana/AsanaFixture.h"

#include <QTimeZone>

#include <algorithm>
#include <cstdlib>
#include <ctime>

using namespace velmora;
using namespace velmora::test;

namespace {

class AsanaServiceTest : public AsanaFixture {
protected:
    // A task of the account's user in project p1, modified at `modified`.
    FakeAsanaServer::Task task(const QString& gid, const QDateTime& modified) {
        FakeAsanaServer::Task t;
        t.gid = gid;
        t.name = QStringLiteral("Task ") + gid;
        t.projectGid = QStringLiteral("p1");
        t.assigneeGid = QStringLiteral("u1");
        t.modifiedAt = modified;
        return t;
    }

    static QStringList ids(const std::vector<Issue>& issues) {
        QStringList out;
        for (const auto& issue : issues) {
            out << issue.id;
        }
        return out;
    }
    static QStringList ids(const std::vector<WorkEntry>& entries) {
        QStringList out;
        for (const auto& entry : entries) {
            out << entry.id;
        }
        return out;
    }

    // The week of 6 to 12 May 2024 in the user's time zone.
    static DateInterval week() {
        return DateInterval{QDate(2024, 5, 6).startOfDay(),
                            DateOperations::endOfDay(QDate(2024, 5, 12).startOfDay())};
    }
    static QDateTime inWeek(int hours = 0) { return QDate(2024, 5, 8).startOfDay().addSecs(hours * 3600); }

    Project project() const {
        Project p;
        p.id = QStringLiteral("p1");
        return p;
    }
};

// Sets the user's time zone for the life of the object.
class TimeZoneScope {
public:
    explicit TimeZoneScope(const char* zone)
        : m_previous(qgetenv("TZ")), m_had(qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", zone);
        tzset();
    }
    ~TimeZoneScope() {
        if (m_had) {
            qputenv("TZ", m_previous);
        } else {
            qunsetenv("TZ");
        }
        tzset();
    }

private:
    QByteArray m_previous;
    bool m_had;
};

} // namespace

TEST_F(AsanaServiceTest, WorkspacesUserAndTeamUsers) {
    asana.addWorkspace({QStringLiteral("w2"), QStringLiteral("Other"), false});
    auto workspaces = awaitResult(service()->fetchWorkspaces());
    ASSERT_TRUE(workspaces.ok()) << workspaces.error().description().toStdString();
    ASSERT_EQ(workspaces.value().size(), 2u);
    EXPECT_EQ(workspaces.value()[1], (AsanaWorkspaceDTO{QStringLiteral("w2"), QStringLiteral("Other"),
                                                        QStringLiteral("workspace")}));

    auto user = awaitResult(service()->fetchUser());
    ASSERT_TRUE(user.ok());
    EXPECT_EQ(user.value(), (ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"),
                                          QStringLiteral("https://s3.example.test/u1_60x60.png")}));
    EXPECT_EQ(bearer(asana.requestsTo(QStringLiteral("/users/me")).at(0)), QStringLiteral("Bearer token-1"));

    // Without a photo: the account's own user has an empty avatar, a team user none.
    asana.addUser({QStringLiteral("u2"), QStringLiteral("Nobody"), std::nullopt});
    asana.addToken(QStringLiteral("token-u2"), QStringLiteral("u2"));
    asana.addTeam(
        {QStringLiteral("team1"), QStringLiteral("Team"), {QStringLiteral("u1"), QStringLiteral("u2")}});
    EXPECT_EQ(awaitResult(service(QStringLiteral("token-u2"))->fetchUser()).value().avatar, QString());
    auto members = awaitResult(service()->fetchTeamUsers(QStringLiteral("team1")));
    ASSERT_TRUE(members.ok());
    EXPECT_EQ(members.value(),
              (std::vector<User>{{QStringLiteral("u1"), QStringLiteral("Una User"),
                                  QStringLiteral("https://s3.example.test/u1_60x60.png")},
                                 {QStringLiteral("u2"), QStringLiteral("Nobody"), std::nullopt}}));
    EXPECT_EQ(
        asana.requestsTo(QStringLiteral("/teams/team1/users")).at(0).queryValue(QStringLiteral("opt_fields")),
        QStringLiteral("name, photo"));
}

TEST_F(AsanaServiceTest, ProjectsArePagedByOffsetAndFlagTimeTracking) {
    for (int i = 1; i <= 120; ++i) {
        FakeAsanaServer::Project p;
        p.gid = QString::number(i);
        p.name = QStringLiteral("Project %1").arg(i);
        if (i == 1) {
            p.customFields = {std::nullopt, QStringLiteral("estimated_time")};
        } else if (i == 2) {
            p.customFields = {QStringLiteral("Estimated_Time")};
        }
        asana.addProject(p);
    }
    auto projects = awaitResult(service()->fetchProjects());
    ASSERT_TRUE(projects.ok()) << projects.error().description().toStdString();
    ASSERT_EQ(projects.value().size(), 120u);
    EXPECT_EQ(projects.value()[119].id, QStringLiteral("120"));
    EXPECT_EQ(projects.value()[0].name, QStringLiteral("Project 1"));
    EXPECT_EQ(projects.value()[0].shortName, QStringLiteral("Project 1"));
    EXPECT_TRUE(projects.value()[0].configuration.timeTrackingEnabled);
    EXPECT_FALSE(projects.value()[1].configuration.timeTrackingEnabled);
    EXPECT_FALSE(projects.value()[2].configuration.timeTrackingEnabled);
    EXPECT_TRUE(projects.value()[2].configuration.assigneeFilterEnabled &&
                projects.value()[2].configuration.stateFilterEnabled &&
                projects.value()[2].configuration.searchEnabled);

    const auto requests = asana.requestsTo(QStringLiteral("/workspaces/w1/projects"));
    ASSERT_EQ(requests.size(), 3);
    EXPECT_EQ(requests[0].rawQuery, QByteArray("opt_fields=name%2Ccustom_field_settings.custom_field.asana_"
                                               "created_field&limit=50"));
    EXPECT_EQ(requests[1].queryValue(QStringLiteral("offset")), QStringLiteral("off-50"));
    EXPECT_EQ(requests[2].queryValue(QStringLiteral("offset")), QStringLiteral("off-100"));
}

TEST_F(AsanaServiceTest, StatesAreTheSectionsInTheTrackersOrder) {
    asana.addSection({QStringLiteral("s2"), QStringLiteral("Doing"), QStringLiteral("p1")});
    asana.addSection({QStringLiteral("s1"), QStringLiteral("To do"), QStringLiteral("p1")});
    asana.addSection({QStringLiteral("s9"), QStringLiteral("Elsewhere"), QStringLiteral("p9")});
    auto states = awaitResult(service()->fetchStates(project()));
    ASSERT_TRUE(states.ok());
    EXPECT_EQ(states.value(), (std::vector<Issue::State>{{QStringLiteral("s2"), QStringLiteral("Doing")},
                                                         {QStringLiteral("s1"), QStringLiteral("To do")}}));
}

TEST_F(AsanaServiceTest, AssigneesJoinDirectMembersAndTeamsOncePerId) {
    asana.addUser({QStringLiteral("u2"), QStringLiteral("Bo"), QStringLiteral("https://pic/u2")});
    asana.addUser({QStringLiteral("u3"), QStringLiteral("Cy"), std::nullopt});
    asana.addTeam(
        {QStringLiteral("team1"), QStringLiteral("Team"), {QStringLiteral("u2"), QStringLiteral("u3")}});
    asana.addMembership({QStringLiteral("m1"), QStringLiteral("p1"), QStringLiteral("u2"),
                         QStringLiteral("Bo"), QStringLiteral("user")});
    asana.addMembership({QStringLiteral("m2"), QStringLiteral("p1"), QStringLiteral("team1"),
                         QStringLiteral("Team"), QStringLiteral("team")});
    asana.addMembership({QStringLiteral("m3"), QStringLiteral("p1"), QStringLiteral("x1"),
                         QStringLiteral("X"), QStringLiteral("portfolio")});
    auto assignees = awaitResult(service()->fetchAssignees(project()));
    ASSERT_TRUE(assignees.ok()) << assignees.error().description().toStdString();
    EXPECT_EQ(
        assignees.value(),
        (std::vector<User>{{QStringLiteral("u2"), QStringLiteral("Bo"), QStringLiteral("https://pic/u2")},
                           {QStringLiteral("u3"), QStringLiteral("Cy"), std::nullopt}}));
    EXPECT_EQ(asana.requestsTo(QStringLiteral("/memberships")).at(0).rawQuery,
              QByteArray("parent=p1&limit=50"));

    // Only direct users: no team is asked, and they come without avatars.
    Project other;
    other.id = QStringLiteral("p2");
    asana.addMembership({QStringLiteral("m4"), QStringLiteral("p2"), QStringLiteral("u2"),
                         QStringLiteral("Bo"), QStringLiteral("user")});
    asana.http().clearRequests();
    auto direct = awaitResult(service()->fetchAssignees(other));
    ASSERT_TRUE(direct.ok());
    EXPECT_EQ(direct.value(),
              (std::vector<User>{{QStringLiteral("u2"), QStringLiteral("Bo"), std::nullopt}}));
    EXPECT_TRUE(asana.requestsTo(QStringLiteral("/users")).isEmpty());

    // A failing team fails the whole.
    asana.interceptOnce("GET", QStringLiteral("/teams/team1/users"), FakeResponse::json("{}", 500));
    EXPECT_EQ(awaitResult(service()->fetchAssignees(project())).error(), APIError::unknown());
}

TEST_F(AsanaServiceTest, TaskSearchLosesNoTaskAtTheCursorBoundary) {
    const QDateTime top(QDate(2024, 5, 1), QTime(12, 0), QTimeZone::utc());
    for (int i = 1; i <= 50; ++i) {
        asana.addTask(task(QStringLiteral("t%1").arg(i), top.addSecs(-10 * i)));
    }
    const QDateTime last = top.addSecs(-500); // t50's moment: the end of the first page
    asana.addTask(task(QStringLiteral("same-ms"), last));
    asana.addTask(task(QStringLiteral("same-second"), last.addMSecs(-300)));
    asana.addTask(task(QStringLiteral("second-before"), last.addMSecs(-900)));
    asana.addTask(task(QStringLiteral("elsewhere"), last.addSecs(-2))); // another project
    asana.tasks().back().projectGid = QStringLiteral("p2");

    AnyPaginator<Issue> tasks = service()->fetchTasks(project(), QString(), std::nullopt, std::nullopt);
    EXPECT_EQ(asana.requestCount(), 0); // making the paginator sends nothing
    auto first = awaitResult(tasks.fetchFirst());
    ASSERT_TRUE(first.ok()) << first.error().description().toStdString();
    EXPECT_EQ(first.value().size(), 50u);
    EXPECT_EQ(first.value().front().id, QStringLiteral("t1"));
    EXPECT_TRUE(tasks.hasMorePages());

    auto second = awaitResult(tasks.fetchNext());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(ids(second.value()), (QStringList{QStringLiteral("same-ms"), QStringLiteral("same-second"),
                                                QStringLiteral("second-before")}));
    EXPECT_FALSE(tasks.hasMorePages());
    EXPECT_EQ(awaitResult(tasks.fetchNext()).error(), APIError::noMorePages());

    const auto requests = asana.requestsTo(QStringLiteral("/workspaces/w1/tasks/search"));
    ASSERT_EQ(requests.size(), 2);
    EXPECT_FALSE(requests[0].hasQueryItem(QStringLiteral("modified_at.before")));
    EXPECT_FALSE(requests[0].hasQueryItem(QStringLiteral("text")));
    EXPECT_EQ(requests[0].queryValue(QStringLiteral("projects.any")), QStringLiteral("p1"));
    EXPECT_EQ(requests[0].queryValue(QStringLiteral("limit")), QStringLiteral("50"));
    EXPECT_EQ(requests[1].queryValue(QStringLiteral("modified_at.before")),
              QStringLiteral("2024-05-01T11:51:40.001Z"));
}

TEST_F(AsanaServiceTest, TaskSearchFiltersAndMapsTasks) {
    asana.addSection({QStringLiteral("s1"), QStringLiteral("Doing"), QStringLiteral("p1")});
    asana.addUser({QStringLiteral("u2"), QStringLiteral("Bo"), std::nullopt});
    auto mine = task(QStringLiteral("a"), inWeek());
    mine.name = QStringLiteral("Write the report");
    mine.sectionGid = QStringLiteral("s1");
    mine.actualTimeMinutes = 90;
    asana.addTask(mine);
    auto theirs = task(QStringLiteral("b"), inWeek(1));
    theirs.name = QStringLiteral("Write more");
    theirs.assigneeGid = QStringLiteral("u2");
    asana.addTask(theirs);
    auto done = task(QStringLiteral("c"), inWeek(2));
    done.completed = true;
    asana.addTask(done);

    auto all =
        awaitResult(service()->fetchTasks(project(), std::nullopt, std::nullopt, std::nullopt).fetchFirst());
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(ids(all.value()), (QStringList{QStringLiteral("b"), QStringLiteral("a")}));
    const Issue& a = all.value()[1];
    EXPECT_EQ(a.name, QStringLiteral("Write the report"));
    EXPECT_EQ(a.state, (Issue::State{QStringLiteral("s1"), QStringLiteral("Doing")}));
    EXPECT_EQ(a.spentTime, QStringLiteral("1h 30m"));
    EXPECT_EQ(a.assignee, (User{QStringLiteral("u1"), QStringLiteral("Una User"),
                                QStringLiteral("https://s3.example.test/u1_60x60.png")}));
    EXPECT_EQ(a.externalUrl, QUrl(QStringLiteral("https://app.asana.test/0/p1/a")));
    EXPECT_FALSE(all.value()[0].state.has_value());
    EXPECT_FALSE(all.value()[0].assignee->avatar.has_value());

    auto filtered =
        awaitResult(service()
                        ->fetchTasks(project(), QStringLiteral("report"),
                                     Issue::State{QStringLiteral("s1"), QStringLiteral("Doing")},
                                     User{QStringLiteral("u1"), QStringLiteral("Una"), std::nullopt})
                        .fetchFirst());
    ASSERT_TRUE(filtered.ok());
    EXPECT_EQ(ids(filtered.value()), QStringList{QStringLiteral("a")});
    const FakeRequest sent = asana.requestsTo(QStringLiteral("/tasks/search")).last();
    EXPECT_EQ(sent.queryValue(QStringLiteral("text")), QStringLiteral("report"));
    EXPECT_EQ(sent.queryValue(QStringLiteral("sections.all")), QStringLiteral("s1"));
    EXPECT_EQ(sent.queryValue(QStringLiteral("assignee.any")), QStringLiteral("u1"));
    EXPECT_EQ(sent.queryValue(QStringLiteral("completed")), QStringLiteral("false"));
}

TEST_F(AsanaServiceTest, RangeReadKeepsTheUsersOwnEntriesSorted) {
    asana.addUser({QStringLiteral("u2"), QStringLiteral("Colleague"), std::nullopt});
    asana.addTask(task(QStringLiteral("t1"), inWeek(5)));
    auto completed = task(QStringLiteral("t2"), inWeek(1));
    completed.completed = true; // completing a task after booking on it keeps the booking
    asana.addTask(completed);
    asana.addTask(task(QStringLiteral("old"), QDate(2024, 5, 1).startOfDay())); // untouched since before
    auto other = task(QStringLiteral("theirs"), inWeek());
    other.assigneeGid = QStringLiteral("u2");
    asana.addTask(other);

    asana.addEntry(
        {QStringLiteral("e-t1-fri"), QStringLiteral("t1"), QDate(2024, 5, 10), 60, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("e-t1-mon"), QStringLiteral("t1"), QDate(2024, 5, 6), 30, QStringLiteral("u1")});
    asana.addEntry({QStringLiteral("e-t1-colleague"), QStringLiteral("t1"), QDate(2024, 5, 7), 45,
                    QStringLiteral("u2")});
    asana.addEntry(
        {QStringLiteral("e-t1-before"), QStringLiteral("t1"), QDate(2024, 5, 5), 15, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("e-t1-after"), QStringLiteral("t1"), QDate(2024, 5, 13), 15, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("e-t1-zero"), QStringLiteral("t1"), QDate(2024, 5, 8), 0, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("e-t2-tue"), QStringLiteral("t2"), QDate(2024, 5, 7), 120, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("e-old"), QStringLiteral("old"), QDate(2024, 5, 8), 10, QStringLiteral("u1")});

    auto entries = awaitResult(service()->fetchWorkEntries(week()));
    ASSERT_TRUE(entries.ok()) << entries.error().description().toStdString();
    EXPECT_EQ(ids(entries.value()), (QStringList{QStringLiteral("e-t1-mon"), QStringLiteral("e-t2-tue"),
                                                 QStringLiteral("e-t1-fri")}));
    EXPECT_EQ(entries.value()[1].issue.id, QStringLiteral("t2"));
    EXPECT_EQ(entries.value()[1].spentTime, QStringLiteral("2h"));
    EXPECT_EQ(entries.value()[0].started, QDate(2024, 5, 6).startOfDay());

    const auto search = asana.requestsTo(QStringLiteral("/tasks/search"));
    ASSERT_EQ(search.size(), 1);
    EXPECT_EQ(search[0].queryValue(QStringLiteral("assignee.any")), QStringLiteral("me"));
    EXPECT_EQ(search[0].queryValue(QStringLiteral("limit")), QStringLiteral("100"));
    EXPECT_EQ(search[0].queryValue(QStringLiteral("modified_at.after")),
              DateOperations::iso8601String(week().start));
    EXPECT_FALSE(search[0].hasQueryItem(QStringLiteral("modified_at.before")));
    EXPECT_FALSE(search[0].hasQueryItem(QStringLiteral("completed")));
    const auto reads = asana.requestsTo(QStringLiteral("/time_tracking_entries"), "GET");
    ASSERT_EQ(reads.size(), 2);
    EXPECT_EQ(reads[0].queryValue(QStringLiteral("opt_fields")),
              QStringLiteral("entered_on,duration_minutes,created_by,created_at"));
    // The account knows its user: no need to ask who that is.
    EXPECT_TRUE(asana.requestsTo(QStringLiteral("/users/me")).isEmpty());

    // The entries of one task within the interval, whoever booked them.
    Issue t1;
    t1.id = QStringLiteral("t1");
    auto ofTask = awaitResult(service()->fetchWorkEntries(t1, week()));
    ASSERT_TRUE(ofTask.ok());
    EXPECT_EQ(ids(ofTask.value()), (QStringList{QStringLiteral("e-t1-fri"), QStringLiteral("e-t1-mon"),
                                                QStringLiteral("e-t1-colleague")}));

    // The user's own entries of the task, with when they were made: read on the task
    // itself, whoever it is assigned to.
    asana.http().clearRequests();
    auto own = awaitResult(service()->fetchOwnWorkEntries(t1, week()));
    ASSERT_TRUE(own.ok());
    EXPECT_EQ(ids(own.value()), (QStringList{QStringLiteral("e-t1-fri"), QStringLiteral("e-t1-mon")}));
    EXPECT_TRUE(asana.requestsTo(QStringLiteral("/tasks/search")).isEmpty());

    // Nothing found: nothing to read.
    asana.http().clearRequests();
    auto empty = awaitResult(service()->fetchWorkEntries(
        DateInterval{QDate(2030, 1, 1).startOfDay(), QDate(2030, 1, 2).startOfDay()}));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().empty());
    EXPECT_TRUE(asana.requestsTo(QStringLiteral("/time_tracking_entries")).isEmpty());
}

// A task with more of the user's entries than a page holds, on days long before, beside
// the few the read is for: one of the user's, one of a colleague's (the same minutes,
// made later), one of the user's on another task.
class AsanaOwnReadTest : public AsanaServiceTest {
protected:
    AsanaOwnReadTest() {
        asana.addUser({QStringLiteral("u2"), QStringLiteral("Colleague"), std::nullopt});
        asana.addTask(task(QStringLiteral("t1"), inWeek()));
        asana.addTask(task(QStringLiteral("t2"), inWeek()));
        for (int i = 0; i < 250; ++i) {
            asana.addEntry({QStringLiteral("old-%1").arg(i), QStringLiteral("t1"),
                            QDate(2024, 1, 1).addDays(i % 90), 30, QStringLiteral("u1")});
        }
        asana.addEntry(
            {QStringLiteral("mine"), QStringLiteral("t1"), QDate(2024, 5, 7), 30, QStringLiteral("u1")});
        asana.addEntry(
            {QStringLiteral("theirs"), QStringLiteral("t1"), QDate(2024, 5, 7), 30, QStringLiteral("u2")});
        asana.addEntry(
            {QStringLiteral("elsewhere"), QStringLiteral("t2"), QDate(2024, 5, 7), 30, QStringLiteral("u1")});
    }

    Issue t1() const {
        Issue t1;
        t1.id = QStringLiteral("t1");
        return t1;
    }
    // Two days either side of a booking on Tuesday.
    static DateInterval aroundTuesday() {
        return {QDateTime(QDate(2024, 5, 5), QTime(12, 0)), QDateTime(QDate(2024, 5, 9), QTime(12, 0))};
    }
    QStringList own() {
        auto read = awaitResult(service()->fetchOwnWorkEntries(t1(), aroundTuesday()));
        EXPECT_TRUE(read.ok());
        return read.ok() ? ids(read.value()) : QStringList{};
    }
};

TEST_F(AsanaOwnReadTest, AsksTheTrackerForTheUsersEntriesOfTheTaskOnTheDaysOnly) {
    EXPECT_EQ(own(), QStringList{QStringLiteral("mine")});
    const auto reads = asana.requestsTo(QStringLiteral("/time_tracking_entries"), "GET");
    ASSERT_EQ(reads.size(), 1) << "one page: the tracker filtered";
    EXPECT_TRUE(reads[0].matches("GET", QStringLiteral("/api/1.0/time_tracking_entries")));
    EXPECT_EQ(reads[0].queryValue(QStringLiteral("task")), QStringLiteral("t1"));
    EXPECT_EQ(reads[0].queryValue(QStringLiteral("user")), QStringLiteral("u1"));
    // The days starting within the interval: the first day's start lies before it.
    EXPECT_EQ(reads[0].queryValue(QStringLiteral("entered_on_start_date")), QStringLiteral("2024-05-05"));
    EXPECT_EQ(reads[0].queryValue(QStringLiteral("entered_on_end_date")), QStringLiteral("2024-05-09"));
    EXPECT_TRUE(
        reads[0].queryValue(QStringLiteral("opt_fields")).split(',').contains(QStringLiteral("task")));
}

TEST_F(AsanaOwnReadTest, KeepsOnlyTheUsersEntriesOfTheTaskOnTheDaysWhateverTheTrackerFiltered) {
    asana.entryListFiltersIgnored = true;
    EXPECT_EQ(own(), QStringList{QStringLiteral("mine")});
}

TEST_F(AsanaOwnReadTest, ATrackerWithoutTheFilteredListHasTheTasksListRead) {
    asana.entryListUnknown = true;
    EXPECT_EQ(own(), QStringList{QStringLiteral("mine")});
    // The task's 252 entries, page by page.
    EXPECT_EQ(asana.requestsTo(QStringLiteral("/tasks/t1/time_tracking_entries"), "GET").size(),
              (252 + AsanaService::pageSize - 1) / AsanaService::pageSize);
}

TEST_F(AsanaServiceTest, RangeReadFailsWholeWhenOneTaskFails) {
    asana.addTask(task(QStringLiteral("t1"), inWeek(1)));
    asana.addTask(task(QStringLiteral("t2"), inWeek(2)));
    asana.addEntry({QString(), QStringLiteral("t1"), QDate(2024, 5, 7), 60, QStringLiteral("u1")});
    asana.interceptOnce("GET", QStringLiteral("/tasks/t2/time_tracking_entries"),
                        FakeResponse::json(R"({"errors":[{"message":"Unknown object"}]})", 404));
    EXPECT_EQ(awaitResult(service()->fetchWorkEntries(week())).error(), APIError::unknown());
}

TEST_F(AsanaServiceTest, RangeReadAsksForTheUserWhenTheAccountHasNone) {
    AsanaProvider withoutUser = account;
    withoutUser.setUser(std::nullopt);
    auto svc =
        AsanaService::create(withoutUser, {QStringLiteral("token-1"), QStringLiteral("refresh-1")}, clock);
    asana.addTask(task(QStringLiteral("t1"), inWeek(1)));
    asana.addEntry(
        {QStringLiteral("mine"), QStringLiteral("t1"), QDate(2024, 5, 7), 60, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("theirs"), QStringLiteral("t1"), QDate(2024, 5, 7), 60, QStringLiteral("u9")});
    auto entries = awaitResult(svc->fetchWorkEntries(week()));
    ASSERT_TRUE(entries.ok());
    EXPECT_EQ(ids(entries.value()), QStringList{QStringLiteral("mine")});
    EXPECT_EQ(asana.requestsTo(QStringLiteral("/users/me")).size(), 1);
}

TEST_F(AsanaServiceTest, EnteredOnIsADayOfTheUsersTimeZone) {
    TimeZoneScope zone("America/Los_Angeles");
    const DateInterval interval{QDate(2024, 5, 6).startOfDay(),
                                DateOperations::endOfDay(QDate(2024, 5, 12).startOfDay())};
    ASSERT_NE(interval.start.offsetFromUtc(), 0);
    asana.addTask(task(QStringLiteral("t1"), QDate(2024, 5, 8).startOfDay()));
    asana.addEntry(
        {QStringLiteral("sun-before"), QStringLiteral("t1"), QDate(2024, 5, 5), 30, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("first-day"), QStringLiteral("t1"), QDate(2024, 5, 6), 30, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("last-day"), QStringLiteral("t1"), QDate(2024, 5, 12), 30, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("mon-after"), QStringLiteral("t1"), QDate(2024, 5, 13), 30, QStringLiteral("u1")});
    auto entries = awaitResult(service()->fetchWorkEntries(interval));
    ASSERT_TRUE(entries.ok());
    EXPECT_EQ(ids(entries.value()), (QStringList{QStringLiteral("first-day"), QStringLiteral("last-day")}));
    EXPECT_EQ(entries.value()[0].started, interval.start);
    EXPECT_EQ(entries.value()[1].started.date(), QDate(2024, 5, 12));
    EXPECT_EQ(entries.value()[1].started.time(), QTime(0, 0));
}

TEST_F(AsanaServiceTest, EntryReadsRunAtMostFourAtOnce) {
    for (int i = 0; i < 12; ++i) {
        const QString gid = QStringLiteral("t%1").arg(i);
        asana.addTask(task(gid, inWeek(i)));
        asana.addEntry({QString(), gid, QDate(2024, 5, 7), 60, QStringLiteral("u1")});
    }
    // The server holds the entry answers until the test lets them out, so how many
    // reads are open at once does not depend on how fast anything runs.
    auto reads = [&] { return asana.requestsTo(QStringLiteral("/time_tracking_entries")).size(); };
    asana.http().holdAnswers(QStringLiteral("/time_tracking_entries"));
    std::optional<Result<std::vector<WorkEntry>, APIError>> entries;
    Cancellable running =
        service()->fetchWorkEntries(week()).subscribe([&](auto result) { entries = std::move(result); });
    ASSERT_TRUE(waitUntil([&] { return asana.http().heldAnswers() == 4; }, 20000));
    drainEvents();
    EXPECT_EQ(reads(), 4) << "four at once, and no more while all four are open";
    asana.http().releaseHeldAnswers(2);
    ASSERT_TRUE(waitUntil([&] { return reads() == 6; }, 20000));
    drainEvents();
    EXPECT_EQ(reads(), 6) << "two answers out, two reads in";

    asana.http().stopHolding();
    ASSERT_TRUE(waitUntil([&] { return entries.has_value(); }, 20000));
    ASSERT_TRUE(entries->ok());
    EXPECT_EQ(entries->value().size(), 12u);
    EXPECT_EQ(asana.http().peakInFlight(), 4);
}

TEST_F(AsanaServiceTest, DeletingAnEntryRemovesItFromLaterReads) {
    asana.addTask(task(QStringLiteral("t1"), inWeek(1)));
    const QString keep =
        asana.addEntry({QString(), QStringLiteral("t1"), QDate(2024, 5, 7), 60, QStringLiteral("u1")});
    asana.addEntry(
        {QStringLiteral("a/b"), QStringLiteral("t1"), QDate(2024, 5, 8), 60, QStringLiteral("u1")});
    auto before = awaitResult(service()->fetchWorkEntries(week()));
    ASSERT_TRUE(before.ok());
    ASSERT_EQ(before.value().size(), 2u);

    auto deleted = awaitResult(service()->deleteWorkEntry(before.value()[1]));
    ASSERT_TRUE(deleted.ok());
    EXPECT_EQ(asana.requestsTo(QString(), "DELETE").at(0).path,
              QByteArray("/api/1.0/time_tracking_entries/a%2Fb"));
    auto after = awaitResult(service()->fetchWorkEntries(week()));
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(ids(after.value()), QStringList{keep});

    // Deleting it again: the tracker no longer knows it.
    EXPECT_EQ(awaitResult(service()->deleteWorkEntry(before.value()[1])).error(), APIError::unknown());
}
