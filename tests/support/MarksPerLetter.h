#pragma once

#include "platform/richtext/LetterMarks.h"

#include <QList>
#include <QString>

#include <algorithm>

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

// One code point of each kind that takes no room and that Qt's own properties (the format
// category) do not name: unassigned code points inside the default-ignorable stretches (the
// one the text of a description used most, the specials before the replacement character,
// the plane of tags), unassigned code points elsewhere (a noncharacter among them), and the
// Hangul fillers.
inline QList<char32_t> charactersThatTakeNoRoom() {
    return {0x2065, 0xFFF0,  0xFFF8, 0xE0002, 0xE0080, 0xE0FFF, 0x0378,
            0xFFFE, 0x1FFFE, 0x115F, 0x1160,  0x3164,  0xFFA0};
}

} // namespace velmora::test
