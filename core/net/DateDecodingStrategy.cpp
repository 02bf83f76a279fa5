#include "core/net/DateDecodingStrategy.h"

#include <QTimeZone>

#include <cmath>

namespace velmora {

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

bool charAt(std::string_view text, std::size_t at, char expected) {
    return at < text.size() && text[at] == expected;
}

} // namespace

std::optional<QDateTime> parseIso8601WithFractionalSeconds(std::string_view text) {
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || !charAt(text, 4, '-') || !digits(text, 5, 2, month) ||
        !charAt(text, 7, '-') || !digits(text, 8, 2, day) || !charAt(text, 10, 'T') ||
        !digits(text, 11, 2, hour) || !charAt(text, 13, ':') || !digits(text, 14, 2, minute) ||
        !charAt(text, 16, ':') || !digits(text, 17, 2, second) || !charAt(text, 19, '.')) {
        return std::nullopt;
    }
    std::size_t at = 20;
    int milliseconds = 0;
    int fractionDigits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (fractionDigits < 3) {
            milliseconds = milliseconds * 10 + (text[at] - '0');
        }
        ++fractionDigits;
        ++at;
    }
    if (fractionDigits == 0 || fractionDigits > 9) {
        return std::nullopt;
    }
    for (int i = fractionDigits; i < 3; ++i) {
        milliseconds *= 10;
    }
    int offsetSeconds = 0;
    if (charAt(text, at, 'Z')) {
        ++at;
    } else if (charAt(text, at, '+') || charAt(text, at, '-')) {
        const int sign = text[at] == '-' ? -1 : 1;
        int offsetHours, offsetMinutes;
        if (!digits(text, at + 1, 2, offsetHours) || !charAt(text, at + 3, ':') ||
            !digits(text, at + 4, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    const QDate date(year, month, day);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    const QDateTime local(date, QTime(hour, minute, second, milliseconds), QTimeZone::utc());
    return local.addSecs(-offsetSeconds);
}

std::optional<QDateTime> dateFromSecondsSince1970(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e13) {
        return std::nullopt;
    }
    const auto msecs = static_cast<qint64>(std::llround(seconds * 1000.0));
    return QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc());
}

} // namespace velmora
