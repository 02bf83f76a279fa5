#include "trackers/youtrack/YouTrackWorkLogForm.h"
#include "tests/trackers/youtrack/YouTrackFixture.h"
#include "trackers/youtrack/YouTrackWorkLogFields.h"

#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>

#include <memory>

using namespace velmora;
using test::FakeYouTrackServer;

namespace {

const QString itemsPath = QStringLiteral("/api/issues/2-1/timeTracking/workItems");

// Keeps a field's validation subscribed, as its message view does while shown:
// only then does the validator follow the field.
struct AttachedValidation {
    Cancellable subscription;
    explicit AttachedValidation(const ValidationContainer& container)
        : subscription(container.publisher().subscribe([](const Validation&) {})) {}
};

class YouTrackWorkLogFormTest : public test::YouTrackFixture {
protected:
    YouTrackWorkLogFormTest() {
        youTrack.addProject({"0-1",
                             "APP",
                             "Application",
                             true,
                             {{"wt-1", "Development"}, {"wt-2", "Testing"}, {"wt-3", "Documentation"}}});
        youTrack.addIssue({"2-1", "APP-1", "0-1", "Crash on start"});
        task.id = QStringLiteral("2-1");
        task.reference = QStringLiteral("APP-1");
        task.name = QStringLiteral("Crash on start");
    }

    std::unique_ptr<YouTrackWorkLogForm> makeForm(double duration) {
        return std::make_unique<YouTrackWorkLogForm>(account, service, project(), task, duration);
    }

    // A form whose type load has finished, with both rules attached.
    std::unique_ptr<YouTrackWorkLogForm> readyForm(double duration) {
        auto form = makeForm(duration);
        EXPECT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
        m_attached.emplace_back(form->durationValidation());
        m_attached.emplace_back(form->descriptionValidation());
        return form;
    }

    QList<test::FakeRequest> bookings() const { return youTrack.requestsTo(itemsPath); }

    static QJsonObject bodyOf(const test::FakeRequest& request) {
        return QJsonDocument::fromJson(request.body).object();
    }

    Issue task;

private:
    std::vector<AttachedValidation> m_attached;
};

} // namespace

TEST_F(YouTrackWorkLogFormTest, TypesLoadAsTheFormIsMadeWithNothingChosen) {
    youTrack.project(QStringLiteral("0-1"))->timeTrackingEnabled = false;
    auto form = makeForm(3600);
    EXPECT_TRUE(form->networkRequestInProgress());
    EXPECT_TRUE(form->hasTimeTrackingSettingsDisposable());
    EXPECT_TRUE(form->types().empty());

    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    // Offered even though the project says time tracking is off.
    EXPECT_EQ(form->types(), (std::vector<YouTrackWorkLogForm::WorkItemType>{
                                 {"wt-1", "Development"}, {"wt-2", "Testing"}, {"wt-3", "Documentation"}}));
    EXPECT_TRUE(form->type().isEmpty());
    EXPECT_FALSE(form->errorOccurred());
    EXPECT_FALSE(form->hasTimeTrackingSettingsDisposable());
    EXPECT_EQ(youTrack.http().lastRequest().decodedPath(), u"/api/admin/projects/0-1/timeTrackingSettings");
}

// A failed type load is no failed booking: the form says what could not be loaded,
// loads again when asked, and books without a type meanwhile.
TEST_F(YouTrackWorkLogFormTest, FailedTypeLoadIsToldAsSuchCanBeRetriedAndBookingStillWorks) {
    youTrack.project(QStringLiteral("0-1"))->settingsStatus = 500;
    auto form = readyForm(150);
    EXPECT_FALSE(form->errorOccurred());
    EXPECT_TRUE(form->types().empty());
    ASSERT_TRUE(form->inputsLoadFailure().has_value());
    EXPECT_EQ(form->inputsLoadFailure()->headline, QStringLiteral("Couldn't load the work item types."));
    EXPECT_EQ(form->inputsLoadFailure()->error.httpStatus(), 500);

    youTrack.project(QStringLiteral("0-1"))->settingsStatus = 0;
    form->retryInputsLoad();
    EXPECT_FALSE(form->inputsLoadFailure().has_value()) << "cleared while loading again";
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    EXPECT_FALSE(form->inputsLoadFailure().has_value());
    EXPECT_EQ(form->types().size(), 3u);

    youTrack.project(QStringLiteral("0-1"))->settingsStatus = 500;
    form->retryInputsLoad();
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    ASSERT_TRUE(form->inputsLoadFailure().has_value());

    bool saved = false;
    form->save([&] { saved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    EXPECT_TRUE(saved);
    ASSERT_EQ(youTrack.workItems().size(), 1u);
    EXPECT_FALSE(youTrack.workItems()[0].typeId);
}

TEST_F(YouTrackWorkLogFormTest, BookingBodyCarriesOnlyWhatWasGiven) {
    auto bare = readyForm(150);
    bare->save({});
    ASSERT_TRUE(test::waitUntil([&] { return !bare->networkRequestInProgress(); }));
    ASSERT_EQ(bookings().size(), 1);
    EXPECT_EQ(bookings()[0].body, R"({"duration":{"minutes":2}})");
    EXPECT_EQ(bookings()[0].header("Content-Type"), "application/json");
    // What proves the new item is the booking's is asked back: its id, minutes and task.
    EXPECT_EQ(bookings()[0].queryValue(QStringLiteral("fields")),
              QStringLiteral("id,duration(minutes),issue(id)"));

    auto full = readyForm(119.9);
    full->setType(QStringLiteral("wt-2"));
    full->setDescription(QStringLiteral("   "));
    full->save({});
    ASSERT_TRUE(test::waitUntil([&] { return !full->networkRequestInProgress(); }));
    ASSERT_EQ(bookings().size(), 2);
    EXPECT_EQ(bodyOf(bookings()[1]), (QJsonObject{{"type", QJsonObject{{"id", "wt-2"}}},
                                                  {"duration", QJsonObject{{"minutes", 1}}},
                                                  {"text", "   "}}));

    // What was booked shows in the next read of the calendar.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    auto entries = test::awaitOutcome(service->fetchWorkEntries({now.addSecs(-60), now.addSecs(60)}));
    ASSERT_TRUE(entries && entries->ok());
    ASSERT_EQ(entries->value().size(), 2u);
    EXPECT_EQ(entries->value()[0].spentTimeSeconds, 120.0);
    EXPECT_FALSE(entries->value()[0].description);
    EXPECT_EQ(entries->value()[1].description, QStringLiteral("   "));
}

TEST_F(YouTrackWorkLogFormTest, BookedMinutesAreCutTowardZero) {
    EXPECT_EQ(YouTrackWorkLogForm::bookedMinutes(59.99), 0);
    EXPECT_EQ(YouTrackWorkLogForm::bookedMinutes(119.9), 1);
    EXPECT_EQ(YouTrackWorkLogForm::bookedMinutes(120), 2);
    EXPECT_EQ(YouTrackWorkLogForm::bookedMinutes(3599), 59);
    EXPECT_EQ(YouTrackWorkLogForm::bookedMinutes(-1), std::nullopt);
    EXPECT_EQ(YouTrackWorkLogForm::bookedMinutes(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
    EXPECT_EQ(YouTrackWorkLogForm::bookedMinutes(1e300), std::nullopt);
}

TEST_F(YouTrackWorkLogFormTest, InvalidFormSendsNothing) {
    auto form = readyForm(59);
    bool saved = false;
    form->save([&] { saved = true; });
    test::drainEvents();
    EXPECT_FALSE(form->networkRequestInProgress());

    form->setDuration(60);
    form->setDescription(QString(10001, QLatin1Char('x')));
    form->save([&] { saved = true; });
    // Line breaks at the ends count.
    form->setDescription(QString(10000, QLatin1Char('x')) + QLatin1Char('\n'));
    form->save([&] { saved = true; });
    test::drainEvents();
    EXPECT_TRUE(bookings().isEmpty());
    EXPECT_FALSE(saved);
    EXPECT_FALSE(form->errorOccurred());
    EXPECT_EQ(form->manager()->validationMessages(), QStringList{YouTrackWorkLogForm::descriptionMessage});

    // Blanks around 10,000 characters are not counted.
    form->setDescription(QStringLiteral("  ") + QString(10000, QLatin1Char('x')) + QStringLiteral("\t "));
    form->save([&] { saved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return saved; }));
    EXPECT_EQ(bookings().size(), 1);
}

TEST_F(YouTrackWorkLogFormTest, UnderAMinuteNeverBooksZeroMinutesWithoutAWatchingView) {
    // No view has built the duration's validation: the manager has no rule to check.
    auto unwatched = makeForm(59);
    ASSERT_TRUE(test::waitUntil([&] { return !unwatched->networkRequestInProgress(); }));
    bool saved = false;
    unwatched->save([&] { saved = true; });
    EXPECT_FALSE(unwatched->hasSaveWorkLogDisposable());
    EXPECT_FALSE(unwatched->networkRequestInProgress());

    // A whole minute goes out as usual.
    unwatched->setDuration(60);
    unwatched->save([&] { saved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return saved; }));
    ASSERT_EQ(bookings().size(), 1);
    EXPECT_EQ(bookings()[0].body, R"({"duration":{"minutes":1}})");
    EXPECT_FALSE(unwatched->errorOccurred());
}

TEST_F(YouTrackWorkLogFormTest, SuccessRunsTheActionOnceThenClearsTheFlag) {
    auto form = readyForm(3600);
    int actions = 0;
    bool busyDuringAction = false;
    form->save([&] {
        ++actions;
        busyDuringAction = form->networkRequestInProgress();
    });
    EXPECT_TRUE(form->networkRequestInProgress());
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    test::drainEvents();
    EXPECT_EQ(actions, 1);
    EXPECT_TRUE(busyDuringAction);
    EXPECT_FALSE(form->errorOccurred());
    EXPECT_FALSE(form->hasSaveWorkLogDisposable());
}

TEST_F(YouTrackWorkLogFormTest, FailureSetsErrorOccurredKeepsInputsAndMarksNothing) {
    auto form = readyForm(3600);
    form->setType(QStringLiteral("wt-1"));
    form->setDescription(QStringLiteral("Fixing"));
    youTrack.refuseAll(401);
    bool saved = false;
    form->save([&] { saved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    test::drainEvents();
    EXPECT_FALSE(saved);
    EXPECT_TRUE(form->errorOccurred());
    EXPECT_EQ(form->type(), u"wt-1");
    EXPECT_EQ(form->description(), u"Fixing");
    EXPECT_EQ(storedState(), ProviderState::operational);

    // The user can try again.
    youTrack.refuseAll(0);
    form->save([&] { saved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return saved; }));
    EXPECT_EQ(youTrack.workItems().size(), 1u);
}

TEST_F(YouTrackWorkLogFormTest, SaveWhileABookingIsPendingIsIgnored) {
    auto form = readyForm(3600);
    youTrack.setAnswerDelay(300, itemsPath);
    int actions = 0;
    form->save([&] { ++actions; });
    form->save([&] { ++actions; });
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    test::drainEvents();
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(bookings().size(), 1);
    EXPECT_EQ(youTrack.workItems().size(), 1u);

    // A form closed while its booking runs delivers nothing afterwards: not by the time a
    // booking sent after it, answered as late, has been delivered.
    form->save([&] { ++actions; });
    form.reset();
    auto later = readyForm(3600);
    bool laterSaved = false;
    later->save([&] { laterSaved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return laterSaved; }));
    EXPECT_EQ(actions, 1);
}

TEST_F(YouTrackWorkLogFormTest, StaysBusyWhileTheTypeLoadOutlivesABooking) {
    // The type load is answered only when the test says so, after the booking.
    youTrack.http().holdAnswers(QStringLiteral("/timeTrackingSettings"));
    auto form = makeForm(3600);
    AttachedValidation duration(form->durationValidation());
    bool saved = false;
    form->save([&] { saved = true; });
    ASSERT_TRUE(test::waitUntil([&] { return saved; }));
    test::drainEvents();
    EXPECT_TRUE(form->hasTimeTrackingSettingsDisposable());
    EXPECT_TRUE(form->networkRequestInProgress());
    // Nobody may declare the form idle while its load runs.
    form->setNetworkRequestInProgress(false);
    EXPECT_TRUE(form->networkRequestInProgress());

    youTrack.http().stopHolding();
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    EXPECT_EQ(form->types().size(), 3u);
}

TEST_F(YouTrackWorkLogFormTest, FieldsFollowTheFormBothWays) {
    auto form = makeForm(3600);
    std::unique_ptr<QWidget> widget(form->additionalFields(nullptr));
    auto* fields = qobject_cast<YouTrackWorkLogFields*>(widget.get());
    ASSERT_TRUE(fields);
    QComboBox* choice = fields->typeChoice();
    ASSERT_EQ(choice->count(), 1);
    EXPECT_EQ(choice->itemText(0), u"Select an option");

    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    ASSERT_EQ(choice->count(), 4);
    EXPECT_EQ(choice->itemText(2), u"Testing");
    EXPECT_EQ(choice->currentIndex(), 0);
    EXPECT_TRUE(form->type().isEmpty());

    choice->setCurrentIndex(2);
    EXPECT_EQ(form->type(), u"wt-2");
    form->setType(QStringLiteral("wt-3"));
    EXPECT_EQ(choice->currentIndex(), 3);
    choice->setCurrentIndex(0);
    EXPECT_TRUE(form->type().isEmpty());

    // Typing reaches the form, and the length rule now counts in the form.
    fields->descriptionEditor()->setPlainText(QString(10001, QLatin1Char('y')));
    EXPECT_EQ(form->description().size(), 10001);
    EXPECT_FALSE(form->manager()->checkAllValid());
    form->setDescription(QStringLiteral("Short"));
    EXPECT_EQ(fields->descriptionEditor()->toPlainText(), u"Short");
    EXPECT_TRUE(form->manager()->checkAllValid());
}

// Type names are free text from the tracker: the picker shows each as one bounded line,
// whatever it holds.
TEST_F(YouTrackWorkLogFormTest, TypeNamesShowAsOneBoundedLineInThePicker) {
    const QString lines = QStringLiteral("Bug\nfix\u2028<b>now</b>") + QString(100000, QLatin1Char('a'));
    const QString marks = QStringLiteral("e") + QString(20000, QChar(0x0301));
    youTrack.addProject({"0-2", "EVIL", "Evil", true, {{"wt-8", lines}, {"wt-9", marks}}});
    auto form = std::make_unique<YouTrackWorkLogForm>(
        account, service, project(QStringLiteral("0-2"), QStringLiteral("EVIL")), task, 3600);
    std::unique_ptr<QWidget> widget(form->additionalFields(nullptr));
    auto* fields = qobject_cast<YouTrackWorkLogFields*>(widget.get());
    ASSERT_TRUE(fields);
    ASSERT_TRUE(test::waitUntil([&] { return fields->typeChoice()->count() == 3; }));
    const QString shownLines = fields->typeChoice()->itemText(1);
    EXPECT_TRUE(shownLines.startsWith(u"Bug fix <b>now</b>")) << shownLines.left(40).toStdString();
    EXPECT_FALSE(shownLines.contains(u'\n'));
    EXPECT_LE(shownLines.size(), 300);
    EXPECT_LE(fields->typeChoice()->itemText(2).size(), 5);
    // The choice still books the type's own id.
    fields->typeChoice()->setCurrentIndex(2);
    EXPECT_EQ(form->type(), u"wt-9");
}

// A booking is saved only when YouTrack answers with the new work item of the task, whose id
// the booking's record keeps; any other 2xx leaves the outcome unknown.
TEST_F(YouTrackWorkLogFormTest, OnlyTheNewWorkItemOfTheTaskIsASaveAndItsIdIsKept) {
    auto form = readyForm(3600);
    std::optional<QString> savedId;
    QObject::connect(form.get(), &AbstractWorkLogForm::bookingSaved,
                     [&](const QString& id) { savedId = id; });
    form->save({});
    ASSERT_TRUE(test::waitUntil([&] { return !form->networkRequestInProgress(); }));
    ASSERT_TRUE(savedId.has_value());
    EXPECT_EQ(*savedId, youTrack.workItems().back().id);

    for (const test::FakeResponse& answer :
         {test::FakeResponse::signInPage(), test::FakeResponse::empty(200),
          test::FakeResponse::json("{}", 200), test::FakeResponse::json(R"({"id":7})", 200),
          // An id alone, or none, or an error's, is no work item of this booking's.
          test::FakeResponse::json(R"({"id":"1"})", 200), test::FakeResponse::json(R"({"id":""})", 200),
          test::FakeResponse::json(R"({"id":" ","$type":"IssueWorkItem","duration":{"minutes":60}})", 200),
          test::FakeResponse::json(R"({"id":"proxy-1","$type":"Error"})", 200),
          test::FakeResponse::json(R"({"id":"9","$type":"IssueWorkItem","duration":{"minutes":1}})", 200),
          // Everything of the work item but what it is, or whose: each alone is no proof.
          test::FakeResponse::json(R"({"id":"9","$type":"Error","duration":{"minutes":60},)"
                                   R"("issue":{"id":"2-1"}})",
                                   200),
          test::FakeResponse::json(R"({"id":"9","duration":{"minutes":60},"issue":{"id":"2-1"}})", 200),
          test::FakeResponse::json(R"({"id":"9","$type":"IssueWorkItem","duration":{"minutes":60},)"
                                   R"("issue":{"id":"2-2"}})",
                                   200),
          test::FakeResponse::json(R"({"id":"8-77","$type":"IssueWorkItem","duration":{"minutes":60}})",
                                   200)}) {
        youTrack.interceptOnce("POST", QStringLiteral("/timeTracking/workItems"), answer);
        auto next = readyForm(3600);
        std::optional<APIError> unknown;
        QObject::connect(next.get(), &AbstractWorkLogForm::bookingOutcomeUnknown,
                         [&](const APIError& error) { unknown = error; });
        next->save({});
        ASSERT_TRUE(test::waitUntil([&] { return !next->networkRequestInProgress(); }));
        ASSERT_TRUE(unknown.has_value()) << answer.body.toStdString();
        EXPECT_EQ(unknown->cause(), APIError::Cause::Unreadable);
        EXPECT_FALSE(next->errorOccurred());
    }
    EXPECT_EQ(youTrack.workItems().size(), 1u);
}
