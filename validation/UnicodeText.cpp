#include "validation/UnicodeText.h"

#include <QTextBoundaryFinder>

namespace velmora::text {

namespace {
bool isCharacterBoundary(const QString& value, qsizetype position) {
    if (position <= 0 || position >= value.size()) {
        return true;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, value);
    finder.setPosition(position);
    return finder.isAtBoundary();
}
} // namespace

bool isWhitespace(QChar c) {
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString trimWhitespace(const QString& value) {
    qsizetype begin = 0;
    qsizetype end = value.size();
    while (begin < end && isWhitespace(value.at(begin))) {
        ++begin;
    }
    while (end > begin && isWhitespace(value.at(end - 1))) {
        --end;
    }
    return value.mid(begin, end - begin);
}

qsizetype characterCount(const QString& value) {
    if (value.isEmpty()) {
        return 0;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, value);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1) {
        ++count;
    }
    return count;
}

bool canonicallyEqual(const QString& a, const QString& b) {
    return a == b || a.normalized(QString::NormalizationForm_D) == b.normalized(QString::NormalizationForm_D);
}

bool hasPrefix(const QString& value, const QString& part) {
    if (part.isEmpty()) {
        return true;
    }
    const QString v = value.normalized(QString::NormalizationForm_C);
    const QString p = part.normalized(QString::NormalizationForm_C);
    return v.startsWith(p) && isCharacterBoundary(v, p.size());
}

bool hasSuffix(const QString& value, const QString& part) {
    if (part.isEmpty()) {
        return true;
    }
    const QString v = value.normalized(QString::NormalizationForm_C);
    const QString s = part.normalized(QString::NormalizationForm_C);
    return v.endsWith(s) && isCharacterBoundary(v, v.size() - s.size());
}

} // namespace velmora::text
