#include "platform/richtext/OutsideName.h"

#include <QChar>

#include <algorithm>
#include <iterator>

namespace velmora {

namespace {

bool isLineBreak(char32_t c) {
    // Tabs too: a name has no columns to line up.
    return c == u'\t' || c == u'\n' || c == 0x0B || c == 0x0C || c == u'\r' || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

// The prepended concatenation marks are format characters that draw a sign of their own.
bool isNumberSign(char32_t c) {
    return (c >= 0x0600 && c <= 0x0605) || c == 0x06DD || c == 0x070F || c == 0x0890 || c == 0x0891 ||
           c == 0x08E2 || c == 0x110BD || c == 0x110CD;
}

// The noncharacters: code points kept for a program's own use, never text.
bool isNoncharacter(char32_t c) {
    return (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}

constexpr char32_t zeroWidthNonJoiner = 0x200C;
constexpr char32_t zeroWidthJoiner = 0x200D;

// Scripts whose letters join their neighbours: a non-joiner between two of them parts them
// where the spelling wants (Persian "می‌خواهم" is another word without it).
bool isJoiningLetter(char32_t c) {
    if (!QChar::isLetter(c)) {
        return false;
    }
    switch (QChar::script(c)) {
    case QChar::Script_Arabic:
    case QChar::Script_Syriac:
    case QChar::Script_Nko:
    case QChar::Script_Mongolian:
    case QChar::Script_Mandaic:
    case QChar::Script_Manichaean:
    case QChar::Script_PsalterPahlavi:
    case QChar::Script_PhagsPa:
    case QChar::Script_Adlam:
    case QChar::Script_HanifiRohingya:
    case QChar::Script_Sogdian:
    case QChar::Script_Chorasmian:
    case QChar::Script_OldUyghur:
        return true;
    default:
        return false;
    }
}

// Extended_Pictographic of Unicode's emoji data (what emoji sequences join), reserved code
// points of the emoji blocks included, and the skin-tone modifiers a joined picture may carry.
struct NamePictographRange {
    char32_t first;
    char32_t last;
};
constexpr NamePictographRange pictographs[] = {
    {0x00A9, 0x00A9},   {0x00AE, 0x00AE},   {0x203C, 0x203C},   {0x2049, 0x2049},   {0x2122, 0x2122},
    {0x2139, 0x2139},   {0x2194, 0x2199},   {0x21A9, 0x21AA},   {0x231A, 0x231B},   {0x2328, 0x2328},
    {0x2388, 0x2388},   {0x23CF, 0x23CF},   {0x23E9, 0x23F3},   {0x23F8, 0x23FA},   {0x24C2, 0x24C2},
    {0x25AA, 0x25AB},   {0x25B6, 0x25B6},   {0x25C0, 0x25C0},   {0x25FB, 0x25FE},   {0x2600, 0x2605},
    {0x2607, 0x2612},   {0x2614, 0x2685},   {0x2690, 0x2705},   {0x2708, 0x2712},   {0x2714, 0x2714},
    {0x2716, 0x2716},   {0x271D, 0x271D},   {0x2721, 0x2721},   {0x2728, 0x2728},   {0x2733, 0x2734},
    {0x2744, 0x2744},   {0x2747, 0x2747},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2763, 0x2767},   {0x2795, 0x2797},   {0x27A1, 0x27A1},   {0x27B0, 0x27B0},
    {0x27BF, 0x27BF},   {0x2934, 0x2935},   {0x2B05, 0x2B07},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},
    {0x2B55, 0x2B55},   {0x3030, 0x3030},   {0x303D, 0x303D},   {0x3297, 0x3297},   {0x3299, 0x3299},
    {0x1F000, 0x1F0FF}, {0x1F10D, 0x1F10F}, {0x1F12F, 0x1F12F}, {0x1F16C, 0x1F171}, {0x1F17E, 0x1F17F},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F1AD, 0x1F1E5}, {0x1F201, 0x1F20F}, {0x1F21A, 0x1F21A},
    {0x1F22F, 0x1F22F}, {0x1F232, 0x1F23A}, {0x1F23C, 0x1F23F}, {0x1F249, 0x1F53D}, {0x1F546, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F774, 0x1F77F}, {0x1F7D5, 0x1F7FF}, {0x1F80C, 0x1F80F}, {0x1F848, 0x1F84F},
    {0x1F85A, 0x1F85F}, {0x1F888, 0x1F88F}, {0x1F8AE, 0x1F8FF}, {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945},
    {0x1F947, 0x1FAFF}, {0x1FC00, 0x1FFFD},
};

bool isPictograph(char32_t c) {
    const auto* after = std::upper_bound(
        std::begin(pictographs), std::end(pictographs), c,
        [](char32_t value, const NamePictographRange& range) { return value < range.first; });
    return after != std::begin(pictographs) && c <= std::prev(after)->last;
}

bool isVirama(char32_t c) {
    return c >= 0x0300 && QChar::combiningClass(c) == 9;
}

// The next whole code point of `units` from `i` (to `end`), or 0 past it.
char32_t codePointAt(const QChar* units, qsizetype i, qsizetype end) {
    if (i >= end) {
        return 0;
    }
    if (units[i].isHighSurrogate() && i + 1 < end && units[i + 1].isLowSurrogate()) {
        return QChar::surrogateToUcs4(units[i], units[i + 1]);
    }
    return units[i].unicode();
}

// The length of the tag sequence that names a region's flag at `i` (tags, then the cancel
// tag that ends them), or 0 when none stands there whole.
qsizetype flagTagsAt(const QChar* units, qsizetype i, qsizetype end) {
    for (int tags = 0; tags < LetterMarks::maxFlagTags; ++tags) {
        const char32_t c = codePointAt(units, i + 2 * tags, end);
        if (c == LetterMarks::cancelTag) {
            return tags == 0 ? 0 : 2 * (tags + 1);
        }
        if (c < LetterMarks::firstFlagTag || c >= LetterMarks::cancelTag) {
            return 0;
        }
    }
    return 0;
}

// Past this much of a name the rest is not looked at: a name that shows so little of
// what it holds is cut there, so that bounding costs the same for a name of 10 MB.
constexpr qsizetype scannedPerShown = 4;

} // namespace

bool isHiddenInName(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        return true;
    }
    if (c < 0xA0) {
        return false;
    }
    // Format characters Unicode does not make ignorable either hide or part the text around
    // them in some renderers (the interlinear annotation characters); the number signs draw.
    return c == 0x034F || (c >= 0xD800 && c <= 0xDFFF) || isNoncharacter(c) || takesNoRoom(c) ||
           (QChar::category(c) == QChar::Other_Format && !isNumberSign(c));
}

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
    // The last character kept that takes room, and the last kept of any kind: whether a
    // joiner joins anything is read from them and from what follows it.
    char32_t letter = 0;
    char32_t last = 0;
    for (qsizetype i = 0; i < scanned;) {
        char32_t c = codePointAt(units, i, scanned);
        qsizetype length = c > 0xFFFF ? 2 : 1;
        i += length;
        if (isLineBreak(c)) {
            // A run of breaks is one space; none before the first word or after the last.
            space = !plain.isEmpty();
            letters.startLetter();
            letter = last = u' ';
            continue;
        }
        if (c == zeroWidthJoiner || c == zeroWidthNonJoiner) {
            // A joiner stays where it shapes the word: after a virama (a conjunct, a half
            // form), between letters of a joining script (a non-joiner), between pictures
            // of a sequence; anywhere else it joins nothing and only hides in a word.
            const char32_t following = codePointAt(units, i, scanned);
            const bool shapes =
                !space && last != zeroWidthJoiner && last != zeroWidthNonJoiner &&
                ((isVirama(last) && QChar::script(following) == QChar::script(last)) ||
                 (c == zeroWidthNonJoiner && isJoiningLetter(letter) && isJoiningLetter(following)) ||
                 (c == zeroWidthJoiner && isPictograph(letter) && isPictograph(following)));
            if (!shapes) {
                continue;
            }
        } else if (isHiddenInName(c)) {
            continue;
        }
        if (!letters.keeps(c)) {
            continue;
        }
        if (c == LetterMarks::blackFlag) {
            // The flag of a region: the black flag and the tags naming it, whole or not at all.
            const qsizetype tags = flagTagsAt(units, i, scanned);
            length += tags;
            i += tags;
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
        last = c;
        if (!isCombiningMark(c) && !takesNoRoom(c)) {
            letter = c;
        }
        if (plain.size() < maxLength) {
            fits = plain.size();
        }
    }
    if (cut) {
        plain.truncate(fits);
        // A joiner joins nothing before the ellipsis.
        while (!plain.isEmpty() &&
               (plain.back() == QChar(zeroWidthJoiner) || plain.back() == QChar(zeroWidthNonJoiner))) {
            plain.chop(1);
        }
        plain.append(QChar(0x2026));
    }
    return plain;
}

} // namespace velmora
