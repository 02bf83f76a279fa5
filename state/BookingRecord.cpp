#include "state/BookingRecord.h"

#include "core/time/AbstractWorkLogForm.h"
#include "platform/plist/PropertyList.h"
#include "state/SnapshotCoding.h"

#include <QTimeZone>
#include <QVariantList>
#include <QVariantMap>

#include <array>
#include <cmath>
#include <utility>

namespace velmora {

// Not anonymous: the library is built as one unit, beside other files of stored forms.
namespace bookingcoding {

const QString kBookingTask = QStringLiteral("task");
const QString kBookingStarted = QStringLiteral("started");
const QString kBookingStartedMs = QStringLiteral("startedMs");
const QString kBookingSeconds = QStringLiteral("seconds");
const QString kBookingDescription = QStringLiteral("description");
const QString kBookingDating = QStringLiteral("dating");
const QString kBookingSent = QStringLiteral("sent");
const QString kBookingSentMs = QStringLiteral("sentMs");
const QString kBookingTrackerClock = QStringLiteral("trackerClock");
const QString kBookingBefore = QStringLiteral("before");
const QString kClockLeast = QStringLiteral("least");
const QString kClockMost = QStringLiteral("most");
const QString kDatingExact = QStringLiteral("exact");
const QString kDatingDay = QStringLiteral("day");

const QString kId = QStringLiteral("id");
const QString kAccount = QStringLiteral("account");
const QString kTracker = QStringLiteral("tracker");
const QString kProject = QStringLiteral("project");
const QString kTask = QStringLiteral("task");
const QString kBooking = QStringLiteral("booking");
const QString kSource = QStringLiteral("source");
const QString kState = QStringLiteral("state");
const QString kEnding = QStringLiteral("ending");
const QString kEntryId = QStringLiteral("entryId");
const QString kSavedLater = QStringLiteral("savedLater");
const QString kQuestion = QStringLiteral("question");
const QString kLeft = QStringLiteral("left");
const QString kWindowEnd = QStringLiteral("windowEnd");
const QString kWindowEndWall = QStringLiteral("windowEndWall");
const QString kUnseen = QStringLiteral("unseen");
const QString kAnswerOfAnother = QStringLiteral("answerOfAnother");
const QString kStopped = QStringLiteral("stoppedWhileLeaving");
const QString kLookUp = QStringLiteral("lookUp");
const QString kLookUpError = QStringLiteral("lookUpError");
const QString kLookUpFailures = QStringLiteral("lookUpFailures");
const QString kLookedUpAt = QStringLiteral("lookedUpAt");
const QString kNextLookUp = QStringLiteral("nextLookUp");
const QString kRival = QStringLiteral("rival");
const QString kDamaged = QStringLiteral("damaged");
const QString kBoot = QStringLiteral("boot");
const QString kMsecs = QStringLiteral("msecs");
const QString kAged = QStringLiteral("aged");
const QString kSince = QStringLiteral("since");

using SnapshotCoding::isNumber;

// A whole number within `limit` either side of zero: what a file may hold is never
// trusted to fit.
std::optional<qint64> wholeNumber(const QVariant& value, double limit = 1e15) {
    if (!isNumber(value) || !std::isfinite(value.toDouble()) || std::abs(value.toDouble()) > limit) {
        return std::nullopt;
    }
    return static_cast<qint64>(value.toDouble());
}

std::optional<QString> text(const QVariant& value) {
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

QVariant moment(const QDateTime& time) {
    return time.toMSecsSinceEpoch();
}

std::optional<QDateTime> momentFrom(const QVariant& value) {
    const auto ms = wholeNumber(value);
    if (!ms) {
        return std::nullopt;
    }
    return QDateTime::fromMSecsSinceEpoch(*ms);
}

QVariant bootTime(const BootTime& time) {
    return QVariantMap{{kBoot, QString::fromLatin1(time.boot)}, {kMsecs, time.msecs}};
}

BootTime bootTimeFrom(const QVariant& value) {
    const QVariantMap map = value.toMap();
    const auto boot = text(map.value(kBoot));
    const auto msecs = wholeNumber(map.value(kMsecs));
    // An unreadable one belongs to no boot: never compared, the wall clock decides.
    if (!boot || !msecs || boot->size() > 64) {
        return BootTime{};
    }
    return BootTime{boot->toLatin1(), *msecs};
}

// Errors keep what the texts tell the user: the kind, the cause, the status, the host
// and whether anything was sent.
QVariant errorToSnapshot(const APIError& error) {
    QVariantMap map{{QStringLiteral("kind"), static_cast<int>(error.kind())},
                    {QStringLiteral("cause"), static_cast<int>(error.cause())},
                    {QStringLiteral("status"), error.httpStatus()},
                    {QStringLiteral("host"), error.host()},
                    {QStringLiteral("neverSent"), error.neverSent()}};
    if (error.retryAfter()) {
        map.insert(QStringLiteral("retryAfter"), static_cast<qint64>(*error.retryAfter()));
    }
    return map;
}

std::optional<APIError> errorFrom(const QVariant& value) {
    if (value.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap map = value.toMap();
    const auto kind = wholeNumber(map.value(QStringLiteral("kind")), 16);
    const auto cause = wholeNumber(map.value(QStringLiteral("cause")), 16);
    const auto status = wholeNumber(map.value(QStringLiteral("status")), 1000);
    if (!kind || !cause || !status || *kind < 0 || *cause < 0 ||
        *cause > static_cast<int>(APIError::Cause::Unreadable)) {
        return std::nullopt;
    }
    APIError error;
    switch (static_cast<APIError::Kind>(*kind)) {
    case APIError::Kind::RateLimited:
        error = APIError::rateLimited(wholeNumber(map.value(QStringLiteral("retryAfter")), 1e12));
        break;
    case APIError::Kind::Unauthorized:
        error = APIError::unauthorized();
        break;
    case APIError::Kind::Validation:
        error = APIError::validation();
        break;
    case APIError::Kind::PaymentRequired:
        error = APIError::paymentRequired();
        break;
    case APIError::Kind::NoMorePages:
        error = APIError::noMorePages();
        break;
    case APIError::Kind::Unknown:
        error = APIError::failure(static_cast<APIError::Cause>(*cause), static_cast<int>(*status));
        break;
    default:
        return std::nullopt;
    }
    error = error.withHttpStatus(static_cast<int>(*status))
                .withHost(text(map.value(QStringLiteral("host"))).value_or(QString()).left(255));
    if (map.value(QStringLiteral("neverSent")).toBool()) {
        error = error.asNeverSent();
    }
    return error;
}

QVariant entryToSnapshot(const WorkEntry& entry) {
    QVariantMap map{{QStringLiteral("id"), entry.id},
                    {QStringLiteral("seconds"), entry.spentTimeSeconds},
                    {QStringLiteral("started"), moment(entry.started)},
                    {QStringLiteral("startedOffset"), entry.started.offsetFromUtc()}};
    if (entry.created) {
        map.insert(QStringLiteral("created"), moment(*entry.created));
    }
    if (entry.description) {
        map.insert(QStringLiteral("description"), *entry.description);
    }
    return map;
}

std::optional<WorkEntry> entryFrom(const QVariant& value, const QString& taskId) {
    const QVariantMap map = value.toMap();
    const auto id = text(map.value(QStringLiteral("id")));
    const auto started = momentFrom(map.value(QStringLiteral("started")));
    const QVariant seconds = map.value(QStringLiteral("seconds"));
    const auto offset = wholeNumber(map.value(QStringLiteral("startedOffset")), 18 * 3600);
    if (!id || !started || !isNumber(seconds) || !std::isfinite(seconds.toDouble())) {
        return std::nullopt;
    }
    WorkEntry entry;
    entry.id = id->left(1000);
    entry.issue.id = taskId;
    entry.spentTimeSeconds = seconds.toDouble();
    entry.started = started->toOffsetFromUtc(static_cast<int>(offset.value_or(0)));
    entry.created = momentFrom(map.value(QStringLiteral("created")));
    entry.description = text(map.value(QStringLiteral("description")));
    return entry;
}

template <typename E, std::size_t N>
std::optional<E> named(const QVariant& value, const std::array<std::pair<E, const char*>, N>& names) {
    const auto stored = text(value);
    if (!stored) {
        return std::nullopt;
    }
    for (const auto& [item, name] : names) {
        if (*stored == QLatin1String(name)) {
            return item;
        }
    }
    return std::nullopt;
}

template <typename E, std::size_t N>
QString nameOf(E value, const std::array<std::pair<E, const char*>, N>& names) {
    for (const auto& [item, name] : names) {
        if (item == value) {
            return QString::fromLatin1(name);
        }
    }
    return {};
}

using State = BookingRecord::State;
using Ending = BookingRecord::Ending;
using Source = BookingRecord::Source;
using LookUp = BookingRecord::LookUp;

constexpr std::array<std::pair<State, const char*>, 7> kStates{{{State::leaving, "leaving"},
                                                                {State::unknown, "unknown"},
                                                                {State::asked, "asked"},
                                                                {State::saved, "saved"},
                                                                {State::notSaved, "notSaved"},
                                                                {State::returned, "returned"},
                                                                {State::discarded, "discarded"}}};
constexpr std::array<std::pair<Ending, const char*>, 6> kEndings{{{Ending::refused, "refused"},
                                                                  {Ending::notListed, "notListed"},
                                                                  {Ending::notLearnt, "notLearnt"},
                                                                  {Ending::keptByUser, "keptByUser"},
                                                                  {Ending::bookAgain, "bookAgain"},
                                                                  {Ending::accountGone, "accountGone"}}};
constexpr std::array<std::pair<Source, const char*>, 2> kSources{
    {{Source::timer, "timer"}, {Source::manual, "manual"}}};
constexpr std::array<std::pair<LookUp, const char*>, 3> kLookUps{
    {{LookUp::none, "none"}, {LookUp::nothingListed, "nothingListed"}, {LookUp::failed, "failed"}}};

} // namespace bookingcoding

QVariant BookingRecord::encodeBooking(const WorkLogBooking& booking) {
    QVariantMap record{{bookingcoding::kBookingTask, booking.taskId},
                       {bookingcoding::kBookingStarted, booking.started},
                       {bookingcoding::kBookingSeconds, booking.seconds},
                       {bookingcoding::kBookingDescription, booking.description}};
    // The date form keeps whole seconds only (older versions read it); where the tracker keeps
    // the start to the millisecond, two bookings a second apart are told apart by it.
    if (booking.started.isValid()) {
        record.insert(bookingcoding::kBookingStartedMs, booking.started.toMSecsSinceEpoch());
    }
    if (booking.dating) {
        record.insert(bookingcoding::kBookingDating, *booking.dating == WorkLogBooking::Dating::day
                                                         ? bookingcoding::kDatingDay
                                                         : bookingcoding::kDatingExact);
    }
    if (booking.sent) {
        // The date form keeps whole seconds only (older versions read it); the
        // milliseconds decide which side of the bookingcoding::moment an entry lies on.
        record.insert(bookingcoding::kBookingSent, *booking.sent);
        if (!booking.sentToTheSecond) {
            record.insert(bookingcoding::kBookingSentMs, booking.sent->toMSecsSinceEpoch());
        }
    }
    if (booking.trackerClock) {
        record.insert(bookingcoding::kBookingTrackerClock,
                      QVariantMap{{bookingcoding::kClockLeast, booking.trackerClock->least},
                                  {bookingcoding::kClockMost, booking.trackerClock->most}});
    }
    if (booking.before) {
        QVariantList ids;
        for (const QString& id : *booking.before) {
            ids.append(id);
        }
        record.insert(bookingcoding::kBookingBefore, ids);
    }
    return record;
}

std::optional<WorkLogBooking> BookingRecord::decodeBooking(const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    const QVariant task = map.value(bookingcoding::kBookingTask);
    const QVariant started = map.value(bookingcoding::kBookingStarted);
    const QVariant seconds = map.value(bookingcoding::kBookingSeconds);
    const QVariant description = map.value(bookingcoding::kBookingDescription);
    if (task.typeId() != QMetaType::QString || started.typeId() != QMetaType::QDateTime ||
        !started.toDateTime().isValid() || !bookingcoding::isNumber(seconds) ||
        !std::isfinite(seconds.toDouble()) || std::abs(seconds.toDouble()) > 1e12 ||
        description.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    WorkLogBooking booking{task.toString(), started.toDateTime(), static_cast<qint64>(seconds.toDouble()),
                           description.toString()};
    // The milliseconds, where they were kept and agree with the date (a file that says two
    // things of one start is read by its date).
    if (const auto startedMs = bookingcoding::wholeNumber(map.value(bookingcoding::kBookingStartedMs))) {
        const QDateTime exact = QDateTime::fromMSecsSinceEpoch(*startedMs, booking.started.timeZone());
        if (exact.isValid() && std::abs(booking.started.msecsTo(exact)) < 1000) {
            booking.started = exact;
        }
    }
    // Later additions: a record without them (or with a value that does not read) is
    // judged with less to go on, never dropped.
    const QVariant dating = map.value(bookingcoding::kBookingDating);
    if (dating.typeId() == QMetaType::QString && dating.toString() == bookingcoding::kDatingExact) {
        booking.dating = WorkLogBooking::Dating::exact;
    } else if (dating.typeId() == QMetaType::QString && dating.toString() == bookingcoding::kDatingDay) {
        booking.dating = WorkLogBooking::Dating::day;
    }
    const QVariant sent = map.value(bookingcoding::kBookingSent);
    if (const auto sentMs = bookingcoding::wholeNumber(map.value(bookingcoding::kBookingSentMs))) {
        booking.sent = QDateTime::fromMSecsSinceEpoch(*sentMs);
    } else if (sent.typeId() == QMetaType::QDateTime && sent.toDateTime().isValid()) {
        booking.sent = sent.toDateTime();
        booking.sentToTheSecond = true;
    }
    // Without it (or unreadable) the tracker's clock is unknown: the check then asks
    // rather than trusting a creation time.
    const QVariantMap clock = map.value(bookingcoding::kBookingTrackerClock).toMap();
    const auto least = bookingcoding::wholeNumber(clock.value(bookingcoding::kClockLeast), 1e12);
    const auto most = bookingcoding::wholeNumber(clock.value(bookingcoding::kClockMost), 1e12);
    if (least && most && *least <= *most) {
        booking.trackerClock = ClockOffset{*least, *most};
    }
    // The entries there before it left. Only a list of ids that reads whole counts: a
    // list partly read would make a listed look-alike seem new.
    const QVariant before = map.value(bookingcoding::kBookingBefore);
    if (before.typeId() == QMetaType::QVariantList || before.typeId() == QMetaType::QStringList) {
        const QVariantList ids = before.toList();
        std::vector<QString> listed;
        bool whole = ids.size() <= qsizetype(AbstractWorkLogForm::entriesBeforeKept);
        for (qsizetype i = 0; whole && i < ids.size(); ++i) {
            whole = ids.at(i).typeId() == QMetaType::QString;
            listed.push_back(ids.at(i).toString());
        }
        if (whole) {
            booking.before = std::move(listed);
        }
    }
    return booking;
}

QVariant BookingRecord::toSnapshot() const {
    QVariantMap map{
        {bookingcoding::kId, id.toString(QUuid::WithoutBraces)},
        {bookingcoding::kAccount, account},
        {bookingcoding::kTracker, tracker},
        {bookingcoding::kProject, project ? SnapshotCoding::encode(*project) : PropertyList::null()},
        {bookingcoding::kTask, SnapshotCoding::encode(task)},
        {bookingcoding::kBooking, encodeBooking(booking)},
        {bookingcoding::kSource, bookingcoding::nameOf(source, bookingcoding::kSources)},
        {bookingcoding::kState, bookingcoding::nameOf(state, bookingcoding::kStates)},
        {bookingcoding::kSavedLater, savedLater},
        {bookingcoding::kLeft, bookingcoding::bootTime(left)},
        {bookingcoding::kWindowEnd, bookingcoding::bootTime(windowEnd)},
        {bookingcoding::kStopped, stoppedWhileLeaving},
        {bookingcoding::kLookUp, bookingcoding::nameOf(lookUp, bookingcoding::kLookUps)},
        {bookingcoding::kLookUpFailures, lookUpFailures}};
    if (ending) {
        map.insert(bookingcoding::kEnding, bookingcoding::nameOf(*ending, bookingcoding::kEndings));
    }
    if (entryId) {
        map.insert(bookingcoding::kEntryId, *entryId);
    }
    if (question) {
        map.insert(bookingcoding::kQuestion, bookingcoding::entryToSnapshot(*question));
    }
    if (rival) {
        map.insert(bookingcoding::kRival, rival->toString(QUuid::WithoutBraces));
    }
    if (damaged) {
        map.insert(bookingcoding::kDamaged, true);
    }
    if (windowEndWall.isValid()) {
        map.insert(bookingcoding::kWindowEndWall, bookingcoding::moment(windowEndWall));
    }
    if (unseen) {
        map.insert(bookingcoding::kUnseen, bookingcoding::errorToSnapshot(*unseen));
    }
    if (answerOfAnother) {
        map.insert(bookingcoding::kAnswerOfAnother, *answerOfAnother);
    }
    if (lookUpError) {
        map.insert(bookingcoding::kLookUpError, bookingcoding::errorToSnapshot(*lookUpError));
    }
    if (lookedUpAt) {
        map.insert(bookingcoding::kLookedUpAt, bookingcoding::moment(*lookedUpAt));
    }
    if (nextLookUpWall) {
        map.insert(bookingcoding::kNextLookUp, bookingcoding::moment(*nextLookUpWall));
    }
    return map;
}

Result<BookingRecord, QString> BookingRecord::decode(const QVariant& stored) {
    using Decoded = Result<BookingRecord, QString>;
    if (stored.typeId() != QMetaType::QVariantMap) {
        return Decoded::failure(QStringLiteral("A booking record must be a dictionary."));
    }
    const QVariantMap map = stored.toMap();
    BookingRecord record;
    record.id = QUuid::fromString(bookingcoding::text(map.value(bookingcoding::kId)).value_or(QString()));
    const auto account = bookingcoding::text(map.value(bookingcoding::kAccount));
    const auto booking = decodeBooking(map.value(bookingcoding::kBooking));
    const auto state = bookingcoding::named(map.value(bookingcoding::kState), bookingcoding::kStates);
    const auto source = bookingcoding::named(map.value(bookingcoding::kSource), bookingcoding::kSources);
    if (record.id.isNull() || !account || !booking || !state || !source) {
        return Decoded::failure(
            QStringLiteral("A booking record needs its id, account, booking, source and state."));
    }
    auto task = SnapshotCoding::decode<Issue>(map.value(bookingcoding::kTask));
    if (!task.ok()) {
        return Decoded::failure(task.error());
    }
    if (const QVariant& project = map.value(bookingcoding::kProject); !PropertyList::isNull(project)) {
        auto decoded = SnapshotCoding::decode<Project>(project);
        if (!decoded.ok()) {
            return Decoded::failure(decoded.error());
        }
        record.project = std::move(decoded).value();
    }
    record.account = account->left(64);
    record.tracker = bookingcoding::text(map.value(bookingcoding::kTracker)).value_or(QString()).left(40);
    record.task = std::move(task).value();
    record.booking = *booking;
    record.source = *source;
    record.state = *state;
    record.ending = bookingcoding::named(map.value(bookingcoding::kEnding), bookingcoding::kEndings);
    record.entryId = bookingcoding::text(map.value(bookingcoding::kEntryId));
    record.savedLater = map.value(bookingcoding::kSavedLater).toBool();
    if (map.contains(bookingcoding::kQuestion)) {
        record.question =
            bookingcoding::entryFrom(map.value(bookingcoding::kQuestion), record.booking.taskId);
    }
    if (const auto rival = bookingcoding::text(map.value(bookingcoding::kRival))) {
        if (const QUuid other = QUuid::fromString(*rival); !other.isNull()) {
            record.rival = other;
        }
    }
    record.damaged = map.value(bookingcoding::kDamaged).toBool();
    record.left = bookingcoding::bootTimeFrom(map.value(bookingcoding::kLeft));
    record.windowEnd = bookingcoding::bootTimeFrom(map.value(bookingcoding::kWindowEnd));
    record.windowEndWall =
        bookingcoding::momentFrom(map.value(bookingcoding::kWindowEndWall)).value_or(QDateTime());
    record.unseen = bookingcoding::errorFrom(map.value(bookingcoding::kUnseen));
    if (const auto named = bookingcoding::text(map.value(bookingcoding::kAnswerOfAnother))) {
        record.answerOfAnother = named->left(1000);
    }
    record.stoppedWhileLeaving = map.value(bookingcoding::kStopped).toBool();
    record.lookUp = bookingcoding::named(map.value(bookingcoding::kLookUp), bookingcoding::kLookUps)
                        .value_or(LookUp::none);
    record.lookUpError = bookingcoding::errorFrom(map.value(bookingcoding::kLookUpError));
    record.lookUpFailures = static_cast<int>(std::clamp<qint64>(
        bookingcoding::wholeNumber(map.value(bookingcoding::kLookUpFailures), 1e6).value_or(0), 0, 1000));
    record.lookedUpAt = bookingcoding::momentFrom(map.value(bookingcoding::kLookedUpAt));
    record.nextLookUpWall = bookingcoding::momentFrom(map.value(bookingcoding::kNextLookUp));
    // A question whose entry does not read cannot be asked: the tracker is asked again.
    if (record.state == State::asked && !record.question) {
        record.state = State::unknown;
    }
    return Decoded::success(std::move(record));
}

std::optional<BookingRecord::State> BookingRecord::storedState(const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    return bookingcoding::named(stored.toMap().value(bookingcoding::kState), bookingcoding::kStates);
}

bool BookingRecord::storedAsSettled(const QVariant& stored) {
    const auto state = storedState(stored);
    return state && (*state == State::saved || *state == State::notSaved || *state == State::discarded);
}

bool BookingRecord::storedAsOpen(const QVariant& stored) {
    const auto state = storedState(stored);
    return state && (*state == State::leaving || *state == State::unknown || *state == State::asked);
}

std::optional<BookingRecord> BookingRecord::salvage(const QVariant& stored, const QString& key) {
    if (stored.typeId() != QMetaType::QVariantMap || storedAsSettled(stored)) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    BookingRecord record;
    record.id = QUuid::fromString(key);
    if (record.id.isNull()) {
        record.id = QUuid::createUuid();
    }
    record.damaged = true;
    record.state = State::returned;
    record.account = bookingcoding::text(map.value(bookingcoding::kAccount)).value_or(QString()).left(64);
    record.tracker = bookingcoding::text(map.value(bookingcoding::kTracker)).value_or(QString()).left(40);
    if (auto task = SnapshotCoding::decode<Issue>(map.value(bookingcoding::kTask)); task.ok()) {
        record.task = std::move(task).value();
    }
    if (auto project = SnapshotCoding::decode<Project>(map.value(bookingcoding::kProject)); project.ok()) {
        record.project = std::move(project).value();
    }
    record.source = bookingcoding::named(map.value(bookingcoding::kSource), bookingcoding::kSources)
                        .value_or(Source::manual);
    if (const auto booking = decodeBooking(map.value(bookingcoding::kBooking))) {
        record.booking = *booking;
    } else {
        // What of the booking reads, one field at a time.
        const QVariantMap sent = map.value(bookingcoding::kBooking).toMap();
        record.booking.taskId =
            bookingcoding::text(sent.value(bookingcoding::kBookingTask)).value_or(QString());
        const QVariant seconds = sent.value(bookingcoding::kBookingSeconds);
        if (bookingcoding::isNumber(seconds) && std::isfinite(seconds.toDouble()) && seconds.toDouble() > 0 &&
            seconds.toDouble() < 1e9) {
            record.booking.seconds = static_cast<qint64>(seconds.toDouble());
        }
        record.booking.description =
            bookingcoding::text(sent.value(bookingcoding::kBookingDescription)).value_or(QString());
        const QVariant started = sent.value(bookingcoding::kBookingStarted);
        if (started.typeId() == QMetaType::QDateTime && started.toDateTime().isValid()) {
            record.booking.started = started.toDateTime();
        } else {
            // Every stored record needs a start that can be written again; none is known.
            record.booking.started = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
        }
    }
    if (record.task.id.isEmpty()) {
        record.task.id = record.booking.taskId;
    }
    if (record.booking.taskId.isEmpty()) {
        record.booking.taskId = record.task.id;
    }
    // A task that does not read cannot be booked on: the project goes too, so the time is
    // booked on a task the user picks, or discarded.
    if (record.task.id.isEmpty()) {
        record.project.reset();
    }
    if (record.booking.seconds <= 0) {
        // Nothing it held can be read: the user is told of it, and nothing waits.
        record.state = State::notSaved;
    }
    return record;
}

QVariant BookingClaim::toSnapshot() const {
    return QVariantMap{{bookingcoding::kTracker, tracker},
                       {bookingcoding::kAccount, account},
                       {bookingcoding::kEntryId, entryId},
                       {bookingcoding::kTask, taskId},
                       {bookingcoding::kBookingStarted, bookingcoding::moment(started)},
                       {bookingcoding::kBookingSeconds, seconds},
                       {bookingcoding::kAged, agedBefore},
                       {bookingcoding::kSince, bookingcoding::bootTime(since)}};
}

std::optional<BookingClaim> BookingClaim::fromSnapshot(const QString& key, const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    BookingClaim claim;
    claim.record = QUuid::fromString(key);
    const auto tracker = bookingcoding::text(map.value(bookingcoding::kTracker));
    const auto account = bookingcoding::text(map.value(bookingcoding::kAccount));
    const auto entry = bookingcoding::text(map.value(bookingcoding::kEntryId));
    const auto task = bookingcoding::text(map.value(bookingcoding::kTask));
    const auto started = bookingcoding::momentFrom(map.value(bookingcoding::kBookingStarted));
    const auto seconds = bookingcoding::wholeNumber(map.value(bookingcoding::kBookingSeconds), 1e12);
    if (claim.record.isNull() || !tracker || !account || !entry || entry->isEmpty() || !task || !started ||
        !started->isValid() || !seconds) {
        return std::nullopt;
    }
    claim.tracker = tracker->left(40);
    claim.account = account->left(64);
    claim.entryId = entry->left(1000);
    claim.taskId = task->left(1000);
    claim.started = *started;
    claim.seconds = *seconds;
    // Claims of earlier versions say nothing of their age: it counts from this start.
    claim.agedBefore = std::max<qint64>(0, bookingcoding::wholeNumber(map.value(bookingcoding::kAged)).value_or(0));
    claim.since = bookingcoding::bootTimeFrom(map.value(bookingcoding::kSince));
    return claim;
}

std::optional<BookingClaim> BookingClaim::salvage(const QString& key, const QVariant& stored) {
    BookingClaim claim;
    claim.record = QUuid::fromString(key);
    if (claim.record.isNull()) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    const auto textOf = [&map](const QString& name, qsizetype most) {
        return bookingcoding::text(map.value(name)).value_or(QString()).left(most);
    };
    // What does not read matches whatever it is compared with: a claim of any tracker or
    // account, on any task, of any entry there (then the task's look-alikes are asked about).
    claim.tracker = textOf(bookingcoding::kTracker, 40);
    claim.account = textOf(bookingcoding::kAccount, 64);
    claim.entryId = textOf(bookingcoding::kEntryId, 1000);
    claim.taskId = textOf(bookingcoding::kTask, 1000);
    claim.started = bookingcoding::momentFrom(map.value(bookingcoding::kBookingStarted)).value_or(QDateTime());
    claim.seconds = bookingcoding::wholeNumber(map.value(bookingcoding::kBookingSeconds), 1e12).value_or(-1);
    claim.agedBefore = std::max<qint64>(0, bookingcoding::wholeNumber(map.value(bookingcoding::kAged)).value_or(0));
    claim.since = bookingcoding::bootTimeFrom(map.value(bookingcoding::kSince));
    claim.damaged = true;
    return claim;
}

} // namespace velmora
