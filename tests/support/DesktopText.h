#pragma once

#include <QFont>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QRawFont>
#include <QString>
#include <QStringList>
#include <QTextLayout>

#include <utility>
#include <vector>

namespace velmora::test {

// The family of the colour emoji font a Linux desktop has (Debian's fonts-noto-color-emoji).
inline QString colourEmojiFamily() {
    return QStringLiteral("Noto Color Emoji");
}

// The families that draw `text` laid out on one line in `font`: what the font falls back to
// for each of its characters.
inline QStringList familiesDrawing(const QString& text, const QFont& font = QFont()) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QStringList families;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QString family = run.rawFont().familyName();
        if (!families.contains(family)) {
            families.append(family);
        }
    }
    return families;
}

// Whether the colour emoji font is the one that draws emoji here, as it is on a desktop: the
// figures of text from outside are taken with it, since every colour glyph it draws costs
// hundreds of times what a letter costs to lay out.
inline bool colourEmojiFontDrawsEmoji() {
    return QFontDatabase::families().contains(colourEmojiFamily()) &&
           familiesDrawing(QStringLiteral("\U0001F680\U0001F44D\U0001F3FD")).contains(colourEmojiFamily());
}

// `unit` repeated to about `units` UTF-16 code units, never more.
inline QString repeatedTo(const QString& unit, qsizetype units = 20000) {
    return unit.repeated(std::max<qsizetype>(units / unit.size(), 1));
}

inline QString codePoints(std::initializer_list<char32_t> points) {
    QString text;
    for (const char32_t c : points) {
        text += QString::fromUcs4(&c, 1);
    }
    return text;
}

// Ordinary reactions in a description, as a team writes them.
inline QString reactions() {
    return QStringLiteral(
        "Great work \U0001F44D\U0001F3FD thanks \U0001F64F\U0001F3FB ship it \U0001F680 \u2705 ");
}

// A sentence with a hundred skin-toned thumbs in it.
inline QString hundredThumbs() {
    return QStringLiteral("Thanks everyone for the release ") +
           QStringLiteral("\U0001F44D\U0001F3FD").repeated(100) + QStringLiteral(" well done");
}

// Thai as IT staff write it: no spaces between words, and English terms inline.
inline QString thaiWithEnglishTerms() {
    return QStringLiteral("ต้องDeployก่อนFridayแล้วค่อยMergeเข้าBranchหลักหลังจากReviewเสร็จและต้องRun"
                          "Testทั้งหมดผ่านก่อนจะTagเป็นReleaseใหม่แล้วส่งLinkให้QAตรวจบนStagingพร้อมกับ"
                          "UpdateเอกสารในWikiและแจ้งในChannelของTeamเรื่องDowntimeที่ต้องRestartตัวServer"
                          "และFlushค่าCacheหลังจากMigrateฐานข้อมูลเสร็จแล้วให้ตรวจDashboardว่าไม่มีError");
}

// Thai whose words are parted by zero-width spaces, with English terms inline as above.
inline QString thaiWithZeroWidthSpaces() {
    QString text;
    const QStringList words{QStringLiteral("ต้อง"),    QStringLiteral("Deploy"), QStringLiteral("ก่อน"),
                            QStringLiteral("Friday"), QStringLiteral("แล้ว"),    QStringLiteral("ค่อย"),
                            QStringLiteral("Merge"),  QStringLiteral("เข้า"),    QStringLiteral("Branch")};
    for (int i = 0; i < 60; ++i) {
        text += words[i % words.size()] + QChar(0x200B);
    }
    return text;
}

// Lao, Khmer and Burmese written the same way: Qt's line breaking finds no break inside a
// phrase of them.
inline QString laoWithEnglishTerms() {
    QString text;
    for (int i = 0; i < 40; ++i) {
        text += QStringLiteral("ຕ້ອງDeployກ່ອນ");
    }
    return text;
}

inline QString khmerWithEnglishTerms() {
    QString text;
    for (int i = 0; i < 40; ++i) {
        text += QStringLiteral("ត្រូវDeployមុន");
    }
    return text;
}

inline QString burmeseWithEnglishTerms() {
    QString text;
    for (int i = 0; i < 40; ++i) {
        text += QStringLiteral("Deployလုပ်ရန်");
    }
    return text;
}

// Long texts of scripts that cost more than Latin to shape, as people write them.
inline QString tibetanText() {
    return QStringLiteral("བོད་ཀྱི་སྐད་ཡིག་ནི་བོད་ཡུལ་དང་ཉེ་འཁོར་གྱི་ས་ཁུལ་དུ་བེད་སྤྱོད་བྱེད་པའི་སྐད་ཡིག་ཅིག་ཡིན། ");
}

inline QString burmeseText() {
    return QStringLiteral("မြန်မာဘာသာစကားသည် မြန်မာနိုင်ငံ၏ ရုံးသုံးဘာသာစကား ဖြစ်သည်။ ");
}

inline QString koreanText() {
    return QStringLiteral("한국어는 대한민국과 조선민주주의인민공화국의 공용어이다. ");
}

// A description of a few hundred emoji: reactions, faces, flags and people of every tone.
inline QString fewHundredEmoji() {
    const QStringList emoji{QStringLiteral("\U0001F44D\U0001F3FD"),
                            QStringLiteral("\U0001F680"),
                            QStringLiteral("\u2705"),
                            QStringLiteral("\U0001F389"),
                            QStringLiteral("\U0001F64F\U0001F3FB"),
                            QStringLiteral("\U0001F1E9\U0001F1EA"),
                            QStringLiteral("\U0001F525"),
                            QStringLiteral("\U0001F469\u200D\U0001F4BB"),
                            QStringLiteral("\U0001F440"),
                            QStringLiteral("\U0001F4AF")};
    QString text = QStringLiteral("Release notes, with the team's reactions: ");
    for (int i = 0; i < 250; ++i) {
        text += emoji[i % emoji.size()] + (i % 6 == 5 ? QStringLiteral(" ") : QString());
    }
    return text;
}

// Text that a desktop's fonts (a colour emoji font, fonts for many scripts) make dear to lay
// out, each at the bounder's cap of text: ordinary reactions, emoji sequences the font forms
// by substitution (modifiers, flags, tag flags, joined sequences), paragraph and line
// separators as text and as references, scripts that cost more to shape than Latin (with the
// desktop's fonts, or with none), variation selectors, format controls and bidi isolates.
inline std::vector<std::pair<QString, QString>> desktopFontText() {
    return {
        {QStringLiteral("reactions"), repeatedTo(reactions())},
        {QStringLiteral("hundred-thumbs"), hundredThumbs()},
        {QStringLiteral("emoji-modifiers"),
         repeatedTo(codePoints({0x1F3FB, 0x1F3FC, 0x1F3FD, 0x1F3FE, 0x1F3FF}))},
        {QStringLiteral("toned-thumbs"), repeatedTo(QStringLiteral("\U0001F44D\U0001F3FD"))},
        {QStringLiteral("flag-letters"),
         repeatedTo(QStringLiteral("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7\U0001F1EF\U0001F1F5"))},
        {QStringLiteral("tag-flags"),
         repeatedTo(codePoints({0x1F3F4, 0xE0067, 0xE0062, 0xE0065, 0xE006E, 0xE0067, 0xE007F}))},
        {QStringLiteral("zwj-chain"), repeatedTo(QStringLiteral("\U0001F469\u200D"))},
        {QStringLiteral("rockets"), repeatedTo(QStringLiteral("\U0001F680"))},
        {QStringLiteral("grinning-faces"), repeatedTo(QStringLiteral("\U0001F600"))},
        {QStringLiteral("few-hundred-emoji"), fewHundredEmoji()},
        {QStringLiteral("paragraph-separators"), repeatedTo(QStringLiteral("\u2029"))},
        {QStringLiteral("paragraph-separator-references"), QStringLiteral("&#x2029;").repeated(20000)},
        {QStringLiteral("line-separators"), repeatedTo(QStringLiteral("x\u2028"))},
        {QStringLiteral("line-separator-references"), QStringLiteral("&#8232;").repeated(20000)},
        {QStringLiteral("tibetan"), repeatedTo(tibetanText())},
        {QStringLiteral("burmese"), repeatedTo(burmeseText())},
        {QStringLiteral("korean"), repeatedTo(koreanText())},
        {QStringLiteral("thai-with-english"), repeatedTo(thaiWithEnglishTerms() + QStringLiteral(" "))},
        {QStringLiteral("han-variation-selectors"),
         repeatedTo(codePoints({0x845B, 0xE0100, 0x8FBB, 0xE0101}))},
        {QStringLiteral("hieroglyph-format-controls"),
         repeatedTo(codePoints({0x13000, 0x13430, 0x13001, 0x13431, 0x13002}))},
        {QStringLiteral("closed-isolates"), repeatedTo(QStringLiteral("\u2067\u05D0\u2069 "))},
        {QStringLiteral("private-use-marks"), repeatedTo(QStringLiteral("\uE000\u0301"), 100000)},
    };
}

// Names of the same kinds, as a task row shows them.
inline std::vector<std::pair<QString, QString>> desktopFontNames() {
    return {
        {QStringLiteral("flags"),
         QStringLiteral("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7\U0001F1EF\U0001F1F5").repeated(25)},
        {QStringLiteral("toned-thumbs"), QStringLiteral("\U0001F44D\U0001F3FD").repeated(100)},
        {QStringLiteral("reactions"), reactions().repeated(10)},
        {QStringLiteral("latin"), QStringLiteral("Fix the importer for large files ").repeated(10)},
    };
}

} // namespace velmora::test
