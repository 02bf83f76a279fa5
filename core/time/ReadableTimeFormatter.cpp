#include "core/time/ReadableTimeFormatter.h"

#include "core/time/DurationMath.h"

#include <QRegularExpression>
#include <QStringList>

namespace velmora {

namespace {

qint64 unitSeconds(QChar letter) {
    switch (letter.unicode()) {
    case u'w':
        return ReadableTimeFormatter::secondsPerWeek;
    case u'd':
        return ReadableTimeFormatter::secondsPerDay;
    case u'h':
        return ReadableTimeFormatter::secondsPerHour;
    default:
        return ReadableTimeFormatter::secondsPerMinute;
    }
}

} // namespace

std::optional<QString> ReadableTimeFormatter::format(double seconds, Smallest smallest) {
    const auto whole = duration::wholeSeconds(seconds);
    if (!whole) {
        return std::nullopt;
    }
    const qint64 s = *whole;
    QStringList parts;
    if (s >= secondsPerWeek) {
        parts << QString::number(s / secondsPerWeek) + u'w';
    }
    if (s % secondsPerWeek >= secondsPerDay) {
        parts << QString::number((s % secondsPerWeek) / secondsPerDay) + u'd';
    }
    if (s % secondsPerDay >= secondsPerHour) {
        parts << QString::number((s % secondsPerDay) / secondsPerHour) + u'h';
    }
    if (s % secondsPerHour >= secondsPerMinute) {
        parts << QString::number((s % secondsPerHour) / secondsPerMinute) + u'm';
    }
    if (smallest == Smallest::seconds && s % secondsPerMinute > 0) {
        parts << QString::number(s % secondsPerMinute) + u's';
    }
    if (parts.isEmpty()) {
        return std::nullopt;
    }
    return parts.join(u' ');
}

std::optional<double> ReadableTimeFormatter::parse(QStringView text) {
    // The whole text, anchored at its very end (a trailing line feed does not pass),
    // with no unit letter used twice.
    static const QRegularExpression grammar(QRegularExpression::anchoredPattern(
        QStringLiteral("(?!.*([wdhm]).*\\1)[0-9]+[wdhm](?: [0-9]+[wdhm])*")));
    if (!grammar.match(text).hasMatch()) {
        return std::nullopt;
    }
    qint64 total = 0;
    for (const QStringView group : text.split(u' ')) {
        const auto count = duration::parseDigits(group.chopped(1));
        qint64 contribution = 0;
        if (!count || __builtin_mul_overflow(*count, unitSeconds(group.back()), &contribution) ||
            __builtin_add_overflow(total, contribution, &total)) {
            return std::nullopt;
        }
    }
    return duration::parsedSeconds(total);
}

} // namespace velmora
