#include "platform/richtext/LetterMarks.h"

#include <QChar>

#include <algorithm>
#include <iterator>

namespace velmora {

namespace {

// Default_Ignorable_Code_Point of Unicode's derived core properties, unassigned stretches
// included: these have stood since Unicode 6 (U+180F since 14), and a reserved code point in
// them stays ignorable when it is assigned.
struct CodePointRange {
    char32_t first;
    char32_t last;
};
constexpr CodePointRange defaultIgnorables[] = {
    {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5},
    {0x180B, 0x180F},   {0x200B, 0x200F},   {0x202A, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164},
    {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

bool isDefaultIgnorable(char32_t c) {
    const auto* after =
        std::upper_bound(std::begin(defaultIgnorables), std::end(defaultIgnorables), c,
                         [](char32_t value, const CodePointRange& range) { return value < range.first; });
    return after != std::begin(defaultIgnorables) && c <= std::prev(after)->last;
}

} // namespace

bool isCombiningMark(char32_t c) {
    if (c < 0x0300) {
        return false; // the first combining marks start there
    }
    const QChar::Category category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}

bool takesNoRoom(char32_t c) {
    if (c < 0x00AD) {
        return false; // the soft hyphen is the first
    }
    // The variation selectors and the grapheme joiner are default-ignorable too, but they sit
    // on a letter as marks do and are counted as marks.
    return isDefaultIgnorable(c) && !isCombiningMark(c);
}

int LetterMarks::marksAllowed(char32_t letter, int maxMarks) {
    // What the words of these scripts stack on one letter: Burmese medials, vowel signs, tone
    // marks and the asat (လျှော့ "reduce" carries five); Tibetan and Tai Tham subjoined letters
    // under vowel signs and signs (a Sanskrit stack in Tibetan carries six); Hebrew's dagesh,
    // shin dot, vowel point, meteg and up to two accents; Arabic's shadda, vowel and the small
    // signs of a recited text.
    int need = 0;
    switch (QChar::script(letter)) {
    case QChar::Script_Myanmar:
    case QChar::Script_Tibetan:
    case QChar::Script_TaiTham:
        need = 8;
        break;
    case QChar::Script_Hebrew:
        need = 6;
        break;
    case QChar::Script_Arabic:
        need = 5;
        break;
    default:
        break;
    }
    return std::max(maxMarks, need);
}

bool LetterMarks::keeps(char32_t c) {
    if (isCombiningMark(c)) {
        if (m_marks >= m_allowed) {
            return false;
        }
        ++m_marks;
        return true;
    }
    if (takesNoRoom(c)) {
        if (m_flag && c >= firstFlagTag && c <= cancelTag) {
            // The tags that name a region's flag: one sequence, a few letters long.
            if (m_tags >= maxFlagTags) {
                return false;
            }
            ++m_tags;
            return true;
        }
        if (m_marks >= m_allowed) {
            return false; // between marks past the letter's own: those go, and so does this
        }
        if (m_noRoom >= m_allowed) {
            m_leftOut = true;
            return false;
        }
        ++m_noRoom;
        return true;
    }
    startLetter();
    m_flag = c == blackFlag;
    m_allowed = marksAllowed(c, m_maxMarks);
    return true;
}

} // namespace velmora
