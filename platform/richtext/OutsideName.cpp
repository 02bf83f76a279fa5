#include "platform/richtext/OutsideName.h"

#include <algorithm>

namespace velmora {

namespace {

bool isLineBreak(char32_t c) {
    // Tabs too: a name has no columns to line up.
    return c == u'\t' || c == u'\n' || c == 0x0B || c == 0x0C || c == u'\r' || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

// The prepended concatenation marks are format characters that draw a sign of their own.
bool isVisibleFormat(char32_t c) {
    return (c >= 0x0600 && c <= 0x0605) || c == 0x06DD || c == 0x070F || c == 0x0890 || c == 0x0891 ||
           c == 0x08E2 || c == 0x110BD || c == 0x110CD;
}

// Characters a name never shows: controls, and whatever takes no room yet changes what
// is around it or hides that it is there (format characters such as zero-width spaces,
// joiners, direction marks, bidirectional controls, the soft hyphen and the tag
// characters; the grapheme joiner; the Hangul fillers, blank letters), and halves of
// surrogate pairs that stand alone.
bool isHidden(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        return true;
    }
    if (c < 0xA0) {
        return false;
    }
    if (c == 0x034F || c == 0x115F || c == 0x1160 || c == 0x3164 || c == 0xFFA0 ||
        (c >= 0xD800 && c <= 0xDFFF) || (c >= 0xE0000 && c <= 0xE007F)) {
        return true;
    }
    return isInvisibleFormat(c);
}

// Past this much of a name the rest is not looked at: a name that shows so little of
// what it holds is cut there, so that bounding costs the same for a name of 10 MB.
constexpr qsizetype scannedPerShown = 4;

} // namespace

QString plainName(const QString& text, qsizetype maxLength) {
    maxLength = std::max<qsizetype>(maxLength, 1);
    const qsizetype scanned = std::min(text.size(), maxLength * scannedPerShown);
    const QChar* units = text.constData();
    QString plain;
    plain.reserve(std::min(scanned, maxLength));
    qsizetype marks = 0;
    bool space = false;
    // The length up to the last whole character that leaves room for the ellipsis.
    qsizetype fits = 0;
    bool cut = scanned < text.size();
    for (qsizetype i = 0; i < scanned;) {
        char32_t c = units[i].unicode();
        qsizetype length = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && units[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(units[i], units[i + 1]);
            length = 2;
        }
        i += length;
        if (isLineBreak(c)) {
            // A run of breaks is one space; none before the first word or after the last.
            space = !plain.isEmpty();
            marks = 0;
            continue;
        }
        if (isHidden(c)) {
            continue;
        }
        if (isCombiningMark(c)) {
            if (marks == plainMarksPerLetter) {
                continue;
            }
            ++marks;
        } else {
            marks = 0;
        }
        if (plain.size() + length + (space ? 1 : 0) > maxLength) {
            cut = true;
            break;
        }
        if (space) {
            plain.append(u' ');
            space = false;
        }
        plain.append(QStringView(units + i - length, length));
        if (plain.size() < maxLength) {
            fits = plain.size();
        }
    }
    if (cut) {
        plain.truncate(fits);
        plain.append(QChar(0x2026));
    }
    return plain;
}

bool isInvisibleFormat(char32_t c) {
    // The soft hyphen is the first format character.
    return c >= 0x00AD && QChar::category(c) == QChar::Other_Format && !isVisibleFormat(c);
}

bool isCombiningMark(char32_t c) {
    if (c < 0x0300) {
        return false; // the first combining marks start there
    }
    const QChar::Category category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}

} // namespace velmora
