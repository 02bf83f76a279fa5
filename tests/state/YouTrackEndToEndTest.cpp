#include "EndToEndFixture.h"

#include "core/model/YouTrackProvider.h"
#include "tests/support/FakeYouTrackServer.h"
#include "trackers/youtrack/YouTrackWorkLogForm.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

class YouTrackEndToEndTest : public test::EndToEndFixture {
protected:
    YouTrackEndToEndTest() {
        youTrack.addProject({QStringLiteral("0-1"),
                             QStringLiteral("APP"),
                             QStringLiteral("Application"),
                             true,
                             {{QStringLiteral("wt-1"), QStringLiteral("Development")},
                              {QStringLiteral("wt-2"), QStringLiteral("Testing")}}});
        youTrack.addIssue({QStringLiteral("2-1"), QStringLiteral("APP-1"), QStringLiteral("0-1"),
                           QStringLiteral("Crash on start")});
        youTrack.addIssue({QStringLiteral("2-2"), QStringLiteral("APP-2"), QStringLiteral("0-1"),
                           QStringLiteral("Slow search")});
        youTrack.setNow(state.clock->now().toMSecsSinceEpoch());

        auto saved = manager.save(
            YouTrackProvider(std::nullopt, QStringLiteral("Work"),
                             YouTrackProvider::Parameters{youTrack.baseUrl()}, ProviderState::operational,
                             ProviderUser{QStringLiteral("jane"), QStringLiteral("Jane Roe"), QString()}),
            YouTrackProvider::Credentials{youTrack.token()});
        EXPECT_TRUE(saved.ok());
        if (saved.ok()) {
            account = saved.value();
        }
    }

    test::FakeYouTrackServer youTrack;
    YouTrackProvider account;
};

TEST_F(YouTrackEndToEndTest, BookAWorkItemSeeItInTheCalendarAndDeleteIt) {
    const auto trip = bookAndDelete(
        account, QStringLiteral("0-1"), QStringLiteral("2-2"), 2700, [](AbstractWorkLogForm& form) {
            auto* youTrackForm = dynamic_cast<YouTrackWorkLogForm*>(&form);
            ASSERT_NE(youTrackForm, nullptr);
            ASSERT_TRUE(test::waitUntil([&] { return youTrackForm->types().size() == 2; }))
                << "the work-item types load as the form is made";
            youTrackForm->setType(QStringLiteral("wt-2"));
            youTrackForm->setDescription(QStringLiteral("Measured the search"));
        });
    ASSERT_TRUE(trip.booked.has_value());
    EXPECT_DOUBLE_EQ(trip.booked->spentTimeSeconds, 2700);
    EXPECT_EQ(trip.booked->description, QStringLiteral("Measured the search"));
    EXPECT_EQ(trip.entriesAfterDelete, 0);
    EXPECT_TRUE(youTrack.workItems().empty()) << "deleted at the tracker";
}

TEST_F(YouTrackEndToEndTest, ManualWorkLogFormStartsAtZeroWithADescriptionOfAtMost10000Characters) {
    const Project project{
        QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application"), {}, {}};
    auto form = manualForm(account, project, test::makeIssue(QStringLiteral("2-1")));
    auto* youTrackForm = dynamic_cast<YouTrackWorkLogForm*>(form.get());
    ASSERT_NE(youTrackForm, nullptr);
    EXPECT_TRUE(youTrackForm->type().isEmpty());
    EXPECT_TRUE(test::waitUntil([&] { return youTrackForm->types().size() == 2; }));
    EXPECT_TRUE(validWithDescription(*youTrackForm, 10000));
    EXPECT_FALSE(validWithDescription(*youTrackForm, 10001));
}

} // namespace
} // namespace velmora
