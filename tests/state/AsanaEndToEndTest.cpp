#include "EndToEndFixture.h"

#include "core/model/AsanaProvider.h"
#include "tests/support/FakeAsanaServer.h"
#include "tests/support/TryOutAsana.h"
#include "trackers/asana/AsanaWorkLogForm.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

// The fake Asana, with the account of its user stored.
class AsanaAccountFixture : public test::EndToEndFixture {
protected:
    AsanaAccountFixture() {
        qputenv("VELMORA_ASANA_API_HOST", asana.hostAndPort().toUtf8());
        auto saved = manager.save(
            AsanaProvider(std::nullopt, QStringLiteral("Work"),
                          AsanaProvider::Parameters{QStringLiteral("w1")}, ProviderState::operational,
                          ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()}),
            std::optional<AsanaProvider::Credentials>(
                AsanaProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
        EXPECT_TRUE(saved.ok());
        if (saved.ok()) {
            account = saved.value();
        }
    }
    ~AsanaAccountFixture() override { qunsetenv("VELMORA_ASANA_API_HOST"); }

    test::FakeAsanaServer asana;
    AsanaProvider account;
};

class AsanaEndToEndTest : public AsanaAccountFixture {
protected:
    AsanaEndToEndTest() {
        // Asana enters a booking on the fake's booking day; the calendar looks there.
        const QDateTime bookingDay(asana.bookingDay, QTime(12, 0));
        state.clock->set(bookingDay);

        test::FakeAsanaServer::Project project;
        project.gid = QStringLiteral("p1");
        project.name = QStringLiteral("Project");
        asana.addProject(project);
        for (const char* gid : {"t1", "t2"}) {
            test::FakeAsanaServer::Task task;
            task.gid = QString::fromLatin1(gid);
            task.name = QStringLiteral("Task ") + task.gid;
            task.projectGid = QStringLiteral("p1");
            task.assigneeGid = QStringLiteral("u1");
            task.modifiedAt = bookingDay.addSecs(-3600);
            asana.addTask(task);
        }
    }
};

TEST_F(AsanaEndToEndTest, BookAnEntrySeeItInTheCalendarAndDeleteIt) {
    // Asana books whole minutes.
    const auto trip = bookAndDelete(account, QStringLiteral("p1"), QStringLiteral("t2"), 1830,
                                    [](AbstractWorkLogForm& form) {
                                        EXPECT_NE(dynamic_cast<AsanaWorkLogForm*>(&form), nullptr)
                                            << "an Asana account books through an Asana form";
                                    });
    ASSERT_TRUE(trip.booked.has_value());
    EXPECT_DOUBLE_EQ(trip.booked->spentTimeSeconds, 1800);
    EXPECT_EQ(trip.entriesAfterDelete, 0);
    EXPECT_TRUE(asana.entries().empty()) << "deleted at the tracker";
}

TEST_F(AsanaEndToEndTest, ManualWorkLogFormStartsAtZeroAndHasNoDescription) {
    const Project project{QStringLiteral("p1"), {}, QStringLiteral("Project"), {}, {}};
    auto form = manualForm(account, project, test::makeIssue(QStringLiteral("t1")));
    ASSERT_NE(dynamic_cast<AsanaWorkLogForm*>(form.get()), nullptr);
    EXPECT_TRUE(form->manager()->checkAllValid()) << "a minute and nothing else";
}

// The try-out's Asana at today's date: its tasks were last changed long ago, and nothing
// of a booking is planted for the app to find.
class AsanaTryOutTest : public AsanaAccountFixture {
protected:
    AsanaTryOutTest() {
        state.clock->set(QDateTime::currentDateTime());
        test::seedTryOutAsana(asana);
    }
};

// A booking in the try-out is seen where the app reads it, as in Asana: the task's spent
// time and this week's calendar.
TEST_F(AsanaTryOutTest, ABookingShowsAsTheTasksSpentTimeAndInTheCalendar) {
    ApplicationViewModel app(account, state.environment());
    ASSERT_TRUE(app.service());
    const Project project{
        QStringLiteral("p1"), {}, QStringLiteral("Marketing site"), {true, true, true, true}, {}};
    const auto spentTime = [&]() -> std::optional<QString> {
        ProjectViewModel tasks(app.service(), project, providerUser(account), state.environment());
        EXPECT_TRUE(test::waitUntil([&] { return !tasks.loading() && !tasks.tasks().empty(); }, 10000));
        for (const Issue& task : tasks.tasks()) {
            if (task.id == QStringLiteral("t1")) {
                return task.spentTime;
            }
        }
        ADD_FAILURE() << "no task t1";
        return std::nullopt;
    };
    EXPECT_FALSE(spentTime().has_value()) << "nothing booked yet";

    auto form = app.makeWorkLogForm(project, test::makeIssue(QStringLiteral("t1")), 5400);
    ASSERT_TRUE(form);
    bool saved = false;
    form->save([&] { saved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return saved || form->errorOccurred(); }, 10000));
    ASSERT_TRUE(saved);

    EXPECT_EQ(spentTime(), QStringLiteral("1h 30m"));
    CalendarViewModel calendar(app.service(), state.environment());
    calendar.setCalendarMode(CalendarMode::sevenDays);
    ASSERT_TRUE(test::waitUntil([&] { return !calendar.isLoading(); }, 10000));
    const auto& entries = calendar.workEntries();
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [](const WorkEntry& e) { return e.issue.id == QStringLiteral("t1"); });
    ASSERT_NE(entry, entries.end()) << "the booking shows in this week's calendar";
    EXPECT_EQ(entry->spentTimeSeconds, 5400);
    EXPECT_EQ(entry->started.toLocalTime().date(), QDate::currentDate());
}

} // namespace
} // namespace velmora
