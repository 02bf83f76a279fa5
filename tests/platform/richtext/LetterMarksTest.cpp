#include "platform/richtext/LetterMarks.h"
#include "tests/support/MarksPerLetter.h"

#include <QChar>
#include <QString>

#include <algorithm>
#include <iterator>

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

// What takes no room is what Unicode makes default-ignorable (DerivedCoreProperties), assigned
// or not, by its stretches; marks among them (variation selectors, the grapheme joiner) are
// counted as marks instead. Any other code point Qt's Unicode leaves unassigned is a letter of a
// newer version and draws, as do the format characters Unicode leaves visible, spaces,
// controls, private use and the braille blank.
TEST(LetterMarks, WhatTakesNoRoomIsWhatUnicodeMakesIgnorable) {
    for (const char32_t c : test::charactersThatTakeNoRoom()) {
        EXPECT_TRUE(takesNoRoom(c)) << hex(c).toStdString();
    }
    for (const char32_t c : {0x00AD, 0x061C, 0x180E, 0x200B, 0x200C, 0x200D, 0x200E, 0x202E, 0x2060, 0x2066,
                             0x206F, 0xFEFF, 0x1BCA0, 0x1D173, 0xE0000, 0xE0001, 0xE007F, 0xE01F0}) {
        EXPECT_TRUE(takesNoRoom(c)) << hex(c).toStdString();
    }
    for (const char32_t c : {0x0041,   0x0020, 0x00A0, 0x3000,  0x0009,  0x0001, 0x0085,  0xE000, 0xF0000,
                             0x10FFFD, 0x2800, 0x0600, 0x06DD,  0x110BD, 0x0301, 0x034F,  0xFE0F, 0xE0100,
                             0x1F600,  0xFFF9, 0xFFFB, 0x13430, 0x0378,  0xFFFE, 0x1FFFE, 0xFDD0}) {
        EXPECT_FALSE(takesNoRoom(c)) << hex(c).toStdString();
    }
    for (const char32_t c : test::newerLetters()) {
        EXPECT_EQ(QChar::category(c), QChar::Other_NotAssigned)
            << "newer than Qt's tables: " << hex(c).toStdString();
        EXPECT_FALSE(takesNoRoom(c)) << hex(c).toStdString();
    }
    // Every code point, against Default_Ignorable_Code_Point's stretches.
    struct Stretch {
        char32_t first;
        char32_t last;
    };
    const Stretch ignorable[] = {{0x00AD, 0x00AD},  {0x034F, 0x034F}, {0x061C, 0x061C},   {0x115F, 0x1160},
                                 {0x17B4, 0x17B5},  {0x180B, 0x180F}, {0x200B, 0x200F},   {0x202A, 0x202E},
                                 {0x2060, 0x206F},  {0x3164, 0x3164}, {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},
                                 {0xFFA0, 0xFFA0},  {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
                                 {0xE0000, 0xE0FFF}};
    int unassignedDrawing = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const bool isIgnorable = std::any_of(std::begin(ignorable), std::end(ignorable),
                                             [c](const Stretch& s) { return c >= s.first && c <= s.last; });
        if (takesNoRoom(c) != (isIgnorable && !isCombiningMark(c))) {
            ADD_FAILURE() << hex(c).toStdString();
            break;
        }
        unassignedDrawing += QChar::category(c) == QChar::Other_NotAssigned && !isIgnorable;
    }
    EXPECT_GT(unassignedDrawing, 800000);
}

// A letter keeps a few characters that take no room after it whether it carries marks or not:
// Qt shapes a letter and all of them as one cluster on every layout and paint, and "क" with
// 20,000 non-joiners after it took the description view 1.8 s. The tags naming a region's flag
// after the black flag are one short sequence of their own.
TEST(LetterMarks, ALetterKeepsAFewCharactersThatTakeNoRoomWithOrWithoutMarks) {
    for (const char32_t c : {0x200C, 0x200D, 0x2060, 0x200B, 0x2065, 0xE0067}) {
        const QString noRoom = QString::fromUcs4(&c, 1);
        for (const QString& letter : {QStringLiteral("\u0915"), QStringLiteral("\u0D2E"), QStringLiteral("a"),
                                      QStringLiteral("e\u0301")}) {
            LetterMarks letters(3);
            QString out;
            for (const char32_t each : (letter + noRoom.repeated(1000) + QStringLiteral("x")).toUcs4()) {
                if (letters.keeps(each)) {
                    out += QString::fromUcs4(&each, 1);
                }
            }
            EXPECT_EQ(out, letter + noRoom.repeated(3) + QStringLiteral("x")) << hex(c).toStdString();
            EXPECT_TRUE(letters.leftOutWhatTakesNoRoom());
        }
    }
    // A flag's tags: England's whole, a flag of endless tags cut to the longest name.
    const QString england =
        QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F");
    EXPECT_EQ(kept(england, 3), england);
    const QString endless =
        QString::fromUcs4(U"\U0001F3F4") + QString::fromUcs4(U"\U000E0067").repeated(1000);
    EXPECT_EQ(kept(endless, 3).size(), 2 + 2 * LetterMarks::maxFlagTags);
    // Newer letters are letters, each with its own marks.
    for (const char32_t c : test::newerLetters()) {
        const QString marked = (QString::fromUcs4(&c, 1) + QStringLiteral("\u0301\u0302")).repeated(50);
        EXPECT_EQ(kept(marked, 3), marked) << hex(c).toStdString();
    }
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
