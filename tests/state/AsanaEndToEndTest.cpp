#include "EndToEndFixture.h"

#include "core/model/AsanaProvider.h"
#include "tests/support/FakeAsanaServer.h"
#include "trackers/asana/AsanaWorkLogForm.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

class AsanaEndToEndTest : public test::EndToEndFixture {
protected:
    AsanaEndToEndTest() {
        qputenv("VELMORA_ASANA_API_HOST", asana.hostAndPort().toUtf8());
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
    ~AsanaEndToEndTest() override { qunsetenv("VELMORA_ASANA_API_HOST"); }

    test::FakeAsanaServer asana;
    AsanaProvider account;
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

} // namespace
} // namespace velmora
