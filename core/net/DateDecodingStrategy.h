#pragma once

#include <QDateTime>

#include <optional>
#include <string_view>

namespace velmora {

// How the wire records of one tracker write points in time.
enum class DateDecodingStrategy {
    // A JSON number of seconds since 1970-01-01 UTC, fractions allowed.
    SecondsSince1970,
    // Text such as "2024-05-01T10:00:00.000Z": ISO 8601 date and time with fractional
    // seconds (required) and a zone of "Z" or "+hh:mm".
    Iso8601WithFractionalSeconds,
};

// "2024-05-01T10:00:00.123+02:00" as a UTC date and time; absent for any other shape
// (no fraction, no zone, a zone without its colon, an impossible date or time).
// Fractions finer than a millisecond are cut off.
std::optional<QDateTime> parseIso8601WithFractionalSeconds(std::string_view text);

// Seconds since 1970 as a UTC date and time to the millisecond; absent when the
// number is not finite or beyond any plausible date (more than 10^13 seconds away).
std::optional<QDateTime> dateFromSecondsSince1970(double seconds);

} // namespace velmora
