#include "platform/richtext/LetterMarks.h"
#include "tests/support/MarksPerLetter.h"

#include <QChar>
#include <QString>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

QString hex(char32_t c) {
    return QStringLiteral("U+%1").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0')).toUpper();
}

// What LetterMarks keeps of `text`.
QString kept(const QString& text, int maxMarks) {
    LetterMarks letters(maxMarks);
    QString out;
    for (const char32_t c : text.toUcs4()) {
        if (letters.keeps(c)) {
            out += QString::fromUcs4(&c, 1);
        }
    }
    return out;
}

} // namespace

// Every default-ignorable code point takes no room, assigned or not, and so does every code
// point Qt's Unicode leaves unassigned: a shaper hides both, and a mark after them sits on
// the letter before. Marks (variation selectors too) are counted as marks instead; spaces,
// controls, private use and the braille blank each take room of their own.
TEST(LetterMarks, WhatTakesNoRoomIsEveryIgnorableAndUnassignedCodePoint) {
    for (const char32_t c : test::charactersThatTakeNoRoom()) {
        EXPECT_TRUE(takesNoRoom(c)) << hex(c).toStdString();
    }
    for (const char32_t c : {0x00AD, 0x061C, 0x180E, 0x200B, 0x200C, 0x200D, 0x200E, 0x202E, 0x2060, 0x2066,
                             0x206F, 0xFEFF, 0x1BCA0, 0x1D173, 0xE0000, 0xE0001, 0xE007F, 0xE01F0, 0xFFF9}) {
        EXPECT_TRUE(takesNoRoom(c)) << hex(c).toStdString();
    }
    for (const char32_t c :
         {0x0041, 0x0020, 0x00A0, 0x3000, 0x0009, 0x0001, 0x0085, 0xE000, 0xF0000, 0x10FFFD, 0x2800, 0x0600,
          0x06DD, 0x110BD, 0x0301, 0x034F, 0xFE0F, 0xE0100, 0x1F600}) {
        EXPECT_FALSE(takesNoRoom(c)) << hex(c).toStdString();
    }
    // Whatever Qt's Unicode leaves unassigned, in every plane.
    int unassigned = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (QChar::category(c) == QChar::Other_NotAssigned) {
            ++unassigned;
            if (!takesNoRoom(c)) {
                ADD_FAILURE() << hex(c).toStdString();
                break;
            }
        }
    }
    EXPECT_GT(unassigned, 800000);
}

// A letter keeps its few marks whatever takes no room between them; once it has them, further
// marks and what stands between them go. What takes room starts a letter of its own.
TEST(LetterMarks, MarksBetweenWhatTakesNoRoomStayAFewPerLetter) {
    const QString acute(QChar(0x0301));
    for (const char32_t c : test::charactersThatTakeNoRoom()) {
        const QString between = QString::fromUcs4(&c, 1);
        EXPECT_EQ(kept(QStringLiteral("a") + (acute + between).repeated(1000) + QStringLiteral("b"), 3),
                  QStringLiteral("a") + (acute + between).repeated(2) + acute + QStringLiteral("b"))
            << hex(c).toStdString();
    }
    // Private use and the braille blank draw a character of their own, each with its mark.
    for (const char32_t c : {char32_t(0xE000), char32_t(0xF0000), char32_t(0x2800)}) {
        const QString letters = QStringLiteral("a") + (acute + QString::fromUcs4(&c, 1)).repeated(1000);
        EXPECT_EQ(kept(letters, 3), letters) << hex(c).toStdString();
    }
    // Marks alone, and a new letter after them.
    EXPECT_EQ(kept(acute.repeated(10) + QStringLiteral("x") + acute.repeated(10), 2),
              acute.repeated(2) + QStringLiteral("x") + acute.repeated(2));
}
