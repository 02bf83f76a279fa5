#include "platform/updates/AppVersion.h"

#include <QStringList>

#include <algorithm>

namespace velmora {

namespace {

struct Part {
    QString number; // digits without leading zeros; empty for 0
    QString suffix;
};

Part splitPart(const QString& text) {
    qsizetype digits = 0;
    while (digits < text.size() && text.at(digits).isDigit())
        ++digits;
    QString number = text.left(digits);
    while (number.startsWith(QLatin1Char('0')))
        number.remove(0, 1);
    return {number, text.mid(digits)};
}

// Numbers of any length, without converting them (a part may be longer than an integer holds).
int compareNumbers(const QString& a, const QString& b) {
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

} // namespace

int AppVersion::compare(const QString& a, const QString& b) {
    const QStringList left = a.trimmed().split(QLatin1Char('.'));
    const QStringList right = b.trimmed().split(QLatin1Char('.'));
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const Part l = i < left.size() ? splitPart(left.at(i)) : Part{};
        const Part r = i < right.size() ? splitPart(right.at(i)) : Part{};
        if (const int byNumber = compareNumbers(l.number, r.number); byNumber != 0)
            return byNumber < 0 ? -1 : 1;
        if (l.suffix != r.suffix) {
            // A pre-release ("b1", "rc2") comes before the release itself.
            if (l.suffix.isEmpty())
                return 1;
            if (r.suffix.isEmpty())
                return -1;
            return l.suffix < r.suffix ? -1 : 1;
        }
    }
    return 0;
}

} // namespace velmora
