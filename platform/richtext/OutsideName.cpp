#include "platform/richtext/OutsideName.h"

#include "platform/richtext/Pictographs.h"
#include "platform/richtext/ShapingCost.h"

#include <QChar>
#include <QTextBoundaryFinder>

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
// Parts a Mongolian word's final vowel from the letter before it, which takes another form.
constexpr char32_t mongolianVowelSeparator = 0x180E;

bool isJoinerOrSeparator(char32_t c) {
    return c == zeroWidthJoiner || c == zeroWidthNonJoiner || c == mongolianVowelSeparator;
}

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

bool isVirama(char32_t c) {
    return c >= 0x0300 && QChar::combiningClass(c) == 9;
}

bool sameScript(char32_t a, char32_t b) {
    return QChar::script(a) == QChar::script(b);
}

// Whether the joiner (or separator) `c` shapes the word it stands in, after `last` (the last
// character kept, a letter or a mark) whose letter is `letter`, before `following`:
// - after a virama: a conjunct or a half form before a letter of its script (Sinhala "ශ්‍රී",
//   Hindi "क्‍ष"), and a joiner after it where no letter follows (Malayalam's old-style chillu,
//   "അവന്‍", which would show its virama);
// - a joiner between a letter and the virama after it: the Bengali ra-phala ("র‍্য", a reph
//   without it) and the Marathi eyelash ra;
// - a non-joiner between letters of a joining script (Persian "می‌خواهم");
// - a joiner after a letter of a joining script before what does not join it (Persian "ه‍."
//   keeps its joining form before the full stop);
// - a joiner between pictures of an emoji sequence;
// - the Mongolian vowel separator between Mongolian letters.
// Anywhere else it joins nothing and only hides in a word ("pay" U+200D "pal").
// What is read after a joiner at its end, and what is shown after it, are one: a mark may be
// left out (one too many on its letter), so a joiner that stays for what follows it wants a
// letter or a sign after it, never a mark, unless the mark is the virama it joins to.
bool joinerShapes(char32_t c, char32_t last, char32_t letter, char32_t following) {
    const bool plain = !isJoinerOrSeparator(following) && !isCombiningMark(following);
    if (c == mongolianVowelSeparator) {
        return QChar::isLetter(last) && QChar::script(last) == QChar::Script_Mongolian &&
               QChar::isLetter(following) && QChar::script(following) == QChar::Script_Mongolian;
    }
    if (isVirama(last)) {
        return c == zeroWidthJoiner ? plain : sameScript(following, last);
    }
    if (c == zeroWidthNonJoiner) {
        return isJoiningLetter(letter) && isJoiningLetter(following);
    }
    return (QChar::isLetter(last) && isVirama(following) && sameScript(following, last)) ||
           (isJoiningLetter(letter) && plain && !isJoiningLetter(following)) ||
           (isPictograph(letter) && isPictograph(following));
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

// The next code point of `units` from `i` that a name shows or that may join (a joiner), or 0 past
// `end`: what a joiner before it joins to, once what hides between them is dropped.
char32_t nextShown(const QChar* units, qsizetype i, qsizetype end) {
    for (; i < end; ++i) {
        const char32_t c = codePointAt(units, i, end);
        if (isJoinerOrSeparator(c) || !isHiddenInName(c) || isLineBreak(c)) {
            return c;
        }
        if (c > 0xFFFF) {
            ++i;
        }
    }
    return 0;
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

// Where the last whole character at or before `at` of `shown`, which `next` follows, ends: a cut
// never parts a letter from its marks, a joined picture, nor a flag's two letters. What never
// joins what is next to it (the first scripts' letters) is known without looking.
qsizetype characterEndBefore(const QString& shown, qsizetype at, char32_t next) {
    if (at <= 0 || (at >= shown.size() && next < 0x300) ||
        (at < shown.size() && shown[at].unicode() < 0x300 && shown[at - 1].unicode() < 0x300)) {
        return std::max<qsizetype>(at, 0);
    }
    QString around = shown;
    if (next != 0) {
        around += QString::fromUcs4(&next, 1);
    }
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, around);
    characters.setPosition(static_cast<int>(at));
    return characters.isAtBoundary() ? at : std::max<qsizetype>(characters.toPreviousBoundary(), 0);
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

QString plainName(const QString& text, qsizetype maxLength, qint64 maxCost, qint64 maxLoading) {
    maxLength = std::max<qsizetype>(maxLength, 1);
    // What laying it out costs, finding its fonts included; a letter of its own is left for the
    // ellipsis.
    constexpr int ellipsisCost = 1;
    ShapingCost cost(maxCost, maxLoading);
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
    // What follows where the name is cut, when it is.
    char32_t next = codePointAt(units, scanned, text.size());
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
        if (c == zeroWidthJoiner || c == zeroWidthNonJoiner || c == mongolianVowelSeparator) {
            const char32_t following = nextShown(units, i, scanned);
            if (space || isJoinerOrSeparator(last) || !joinerShapes(c, last, letter, following)) {
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
        if (plain.size() + length + (space ? 1 : 0) > maxLength || (space && !cost.keeps(u' ', false, 0)) ||
            !cost.keeps(c, false, 0)) {
            cut = true;
            next = c;
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
        if (plain.size() < maxLength && cost.spent() + ellipsisCost <= maxCost) {
            fits = plain.size();
        }
    }
    if (cut) {
        // A first character longer than the whole bound has no end to cut at: its start shows
        // (the letter with the marks kept, the first of the joined pictures), not the ellipsis
        // alone, which would leave a row, a title or a sentence with nothing of the name.
        const qsizetype whole = characterEndBefore(plain, fits, next);
        fits = whole > 0 ? whole : fits;
        plain.truncate(fits);
        // A joiner joins nothing before the ellipsis.
        while (!plain.isEmpty() && isJoinerOrSeparator(plain.back().unicode())) {
            plain.chop(1);
        }
        plain.append(QChar(0x2026));
    }
    return plain;
}

QString isolatedName(const QString& plain) {
    for (qsizetype i = 0; i < plain.size(); ++i) {
        const char32_t c = codePointAt(plain.constData(), i, plain.size());
        const QChar::Direction direction = QChar::direction(c);
        if (direction == QChar::DirR || direction == QChar::DirAL || direction == QChar::DirAN) {
            return QChar(0x2068) + plain + QChar(0x2069);
        }
        if (c > 0xFFFF) {
            ++i;
        }
    }
    return plain;
}

QString quotedName(const QString& text, qsizetype maxLength) {
    return isolatedName(plainName(text, maxLength));
}

} // namespace velmora
