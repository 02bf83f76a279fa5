#pragma once

#include <QStringView>
#include <QtGlobal>

#include <cmath>
#include <optional>

// Conversions shared by the duration formats and the duration rule. Durations come
// from user input, timers and the trackers' records, so every conversion checks its
// range first: no NaN, infinity or out-of-range number ever reaches an integer cast.
namespace velmora::duration {

// The duration truncated toward zero to whole seconds (59.9 is 59, -0.5 is 0);
// absent when the value is not finite or its whole part does not fit 64 bits.
inline std::optional<qint64> wholeSeconds(double seconds) {
    // 2^63 is exactly representable; every double below it truncates into range.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(seconds) || seconds >= limit || seconds < -limit) {
        return std::nullopt;
    }
    return static_cast<qint64>(seconds);
}

// A parsed count of seconds as the double that carries durations, or absent when that
// double has no whole seconds: counts within 512 of the 64-bit maximum round up to
// 2^63, which formatting refuses, so parsing refuses them too.
inline std::optional<double> parsedSeconds(qint64 total) {
    const auto seconds = static_cast<double>(total);
    if (!wholeSeconds(seconds)) {
        return std::nullopt;
    }
    return seconds;
}

// ASCII decimal digits only, at least one; absent when there are none, when anything
// else is in the text or when the number does not fit 64 bits.
inline std::optional<qint64> parseDigits(QStringView digits) {
    if (digits.isEmpty()) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        if (__builtin_mul_overflow(value, qint64(10), &value) ||
            __builtin_add_overflow(value, qint64(c.unicode() - u'0'), &value)) {
            return std::nullopt;
        }
    }
    return value;
}

// An optional single "+" or "-" followed by ASCII digits, nothing else (no blanks),
// within the signed 64-bit range.
inline std::optional<qint64> parseSignedInteger(QStringView text) {
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (!negative) {
        return parseDigits(text);
    }
    // Read the magnitude as a negative number so that the 64-bit minimum fits too.
    if (text.isEmpty()) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        if (__builtin_mul_overflow(value, qint64(10), &value) ||
            __builtin_sub_overflow(value, qint64(c.unicode() - u'0'), &value)) {
            return std::nullopt;
        }
    }
    return value;
}

} // namespace velmora::duration
