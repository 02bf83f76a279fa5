#pragma once

#include "platform/richtext/LetterMarks.h"

#include <QList>
#include <QString>

#include <algorithm>
#include <utility>
#include <vector>

namespace velmora::test {

// The most combining marks that text shaping would stack on one letter of `text`: what takes
// no room between them starts no letter, so it parts none of them.
inline int mostMarksOnOneLetter(const QString& text) {
    int most = 0;
    int run = 0;
    for (const char32_t c : text.toUcs4()) {
        if (isCombiningMark(c)) {
            most = std::max(most, ++run);
        } else if (!takesNoRoom(c)) {
            run = 0;
        }
    }
    return most;
}

// Whether a letter of `text` carries more combining marks than LetterMarks lets one of its
// script carry with `maxMarks` for the rest.
inline bool aLetterCarriesMoreMarksThanItsScriptNeeds(const QString& text, int maxMarks) {
    int run = 0;
    char32_t letter = 0;
    for (const char32_t c : text.toUcs4()) {
        if (isCombiningMark(c)) {
            if (++run > LetterMarks::marksAllowed(letter, maxMarks)) {
                return true;
            }
        } else if (!takesNoRoom(c)) {
            run = 0;
            letter = c;
        }
    }
    return false;
}

// Words of living scripts whose letters carry more marks than most: Burmese "smile" and
// "reduce", Tibetan "hrih" and a Sanskrit stack, pointed Hebrew with a meteg and an accent.
inline std::vector<std::pair<QString, QString>> wordsOfManyMarks() {
    return {
        {QStringLiteral("Burmese smile"), QStringLiteral("\u1015\u103C\u102F\u1036\u1038")},
        {QStringLiteral("Burmese reduce"), QStringLiteral("\u101C\u103B\u103E\u1031\u102C\u1037")},
        {QStringLiteral("Tibetan hrih"), QStringLiteral("\u0F67\u0FB2\u0F71\u0F72\u0F7F")},
        {QStringLiteral("Tibetan stack"), QStringLiteral("\u0F40\u0FB5\u0FA8\u0FB1\u0F71\u0F7E")},
        {QStringLiteral("pointed Hebrew"), QStringLiteral("\u05E9\u05BC\u05C1\u05B8\u05BD\u0591\u05DD")},
    };
}

// The most characters that take no room after one letter of `text`, whether it has marks or not.
inline int mostTakingNoRoomAfterOneLetter(const QString& text) {
    int most = 0;
    int run = 0;
    for (const char32_t c : text.toUcs4()) {
        if (takesNoRoom(c)) {
            most = std::max(most, ++run);
        } else if (!isCombiningMark(c)) {
            run = 0;
        }
    }
    return most;
}

// One code point of each kind that takes no room and that Qt's own properties (the format
// category) do not name: unassigned code points inside the default-ignorable stretches (the
// one the text of a description used most, the specials before the replacement character,
// the plane of tags), and the Hangul fillers.
inline QList<char32_t> charactersThatTakeNoRoom() {
    return {0x2065, 0xFFF0, 0xFFF8, 0xE0002, 0xE0080, 0xE0FFF, 0x115F, 0x1160, 0x3164, 0xFFA0};
}

// Letters newer than the Unicode of Qt 6.4's tables, which calls them unassigned: emoji of
// Unicode 15 and 16 (shaking face, harp, goose) and letters of scripts of 15 and 16 (Kawi,
// Nag Mundari, Garay, Todhri, Sunuwar, Kirat Rai, Tulu-Tigalari, Ol Onal, CJK extensions H
// and I).
inline QList<char32_t> newerLetters() {
    return {0x1FAE8, 0x1FA89, 0x1FABF, 0x11F04, 0x1E4D0, 0x10D50, 0x105C0,
            0x11BC0, 0x16D43, 0x11380, 0x1E5D0, 0x31350, 0x2EBF0};
}

} // namespace velmora::test
