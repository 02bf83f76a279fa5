#include "core/time/AbstractWorkLogForm.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace velmora;

namespace {

// A booking request the test finishes by hand.
struct FakeRequest {
    int started = 0;
    int cancelled = 0;
    std::function<void(Result<Void, APIError>)> finish;

    Publisher<Void, APIError> publisher() {
        return Publisher<Void, APIError>::create([this](auto sink) -> std::function<void()> {
            ++started;
            finish = std::move(sink);
            return [this] { ++cancelled; };
        });
    }
};

class TestForm : public AbstractWorkLogForm {
public:
    TestForm(double duration, FakeRequest& request)
        : AbstractWorkLogForm(
              Project{QStringLiteral("P1"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}},
              Issue{QStringLiteral("T1"), {}, QStringLiteral("Task"), {}, {}, {}, {}, {}}, duration),
          m_request(request) {}

    void save(std::function<void()> completion) override {
        if (!manager()->checkAllValid()) {
            return;
        }
        runSaveRequest(m_request.publisher(), std::move(completion));
    }

private:
    FakeRequest& m_request;
};

// Subscribes like the booking sheet's message view and records what it would show.
struct ShownOutcomes {
    std::vector<Validation> outcomes;
    Cancellable subscription;

    explicit ShownOutcomes(const ValidationContainer& container)
        : subscription(
              container.publisher().subscribe([this](const Validation& v) { outcomes.push_back(v); })) {}
};

// Records every value a signal carries.
template <typename Signal>
std::shared_ptr<std::vector<bool>> record(AbstractWorkLogForm& form, Signal signal) {
    auto values = std::make_shared<std::vector<bool>>();
    QObject::connect(&form, signal, [values](bool value) { values->push_back(value); });
    return values;
}

const QString durationMessage = QStringLiteral("Duration must be at least one minute.");

} // namespace

TEST(AbstractWorkLogFormTest, NewFormStartsQuietWithAnEmptyManager) {
    FakeRequest request;
    TestForm form(3600, request);
    EXPECT_EQ(form.project().id, u"P1");
    EXPECT_EQ(form.task().id, u"T1");
    EXPECT_EQ(form.duration(), 3600.0);
    EXPECT_FALSE(form.errorOccurred());
    EXPECT_FALSE(form.networkRequestInProgress());
    EXPECT_FALSE(form.hasSaveWorkLogDisposable());
    ASSERT_TRUE(form.manager());
    EXPECT_TRUE(form.manager()->validators().empty());
    EXPECT_EQ(form.manager()->validationType(), FormManager::ValidationType::immediate);
    EXPECT_EQ(form.additionalFields(nullptr), nullptr);
}

TEST(AbstractWorkLogFormTest, DurationValidationIsBuiltOnceAndRegisteredOnce) {
    FakeRequest request;
    TestForm form(3600, request);
    const ValidationContainer& first = form.durationValidation();
    const ValidationContainer& second = form.durationValidation();
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first.validator(), second.validator());
    ASSERT_EQ(form.manager()->validators().size(), 1u);
    EXPECT_EQ(form.manager()->validators().front().validator, first.validator());
}

TEST(AbstractWorkLogFormTest, ShortDurationIsJudgedOnceTheInputIsAttached) {
    FakeRequest request;
    TestForm form(59, request);
    ShownOutcomes shown(form.durationValidation());
    // The starting duration is judged silently: nothing shown, but the form is invalid.
    EXPECT_TRUE(shown.outcomes.empty());
    EXPECT_FALSE(form.manager()->allValid());
    EXPECT_EQ(form.manager()->validationMessages(), QStringList{durationMessage});

    bool completed = false;
    form.save([&] { completed = true; });
    EXPECT_EQ(request.started, 0);

    form.setDuration(0);
    ASSERT_EQ(shown.outcomes.size(), 1u);
    EXPECT_EQ(shown.outcomes.back(), Validation::failure(durationMessage));
    form.setDuration(60);
    ASSERT_EQ(shown.outcomes.size(), 2u);
    EXPECT_EQ(shown.outcomes.back(), Validation::success());
    EXPECT_TRUE(form.manager()->allValid());
    EXPECT_FALSE(completed);
}

TEST(AbstractWorkLogFormTest, InvalidFormSavesNothingAndChangesNothing) {
    FakeRequest request;
    TestForm form(59.999, request);
    ShownOutcomes shown(form.durationValidation());
    const auto errors = record(form, &AbstractWorkLogForm::errorOccurredChanged);
    const auto progress = record(form, &AbstractWorkLogForm::networkRequestInProgressChanged);

    bool completed = false;
    form.save([&] { completed = true; });
    test::drainEvents();

    EXPECT_EQ(request.started, 0);
    EXPECT_FALSE(completed);
    EXPECT_FALSE(form.errorOccurred());
    EXPECT_FALSE(form.networkRequestInProgress());
    EXPECT_FALSE(form.hasSaveWorkLogDisposable());
    EXPECT_TRUE(errors->empty());
    EXPECT_TRUE(progress->empty());
}

TEST(AbstractWorkLogFormTest, SuccessfulSaveCallsCompletionThenClearsTheFlag) {
    FakeRequest request;
    TestForm form(90, request);
    ShownOutcomes shown(form.durationValidation());
    const auto progress = record(form, &AbstractWorkLogForm::networkRequestInProgressChanged);

    int completions = 0;
    bool inProgressAtCompletion = false;
    form.save([&] {
        ++completions;
        inProgressAtCompletion = form.networkRequestInProgress();
    });
    EXPECT_EQ(request.started, 1);
    EXPECT_TRUE(form.networkRequestInProgress());
    EXPECT_TRUE(form.hasSaveWorkLogDisposable());

    request.finish(Result<Void, APIError>::success(Void{}));
    // Delivered through the event loop, never inside the call that finished it.
    EXPECT_EQ(completions, 0);
    ASSERT_TRUE(test::waitUntil([&] { return completions > 0; }));
    test::drainEvents();

    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(inProgressAtCompletion);
    EXPECT_FALSE(form.networkRequestInProgress());
    EXPECT_FALSE(form.errorOccurred());
    EXPECT_FALSE(form.hasSaveWorkLogDisposable());
    EXPECT_EQ(request.cancelled, 0);
    EXPECT_EQ(*progress, (std::vector<bool>{true, false}));
}

TEST(AbstractWorkLogFormTest, FailedSaveSetsTheErrorAndKeepsTheValues) {
    FakeRequest request;
    TestForm form(90, request);
    ShownOutcomes shown(form.durationValidation());

    bool completed = false;
    form.save([&] { completed = true; });
    request.finish(Result<Void, APIError>::failure(APIError::rateLimited(30)));
    ASSERT_TRUE(test::waitUntil([&] { return form.errorOccurred(); }));

    EXPECT_FALSE(completed);
    EXPECT_FALSE(form.networkRequestInProgress());
    EXPECT_FALSE(form.hasSaveWorkLogDisposable());
    EXPECT_EQ(form.duration(), 90.0);

    // The user may try again; the error stays until someone clears it.
    form.save([&] { completed = true; });
    EXPECT_EQ(request.started, 2);
    request.finish(Result<Void, APIError>::success(Void{}));
    ASSERT_TRUE(test::waitUntil([&] { return completed; }));
    EXPECT_TRUE(form.errorOccurred());
}

TEST(AbstractWorkLogFormTest, SaveWhileOneIsInFlightSendsNothingMore) {
    FakeRequest request;
    TestForm form(90, request);
    ShownOutcomes shown(form.durationValidation());

    int first = 0;
    int second = 0;
    form.save([&] { ++first; });
    // A double click: the first booking may already have reached the tracker, so it
    // is neither cancelled nor sent again.
    form.save([&] { ++second; });
    EXPECT_EQ(request.started, 1);
    EXPECT_EQ(request.cancelled, 0);
    EXPECT_TRUE(form.networkRequestInProgress());

    request.finish(Result<Void, APIError>::success(Void{}));
    ASSERT_TRUE(test::waitUntil([&] { return first > 0; }));
    test::drainEvents();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_FALSE(form.networkRequestInProgress());

    // Once it has ended, the next save goes out as usual.
    form.save([&] { ++second; });
    EXPECT_EQ(request.started, 2);
    request.finish(Result<Void, APIError>::success(Void{}));
    ASSERT_TRUE(test::waitUntil([&] { return second > 0; }));
}

TEST(AbstractWorkLogFormTest, FormGoneBeforeTheAnswerCancelsTheRequest) {
    FakeRequest request;
    bool completed = false;
    {
        TestForm form(90, request);
        ShownOutcomes shown(form.durationValidation());
        form.save([&] { completed = true; });
        EXPECT_EQ(request.started, 1);
    }
    EXPECT_EQ(request.cancelled, 1);
    test::drainEvents();
    EXPECT_FALSE(completed);
}

TEST(AbstractWorkLogFormTest, CompletionMayDeleteTheForm) {
    FakeRequest request;
    auto* form = new TestForm(90, request);
    auto shown = std::make_unique<ShownOutcomes>(form->durationValidation());
    bool completed = false;
    form->save([&] {
        completed = true;
        shown.reset();
        delete form;
    });
    request.finish(Result<Void, APIError>::success(Void{}));
    ASSERT_TRUE(test::waitUntil([&] { return completed; }));
    test::drainEvents();
}

namespace {

// A form that books with a record and reads the task's entries through requests the
// test answers by hand.
class RecordingForm : public AbstractWorkLogForm {
public:
    RecordingForm(FakeRequest& booking)
        : AbstractWorkLogForm(
              Project{QStringLiteral("P1"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}},
              Issue{QStringLiteral("T1"), {}, QStringLiteral("Task"), {}, {}, {}, {}, {}}, 1800),
          m_booking(booking) {}

    void save(std::function<void()> completion) override {
        WorkLogBooking record{task().id, QDateTime::currentDateTime(), 1800, {}};
        record.dating = WorkLogBooking::Dating::day;
        record.sent = record.started;
        runSaveRequest(m_booking.publisher(), std::move(completion), record);
    }

    int reads = 0;
    std::function<void(Result<std::vector<WorkEntry>, APIError>)> answerRead;

protected:
    std::optional<Publisher<std::vector<WorkEntry>, APIError>> readOwnEntries(const DateInterval&) override {
        return Publisher<std::vector<WorkEntry>, APIError>::create(
            [this](auto sink) -> std::function<void()> {
                ++reads;
                answerRead = std::move(sink);
                return [] {};
            });
    }

private:
    FakeRequest& m_booking;
};

WorkEntry ownEntry(const QString& id, double seconds) {
    WorkEntry entry;
    entry.id = id;
    entry.issue.id = QStringLiteral("T1");
    entry.spentTimeSeconds = seconds;
    return entry;
}

} // namespace

TEST(AbstractWorkLogFormTest, ABookingLeavesListingTheLookAlikesThatWereThere) {
    FakeRequest booking;
    RecordingForm form(booking);
    std::vector<WorkLogBooking> sent;
    QObject::connect(&form, &AbstractWorkLogForm::bookingSending,
                     [&](const WorkLogBooking& record) { sent.push_back(record); });
    form.learnEntriesBefore();
    ASSERT_EQ(form.reads, 1);
    // Read before Save: the booking waits for nothing.
    form.answerRead(Result<std::vector<WorkEntry>, APIError>::success(
        {ownEntry(QStringLiteral("same"), 1800), ownEntry(QStringLiteral("other"), 3600)}));
    test::drainEvents();
    form.save({});
    EXPECT_EQ(booking.started, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.front().before, std::vector<QString>{QStringLiteral("same")});
    EXPECT_EQ(form.reads, 1);
}

TEST(AbstractWorkLogFormTest, ASaveWaitsForTheReadOnItsWayAndGoesWhenItEnds) {
    FakeRequest booking;
    RecordingForm form(booking);
    std::vector<WorkLogBooking> sent;
    QObject::connect(&form, &AbstractWorkLogForm::bookingSending,
                     [&](const WorkLogBooking& record) { sent.push_back(record); });
    const auto flags = record(form, &AbstractWorkLogForm::networkRequestInProgressChanged);
    form.learnEntriesBefore();
    form.save({});
    form.save({});
    EXPECT_EQ(booking.started, 0) << "waits for the read on its way";
    EXPECT_TRUE(form.networkRequestInProgress());
    EXPECT_EQ(form.reads, 1);
    // It fails: the booking goes without it, once for the two clicks.
    form.answerRead(Result<std::vector<WorkEntry>, APIError>::failure(APIError::unknown()));
    test::drainEvents();
    EXPECT_EQ(form.reads, 1);
    EXPECT_EQ(booking.started, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent.front().before.has_value()) << "nothing known";
    // Up from the click through the booking, never down in between.
    EXPECT_EQ(*flags, std::vector<bool>{true});
}

TEST(AbstractWorkLogFormTest, ASaveAfterAFailedReadReadsAgain) {
    FakeRequest booking;
    RecordingForm form(booking);
    std::vector<WorkLogBooking> sent;
    QObject::connect(&form, &AbstractWorkLogForm::bookingSending,
                     [&](const WorkLogBooking& record) { sent.push_back(record); });
    form.learnEntriesBefore();
    form.answerRead(Result<std::vector<WorkEntry>, APIError>::failure(APIError::unknown()));
    test::drainEvents();
    form.save({});
    EXPECT_EQ(form.reads, 2);
    EXPECT_EQ(booking.started, 0);
    form.answerRead(
        Result<std::vector<WorkEntry>, APIError>::success({ownEntry(QStringLiteral("same"), 1790)}));
    test::drainEvents();
    EXPECT_EQ(booking.started, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.front().before, std::vector<QString>{QStringLiteral("same")});
}

namespace {

constexpr qint64 waitBoundMs = AbstractWorkLogForm::entriesWaitBound.count();

} // namespace

// A read held far past any wait worth making (35 s, 70 s at the tracker): the booking
// leaves at the bound, without the list, and the read's late end sends nothing more.
TEST(AbstractWorkLogFormTest, ASaveWaitsForTheReadAtMostItsBoundThenLeavesWithoutTheList) {
    FakeRequest booking;
    RecordingForm form(booking);
    std::vector<WorkLogBooking> sent;
    QObject::connect(&form, &AbstractWorkLogForm::bookingSending,
                     [&](const WorkLogBooking& record) { sent.push_back(record); });
    form.learnEntriesBefore();
    QElapsedTimer clicked;
    clicked.start();
    form.save({});
    EXPECT_EQ(booking.started, 0);
    ASSERT_TRUE(test::waitUntil([&] { return booking.started == 1; }, 10000))
        << "the booking never left while the read stayed on its way";
    const qint64 waited = clicked.elapsed();
    EXPECT_GE(waited, waitBoundMs - 20) << "it left before the read had its chance";
    // Room for a busy machine and the sanitizers, by the run's time scale.
    EXPECT_LT(waited, waitBoundMs + test::scaledMs(2000));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent.front().before.has_value()) << "nothing known of what was there";
    EXPECT_TRUE(form.networkRequestInProgress());

    form.answerRead(
        Result<std::vector<WorkEntry>, APIError>::success({ownEntry(QStringLiteral("same"), 1800)}));
    test::drainEvents();
    EXPECT_EQ(booking.started, 1);
    EXPECT_EQ(sent.size(), 1u);
}

// The record says when the booking left, which is after the wait for the read, not when
// Save was clicked: the check after a crash takes an entry the tracker made before that
// moment for an earlier booking.
TEST(AbstractWorkLogFormTest, TheRecordedDepartureIsWhenTheBookingLeftAfterWaitingForTheRead) {
    FakeRequest booking;
    RecordingForm form(booking);
    std::vector<WorkLogBooking> sent;
    QObject::connect(&form, &AbstractWorkLogForm::bookingSending,
                     [&](const WorkLogBooking& record) { sent.push_back(record); });
    form.learnEntriesBefore();
    const QDateTime clicked = QDateTime::currentDateTime();
    form.save({});
    // The read ends a while after the click.
    QElapsedTimer held;
    held.start();
    test::waitUntil([&] { return held.elapsed() >= 300; }, 10000);
    form.answerRead(Result<std::vector<WorkEntry>, APIError>::success({}));
    const QDateTime answered = QDateTime::currentDateTime();
    test::drainEvents();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_TRUE(sent.front().sent.has_value());
    EXPECT_GE(*sent.front().sent, answered.addMSecs(-50)) << "the moment of the click was kept";
    EXPECT_LE(*sent.front().sent, QDateTime::currentDateTime());
    EXPECT_GE(clicked.msecsTo(*sent.front().sent), 250);
    // This tracker dates by the day it takes the booking: its start is when it left too.
    EXPECT_EQ(sent.front().started, *sent.front().sent);
}

// The sheet closed while its Save waited: the booking never leaves, whatever the read
// does after, and the form is free.
TEST(AbstractWorkLogFormTest, ASaveCalledOffWhileItWaitsSendsNothing) {
    FakeRequest booking;
    RecordingForm form(booking);
    bool completed = false;
    form.learnEntriesBefore();
    form.save([&] { completed = true; });
    EXPECT_TRUE(form.networkRequestInProgress());
    EXPECT_TRUE(form.cancelWaitingSave());
    EXPECT_FALSE(form.networkRequestInProgress());
    EXPECT_FALSE(form.cancelWaitingSave()) << "nothing waits any more";
    form.answerRead(Result<std::vector<WorkEntry>, APIError>::success({}));
    test::drainEvents();
    QElapsedTimer past;
    past.start();
    test::waitUntil([&] { return past.elapsed() > waitBoundMs + 100; }, 10000);
    EXPECT_EQ(booking.started, 0);
    EXPECT_FALSE(completed);
    EXPECT_FALSE(form.networkRequestInProgress());
}

// Whoever keeps the record could not: nothing leaves and nothing is called a failure.
TEST(AbstractWorkLogFormTest, ABookingHeldBackByItsRecordSendsNothing) {
    FakeRequest booking;
    RecordingForm form(booking);
    QObject::connect(&form, &AbstractWorkLogForm::bookingSending, &form, [&] { form.holdBackBooking(); });
    form.save({});
    EXPECT_EQ(booking.started, 0);
    EXPECT_FALSE(form.networkRequestInProgress());
    EXPECT_FALSE(form.errorOccurred());
    EXPECT_FALSE(form.hasSaveWorkLogDisposable());
}

// Only an answer that proves the tracker kept nothing is a failed booking; what the app
// did not see is an unknown outcome.
TEST(AbstractWorkLogFormTest, OnlyARefusalOrARequestThatNeverLeftFailsABooking) {
    struct Case {
        const char* name;
        APIError error;
        bool failed;
    };
    const std::vector<Case> cases{
        {"time-out", APIError::failure(APIError::Cause::TimedOut), false},
        {"connection dropped", APIError::failure(APIError::Cause::Unreachable), false},
        {"server error", APIError::failure(APIError::Cause::ServerError, 502), false},
        {"unreadable answer", APIError::failure(APIError::Cause::Unreadable), false},
        {"no connection made", APIError::failure(APIError::Cause::Unreachable).asNeverSent(), true},
        {"certificate refused", APIError::failure(APIError::Cause::UntrustedCertificate), true},
        {"400", APIError::failure(APIError::Cause::ServerError, 400), true},
        {"401", APIError::unauthorized().withHttpStatus(401), true},
        {"403", APIError::validation().withHttpStatus(403), true},
        {"429", APIError::rateLimited(30).withHttpStatus(429), true},
        {"held by the rate-limit guard", APIError::refusedByRateLimit(10), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRequest booking;
        RecordingForm form(booking);
        std::vector<APIError> unknown;
        QObject::connect(&form, &AbstractWorkLogForm::bookingOutcomeUnknown,
                         [&](const APIError& error) { unknown.push_back(error); });
        form.save({});
        ASSERT_EQ(booking.started, 1);
        booking.finish(Result<Void, APIError>::failure(c.error));
        test::drainEvents();
        EXPECT_EQ(form.errorOccurred(), c.failed);
        EXPECT_EQ(unknown.size(), c.failed ? 0u : 1u);
        EXPECT_FALSE(form.networkRequestInProgress());
        ASSERT_TRUE(form.lastError().has_value());
        EXPECT_EQ(form.lastError()->cause(), c.error.cause());
    }
}

// The list in a record holds at most 200 look-alikes: a task with exactly that many
// lists them all, one with more lists none (its bookings are judged by the clock).
TEST(AbstractWorkLogFormTest, ARecordListsUpTo200LookAlikesAndNoneBeyond) {
    for (const int count : {200, 201}) {
        SCOPED_TRACE(count);
        FakeRequest booking;
        RecordingForm form(booking);
        std::vector<WorkLogBooking> sent;
        QObject::connect(&form, &AbstractWorkLogForm::bookingSending,
                         [&](const WorkLogBooking& record) { sent.push_back(record); });
        std::vector<WorkEntry> entries;
        for (int i = 0; i < count; ++i) {
            entries.push_back(ownEntry(QString::number(i), 1800));
        }
        form.learnEntriesBefore();
        form.answerRead(Result<std::vector<WorkEntry>, APIError>::success(entries));
        test::drainEvents();
        form.save({});
        ASSERT_EQ(sent.size(), 1u);
        if (count == 200) {
            ASSERT_TRUE(sent.front().before.has_value());
            EXPECT_EQ(sent.front().before->size(), 200u);
        } else {
            EXPECT_FALSE(sent.front().before.has_value());
        }
    }
}
