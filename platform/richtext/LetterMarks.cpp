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

// The prepended concatenation marks are format characters that draw a sign of their own.
bool isVisibleFormatCharacter(char32_t c) {
    return (c >= 0x0600 && c <= 0x0605) || c == 0x06DD || c == 0x070F || c == 0x0890 || c == 0x0891 ||
           c == 0x08E2 || c == 0x110BD || c == 0x110CD;
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
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
        category == QChar::Mark_Enclosing) {
        return false;
    }
    if (category == QChar::Other_NotAssigned || isDefaultIgnorable(c)) {
        return true;
    }
    return category == QChar::Other_Format && !isVisibleFormatCharacter(c);
}

bool LetterMarks::keeps(char32_t c) {
    if (isCombiningMark(c)) {
        if (m_marks >= m_maxMarks) {
            return false;
        }
        ++m_marks;
        return true;
    }
    if (takesNoRoom(c)) {
        return m_marks < m_maxMarks;
    }
    m_marks = 0;
    return true;
}

} // namespace velmora
