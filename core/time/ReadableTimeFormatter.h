#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace velmora {

// Short readable text of a duration in weeks, days, hours and minutes ("1w 2d 3h 4m"),
// and back. Used for the spent time of tasks, day totals and the booking duration.
class ReadableTimeFormatter {
public:
    static constexpr qint64 secondsPerWeek = 604800;
    static constexpr qint64 secondsPerDay = 86400;
    static constexpr qint64 secondsPerHour = 3600;
    static constexpr qint64 secondsPerMinute = 60;

    // The smallest part a text shows.
    enum class Smallest { minutes, seconds };

    // Parts whose count is zero are left out and what is below the smallest part is
    // dropped (never rounded up), so less than a minute (a second with
    // Smallest::seconds, which adds "30s"), a negative duration and a duration that is
    // not finite or too large for 64-bit seconds give no text; callers show their own
    // default then. parse() reads no seconds: texts with them are for showing only.
    static std::optional<QString> format(double seconds, Smallest smallest = Smallest::minutes);

    // Reads groups of ASCII digits each followed by one unit letter "w", "d", "h" or
    // "m", separated by exactly one space, in any order, each unit at most once.
    // Nothing else is understood: no other letters or upper case, no fractions, no
    // blanks at either end. A number too large for its unit, or a total beyond the
    // 64-bit range (as a double, the range format() takes), makes the whole text not
    // understood.
    static std::optional<double> parse(QStringView text);
};

} // namespace velmora
