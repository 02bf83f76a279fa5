#include "core/time/TimeFormatter.h"

#include "core/time/DurationMath.h"

#include <QList>

namespace velmora {

std::optional<QString> TimeFormatter::format(double seconds, Style style) {
    // A negative duration would come out as "-1:-1:-1"; there is no clock text for it.
    const auto whole = seconds < 0 ? std::nullopt : duration::wholeSeconds(seconds);
    if (!whole) {
        return std::nullopt;
    }
    const long long s = *whole;
    const long long hours = s / 3600;
    if (style == Style::Long) {
        const long long minutes = (s - hours * 3600) / 60;
        const long long secs = s - (s / 60) * 60;
        return QString::asprintf("%02lld:%02lld:%02lld", hours, minutes, secs);
    }
    const long long minutes = (s / 60) - ((s / 60) / 60) * 60;
    return QString::asprintf("%02lld:%02lld", hours, minutes);
}

std::optional<double> TimeFormatter::parse(QStringView text) {
    // An empty piece still counts as a piece and is no number, so "1:" and ":30" fail.
    const QList<QStringView> pieces = text.split(u':');
    if (pieces.size() < 1 || pieces.size() > 3) {
        return std::nullopt;
    }
    qint64 numbers[3] = {0, 0, 0};
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const auto number = duration::parseSignedInteger(pieces[i]);
        if (!number) {
            return std::nullopt;
        }
        numbers[i] = *number;
    }
    const qint64 hours = numbers[0];
    const qint64 minutes = numbers[1];
    const qint64 secs = numbers[2];
    if (hours < 0 || minutes < 0 || minutes > 59 || secs < 0 || secs > 59) {
        return std::nullopt;
    }
    qint64 total = 0;
    if (__builtin_mul_overflow(hours, qint64(3600), &total) ||
        __builtin_add_overflow(total, minutes * 60 + secs, &total)) {
        return std::nullopt;
    }
    return duration::parsedSeconds(total);
}

} // namespace velmora
