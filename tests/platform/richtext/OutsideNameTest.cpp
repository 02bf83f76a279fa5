#include "platform/richtext/OutsideName.h"
#include "tests/support/MarksPerLetter.h"
#include "tests/support/TestData.h"

#include <QString>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

QString hex(char32_t c) {
    return QStringLiteral("U+%1").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0')).toUpper();
}

QString one(char32_t c) {
    return QString::fromUcs4(&c, 1);
}

const QString englandFlag =
    QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F");

} // namespace

// Names written with emoji or letters newer than Qt's Unicode (which calls them unassigned)
// show them: they draw, with a font that knows them or as a box. A project named with one
// alone used to show nothing at all.
TEST(OutsideName, NewerEmojiAndScriptsAreKept) {
    for (const char32_t c : test::newerLetters()) {
        EXPECT_EQ(plainName(one(c)), one(c)) << hex(c).toStdString();
        const QString name =
            QStringLiteral("Task ") + one(c) + QStringLiteral("\u0301 ") + one(c).repeated(3);
        EXPECT_EQ(plainName(name), name) << hex(c).toStdString();
    }
    EXPECT_EQ(plainName(QStringLiteral("Team 🫨")), QStringLiteral("Team 🫨"));
    // Noncharacters are never text, and the tags of no flag hide.
    EXPECT_EQ(plainName(QStringLiteral("a\uFFFEb\uFDD0c")), QStringLiteral("abc"));
}

// Joiners stay where they shape the word: after a virama (Sinhala's "Sri", Hindi's half form),
// a non-joiner between letters of a joining script (Persian "I want"), a joiner between the
// pictures of an emoji sequence (a woman at a computer, a technologist of a skin tone, the
// rainbow flag), and a region's flag keeps the tags that name it.
TEST(OutsideName, JoinersStayWhereTheyShapeTheWord) {
    for (const QString& name :
         {QStringLiteral("\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645"),
          QStringLiteral("\u0DC1\u0DCA\u200D\u0DBB\u0DD3"), QStringLiteral("\u0915\u094D\u200D\u0937"),
          QStringLiteral("\u0915\u094D\u200C\u0937"), QString::fromUcs4(U"\U0001F469\u200D\U0001F4BB"),
          QString::fromUcs4(U"\U0001F468\U0001F3FD\u200D\U0001F4BB"),
          QString::fromUcs4(U"\U0001F3F3\uFE0F\u200D\U0001F308"),
          QString::fromUcs4(U"\U0001F469\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"),
          QString::fromUcs4(U"Dev \U0001FAE8\u200D\U0001F525"), englandFlag,
          QStringLiteral("Cup ") + englandFlag + QStringLiteral(" 2026")}) {
        EXPECT_EQ(plainName(name), name) << name.toStdString();
    }
}

// Where a joiner joins nothing it only hides in a word: "pay" U+200D "pal" reads "paypal", as
// do joiners between Latin letters, at either end, twice over, or between a picture and a
// letter. Tags after anything but the black flag, or a flag's tags left unended, hide.
TEST(OutsideName, JoinersThatJoinNothingGo) {
    EXPECT_EQ(plainName(QStringLiteral("pay\u200Dpal")), QStringLiteral("paypal"));
    EXPECT_EQ(plainName(QStringLiteral("pay\u200Cpal")), QStringLiteral("paypal"));
    EXPECT_EQ(plainName(QStringLiteral("\u200Dpay\u200C")), QStringLiteral("pay"));
    // Of joiners heaped after a virama, the one before the letter stays.
    EXPECT_EQ(plainName(QStringLiteral("\u0915\u094D\u200D\u200D\u200C\u0937")),
              QStringLiteral("\u0915\u094D\u200C\u0937"));
    EXPECT_EQ(plainName(QStringLiteral("\u0915\u094D\u200C x")), QStringLiteral("\u0915\u094D x"));
    EXPECT_EQ(plainName(QString::fromUcs4(U"\U0001F469\u200Dpal")), QString::fromUcs4(U"\U0001F469pal"));
    EXPECT_EQ(plainName(QStringLiteral("\u0645\u200Cpal")), QStringLiteral("\u0645pal"));
    EXPECT_EQ(plainName(QStringLiteral("\u0645\u200D\u062E")), QStringLiteral("\u0645\u062E"));
    EXPECT_EQ(plainName(QString::fromUcs4(U"\U0001F469\u200D\n\U0001F4BB")),
              QString::fromUcs4(U"\U0001F469 \U0001F4BB"));
    EXPECT_EQ(plainName(QString::fromUcs4(U"Flag\U000E0067\U000E0062\U000E007F")), QStringLiteral("Flag"));
    EXPECT_EQ(plainName(QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062 x")),
              QString::fromUcs4(U"\U0001F3F4 x"));
    // A name of joiners alone is empty, one with letters never is.
    EXPECT_EQ(plainName(QStringLiteral("\u200D\u200C\u200D")), QString());
}

// A cut name never ends inside what joins: not between a flag and its tags, not on a joiner, not
// inside a joined picture.
TEST(OutsideName, ACutKeepsSequencesWholeOrLeavesThemOut) {
    const QString start(plainNameLength - 4, QChar(u'x'));
    const QString cutFlag = plainName(start + englandFlag + QStringLiteral("y"));
    EXPECT_EQ(cutFlag, start + QChar(0x2026));
    const QString fits(plainNameLength - 16, QChar(u'x'));
    EXPECT_EQ(plainName(fits + englandFlag), fits + englandFlag);
    const QString joined = plainName(QString(plainNameLength - 4, QChar(u'x')) +
                                     QString::fromUcs4(U"\U0001F469\u200D\U0001F4BB\U0001F4BB"));
    // The woman is the start of the woman at a computer, not a picture of her own.
    EXPECT_TRUE(joined.endsWith(QStringLiteral("x\u2026"))) << joined.right(4).toStdString();
    // Bounding twice changes nothing.
    for (const QString& name :
         {cutFlag, joined, QStringLiteral("\u0DC1\u0DCA\u200D\u0DBB\u0DD3"), englandFlag}) {
        EXPECT_EQ(plainName(name), name);
    }
}

// Joiners stay where they shape the word, wherever a script's spelling puts them: the Bengali
// ra-phala (a joiner between ra and the virama, which would read as a reph without it), the
// old-style Malayalam chillu (a joiner after the virama at a word's end, which would show the
// virama), a Persian letter before a full stop keeping its joining form, and the Mongolian
// vowel separator (which changes the form of the letter before it).
TEST(OutsideName, JoinersStayWhereAScriptsSpellingPutsThem) {
    for (const QString& name :
         {QStringLiteral("\u09B0\u200D\u09CD\u09AF\u09BE\u09AC"),
          QStringLiteral("\u0D05\u0D35\u0D28\u0D4D\u200D"),
          QStringLiteral("\u0D05\u0D35\u0D28\u0D4D\u200D \u0D35\u0D28\u0D4D\u200D"),
          QStringLiteral("\u0647\u200D."), QStringLiteral("\u0647\u200D.\u0634 \u0633\u0627\u0644"),
          QStringLiteral("\u1830\u1820\u1837\u180E\u1820")}) {
        EXPECT_EQ(plainName(name), name) << name.toStdString();
    }
    // Where they shape nothing they still go: between letters that join anyway, after a space.
    EXPECT_EQ(plainName(QStringLiteral("\u0645\u200D\u062E")), QStringLiteral("\u0645\u062E"));
    EXPECT_EQ(plainName(QStringLiteral("a \u180E\u1820")), QStringLiteral("a \u1820"));
    EXPECT_EQ(plainName(QStringLiteral("pay\u180Epal")), QStringLiteral("paypal"));
    // What a joiner joins to is what the name shows after it, past what hides between them.
    EXPECT_EQ(plainName(QStringLiteral("\u0647\u200D") + QChar(0) + QStringLiteral("\u062E")),
              QStringLiteral("\u0647\u062E"));
}

// A joiner after a letter of a joining script stays only before what shows whole after it, a letter
// or a sign: before a mark it would join nothing once the mark is left out (one too many on its
// letter), and it is left out itself, whether the mark stays or not.
TEST(OutsideName, AJoinerAfterAJoiningLetterBeforeAMarkGoes) {
    EXPECT_EQ(plainName(QStringLiteral("\u0647\u200D\u064B x")), QStringLiteral("\u0647\u064B x"));
    const QString full = QStringLiteral("\u0647") + QStringLiteral("\u064B").repeated(8);
    const int allowed = LetterMarks::marksAllowed(0x0647, plainMarksPerLetter);
    EXPECT_EQ(plainName(full + QStringLiteral("\u200D\u0651 x")),
              QStringLiteral("\u0647") + QStringLiteral("\u064B").repeated(allowed) + QStringLiteral(" x"));
    // Before a sign that does not join, it keeps the letter's joining form.
    EXPECT_EQ(plainName(QStringLiteral("\u0647\u200D. x")), QStringLiteral("\u0647\u200D. x"));
}

// A letter of a name keeps the marks words of its script carry: Burmese "smile" kept three of its
// four and "reduce" lost its dot below, Tibetan "hrih" its visarga, pointed Hebrew its meteg or
// accent. A pile of marks on one letter is still cut, in those scripts too.
TEST(OutsideName, ALetterKeepsTheMarksItsScriptsWordsCarry) {
    for (const auto& [what, word] : test::wordsOfManyMarks()) {
        EXPECT_EQ(plainName(word), word) << what.toStdString();
        EXPECT_EQ(plainName(QStringLiteral("Task ") + word + QStringLiteral(" done")),
                  QStringLiteral("Task ") + word + QStringLiteral(" done"))
            << what.toStdString();
    }
    for (const auto& [letter, mark] : {std::pair<char32_t, char32_t>{U'a', 0x0301},
                                       {0x1000, 0x1037},
                                       {0x0F40, 0x0F71},
                                       {0x05E9, 0x05B8}}) {
        const QString pile = one(letter) + one(mark).repeated(1000) + QStringLiteral(" x");
        const int allowed = LetterMarks::marksAllowed(letter, plainMarksPerLetter);
        EXPECT_LE(allowed, 8);
        EXPECT_EQ(plainName(pile), one(letter) + one(mark).repeated(allowed) + QStringLiteral(" x"))
            << hex(letter).toStdString();
    }
}

// A name whose first character is longer than a name's bound (a letter under thousands of
// accents, fifty joined women) shows that character's start and the ellipsis, never the
// ellipsis alone: the page title and the sentences that quote it have nothing else to show.
TEST(OutsideName, ALongFirstCharacterShowsItsStart) {
    for (const auto& [kind, name] : test::namedTestData(QStringLiteral("outside-text/names-of-long-first-characters.txt"))) {
        for (const qsizetype bound : {qsizetype(80), plainNameLength}) {
            const QString shown = plainName(name, bound);
            EXPECT_TRUE(shown.size() > 1 && name.startsWith(shown.left(2)))
                << kind.toStdString() << " at " << bound;
        }
    }
}
