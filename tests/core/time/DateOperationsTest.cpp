#include "core/time/DateOperations.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <ctime>
#include <optional>

namespace DateOperations = velmora::DateOperations;

namespace {

// Runs a test in a given user time zone and puts the old one back afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone)
        : m_saved(qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt) {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneScope() {
        if (m_saved) {
            qputenv("TZ", *m_saved);
        } else {
            qunsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<QByteArray> m_saved;
};

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

QDateTime local(int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}

} // namespace

TEST(DateOperationsTest, TimeStampIsUtcAsciiWhateverTheUserSettings) {
    ZoneScope zone("Asia/Kolkata");
    const QLocale savedLocale;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    EXPECT_EQ(DateOperations::iso8601String(utc(2001, 1, 1, 0, 0, 0)), u"2001-01-01T00:00:00.000Z");
    // A local time is given as the same instant in UTC, with its milliseconds.
    EXPECT_EQ(DateOperations::iso8601String(local(2024, 7, 1, 3, 4, 5).addMSecs(67)),
              u"2024-06-30T21:34:05.067Z");
    EXPECT_EQ(DateOperations::iso8601String(QDateTime()), u"");
    QLocale::setDefault(savedLocale);
}

TEST(DateOperationsTest, EndOfDayIsTheLastSecondOfTheLocalDay) {
    ZoneScope zone("Europe/Berlin");
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 6, 10, 8, 0, 0)), utc(2024, 6, 10, 21, 59, 59));
    // 00:30 in Berlin is still the previous day in UTC; the day is Berlin's.
    EXPECT_EQ(DateOperations::endOfDay(utc(2024, 6, 9, 22, 30, 0)), utc(2024, 6, 10, 21, 59, 59));
    // Days on which the clocks change: 23 and 25 hours long.
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 3, 31, 8, 0, 0)), utc(2024, 3, 31, 21, 59, 59));
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 10, 27, 1, 0, 0)), utc(2024, 10, 27, 22, 59, 59));
    // Milliseconds do not survive.
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 6, 10, 23, 59, 59).addMSecs(500)),
              utc(2024, 6, 10, 21, 59, 59));
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 6, 10, 8, 0, 0)).timeSpec(), Qt::LocalTime);
    EXPECT_FALSE(DateOperations::endOfDay(QDateTime()).isValid());
}

TEST(DateOperationsTest, EndOfDaySkippedByATransitionIsTheFirstMomentAfterIt) {
    // Clocks jump from 23:00 to 00:00 on the last Sunday of March: 23:59:59 never shows.
    ZoneScope zone("XST-1XDT,M3.5.0/23,M10.5.0/3");
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 3, 31, 8, 0, 0)), utc(2024, 3, 31, 22, 0, 0));
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 3, 30, 8, 0, 0)), utc(2024, 3, 30, 22, 59, 59));
}

TEST(DateOperationsTest, EndOfDayShownTwiceIsTheFirstOfTheTwo) {
    // Clocks go back from 00:30 to 23:30 of the day before: 23:59:59 shows twice.
    ZoneScope zone("XST-1XDT,M3.5.0/2,M10.5.0/24:30");
    EXPECT_EQ(DateOperations::endOfDay(local(2024, 10, 27, 8, 0, 0)), utc(2024, 10, 27, 21, 59, 59));
}

TEST(DateOperationsTest, SameDayFollowsTheLocalCalendar) {
    ZoneScope zone("Europe/Berlin");
    EXPECT_FALSE(DateOperations::isSameDay(local(2024, 10, 27, 23, 59, 59), local(2024, 10, 28, 0, 0, 0)));
    EXPECT_TRUE(DateOperations::isSameDay(local(2024, 10, 27, 0, 0, 0), local(2024, 10, 27, 23, 59, 59)));
    EXPECT_TRUE(DateOperations::isSameDay(local(2024, 3, 31, 0, 0, 0), local(2024, 3, 31, 23, 59, 59)));
    // Different days in UTC, one day in Berlin.
    EXPECT_TRUE(DateOperations::isSameDay(utc(2024, 3, 30, 23, 30, 0), utc(2024, 3, 31, 12, 0, 0)));
    EXPECT_FALSE(DateOperations::isSameDay(utc(2024, 3, 30, 22, 30, 0), utc(2024, 3, 30, 23, 30, 0)));
    // Same clock time, different years.
    EXPECT_FALSE(DateOperations::isSameDay(local(2023, 3, 31, 12, 0, 0), local(2024, 3, 31, 12, 0, 0)));
    EXPECT_TRUE(DateOperations::isSameDay(QDateTime(), QDateTime()));
    EXPECT_FALSE(DateOperations::isSameDay(QDateTime(), local(2024, 3, 31, 12, 0, 0)));
}
