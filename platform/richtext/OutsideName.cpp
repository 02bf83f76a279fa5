#include "platform/richtext/OutsideName.h"

#include <algorithm>

namespace velmora {

namespace {

bool isLineBreak(char32_t c) {
    // Tabs too: a name has no columns to line up.
    return c == u'\t' || c == u'\n' || c == 0x0B || c == 0x0C || c == u'\r' || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

// Characters a name never shows: controls, whatever takes no room (it changes what is
// around it or hides that it is there: joiners, direction marks, bidirectional controls,
// fillers, code points Qt knows nothing of), the grapheme joiner (a mark that draws nothing),
// and halves of surrogate pairs that stand alone.
bool isHidden(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        return true;
    }
    if (c < 0xA0) {
        return false;
    }
    return c == 0x034F || (c >= 0xD800 && c <= 0xDFFF) || takesNoRoom(c);
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
    LetterMarks letters(plainMarksPerLetter);
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
            letters.startLetter();
            continue;
        }
        if (isHidden(c)) {
            continue;
        }
        if (!letters.keeps(c)) {
            continue;
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

} // namespace velmora
