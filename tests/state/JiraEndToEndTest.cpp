#include "EndToEndFixture.h"

#include "core/model/JiraProvider.h"
#include "tests/support/FakeJiraServer.h"
#include "trackers/jira/JiraWorkLogForm.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

class JiraEndToEndTest : public test::EndToEndFixture {
protected:
    JiraEndToEndTest() {
        qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
        jira.addProject({QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project")});
        jira.addIssue({QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                       QStringLiteral("Crash on start")});
        jira.addIssue({QStringLiteral("10002"), QStringLiteral("PRJ-2"), QStringLiteral("10000"),
                       QStringLiteral("Slow search")});
        // Jira stamps a booking with its own time: the calendar looks at this week.
        state.clock->set(QDateTime::currentDateTime());

        auto saved = manager.save(
            JiraProvider(std::nullopt, QStringLiteral("Work"), JiraProvider::Parameters{jira.cloudId},
                         ProviderState::operational,
                         ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()}),
            std::optional<JiraProvider::Credentials>(
                JiraProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
        EXPECT_TRUE(saved.ok());
        if (saved.ok()) {
            account = saved.value();
        }
    }
    ~JiraEndToEndTest() override { qunsetenv("VELMORA_JIRA_API_HOST"); }

    test::FakeJiraServer jira;
    JiraProvider account;
};

TEST_F(JiraEndToEndTest, BookAWorkLogSeeItInTheCalendarAndDeleteIt) {
    const auto trip = bookAndDelete(
        account, QStringLiteral("10000"), QStringLiteral("10002"), 5400, [](AbstractWorkLogForm& form) {
            auto* jiraForm = dynamic_cast<JiraWorkLogForm*>(&form);
            ASSERT_NE(jiraForm, nullptr) << "a Jira account books through a Jira form";
            jiraForm->setDescription(QStringLiteral("Profiled the search"));
        });
    ASSERT_TRUE(trip.booked.has_value());
    EXPECT_DOUBLE_EQ(trip.booked->spentTimeSeconds, 5400);
    EXPECT_EQ(trip.booked->description, QStringLiteral("Profiled the search"));
    EXPECT_EQ(trip.entriesAfterDelete, 0);
    EXPECT_TRUE(jira.workLogs().empty()) << "deleted at the tracker";
}

TEST_F(JiraEndToEndTest, ManualWorkLogFormStartsAtZeroWithADescriptionOfAtMost10000Characters) {
    const Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
    auto form = manualForm(account, project, test::makeIssue(QStringLiteral("10001")));
    auto* jiraForm = dynamic_cast<JiraWorkLogForm*>(form.get());
    ASSERT_NE(jiraForm, nullptr);
    EXPECT_EQ(jiraForm->provider(), account);
    EXPECT_TRUE(validWithDescription(*jiraForm, 10000));
    EXPECT_FALSE(validWithDescription(*jiraForm, 10001));
}

} // namespace
} // namespace velmora
