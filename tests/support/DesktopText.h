#pragma once

#include <QFont>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QRawFont>
#include <QString>
#include <QStringList>
#include <QTextLayout>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace velmora::test {

// The family of the colour emoji font a Linux desktop has (Debian's fonts-noto-color-emoji).
inline QString colourEmojiFamily() {
    return QStringLiteral("Noto Color Emoji");
}

// The families that draw `text` laid out on one line in `font`: what the font falls back to
// for each of its characters. A run of only the missing glyph (the box Qt draws with its first
// font where no font has the character) is drawn by none.
inline QStringList familiesDrawing(const QString& text, const QFont& font = QFont()) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QStringList families;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QList<quint32> glyphs = run.glyphIndexes();
        // Nor does Qt's box engine (it has no size, nor any family), which draws hollow boxes for
        // a script no font is fit for.
        if (std::all_of(glyphs.begin(), glyphs.end(), [](quint32 glyph) { return glyph == 0; }) ||
            run.rawFont().pixelSize() <= 0) {
            continue;
        }
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

// Whether fonts for Chinese, Japanese and Korean are installed, as on a desktop of those
// languages (Debian's fonts-noto-cjk), by what the font database says they support.
inline bool cjkFontsInstalled() {
    return !QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty() &&
           !QFontDatabase::families(QFontDatabase::Japanese).isEmpty() &&
           !QFontDatabase::families(QFontDatabase::Korean).isEmpty();
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
    return QStringLiteral("ຕ້ອງDeployກ່ອນ").repeated(40);
}

inline QString khmerWithEnglishTerms() {
    return QStringLiteral("ត្រូវDeployមុន").repeated(40);
}

inline QString burmeseWithEnglishTerms() {
    return QStringLiteral("Deployလုပ်ရန်").repeated(40);
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

// Chinese and Japanese as a team writes them: no spaces between words, a line breaks between
// any two letters.
inline QString chineseText() {
    return QStringLiteral(
        "我们需要在周五之前完成这个功能的开发，然后部署到测试环境，请大家及时完成代码审查。");
}

inline QString japaneseText() {
    return QStringLiteral(
        "金曜日までにリリースの準備を終えて、テスト環境にデプロイしてください。レビューもお願いします。");
}

// `count` letters from `first` on, each of the `distinct` ones after it in turn.
inline QString distinctLetters(char32_t first, int distinct, int count) {
    QString text;
    for (int i = 0; i < count; ++i) {
        const char32_t c = first + static_cast<char32_t>(i % distinct);
        text += QString::fromUcs4(&c, 1);
    }
    return text;
}

// Letters drawn as prose uses them: a few are frequent and many rare (the n-th most frequent as
// often as 1/n of the first), from `letters` in their order of frequency. Repeatable: the draws
// follow a fixed seed.
class ProseLetters {
public:
    explicit ProseLetters(std::vector<char32_t> letters, quint64 seed = 0x9E3779B97F4A7C15ULL)
        : m_letters(std::move(letters)), m_state(seed) {
        double sum = 0;
        for (std::size_t rank = 1; rank <= m_letters.size(); ++rank) {
            sum += 1.0 / static_cast<double>(rank);
            m_cumulative.push_back(sum);
        }
    }

    // A number below `bound`, evenly.
    int below(int bound) { return static_cast<int>(step() * bound); }

    QString next() {
        const double draw = step() * m_cumulative.back();
        const auto at = std::lower_bound(m_cumulative.begin(), m_cumulative.end(), draw);
        const char32_t c = m_letters[std::min<std::size_t>(at - m_cumulative.begin(), m_letters.size() - 1)];
        return QString::fromUcs4(&c, 1);
    }

private:
    double step() {
        m_state = m_state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(m_state >> 11) / 9007199254740992.0;
    }

    std::vector<char32_t> m_letters;
    std::vector<double> m_cumulative;
    quint64 m_state;
};

// `count` code points from `first` on, `step` apart.
inline std::vector<char32_t> spacedLetters(char32_t first, int count, int step) {
    std::vector<char32_t> letters;
    for (int i = 0; i < count; ++i) {
        letters.push_back(first + static_cast<char32_t>(i * step));
    }
    return letters;
}

// `count` letters of `letters` as prose uses them, with `between` after every `every`.
inline QString proseOf(const std::vector<char32_t>& letters, int count, const QString& between, int every) {
    ProseLetters draws(letters);
    QString text;
    for (int i = 0; i < count; ++i) {
        text += draws.next();
        if ((i + 1) % every == 0) {
            text += between;
        }
    }
    return text;
}

// Chinese, Japanese and Korean prose at the cap of text, with as many different letters as such
// prose has: some 2,500 Han letters of 3,500 in use; words of one to three Han letters (or, one
// in ten, of three to six katakana) and two to five hiragana after each, some 1,700 letters, the
// script changing every three characters as in Japanese prose; some 1,900 Hangul syllables of
// 2,350.
inline QString chineseProse() {
    return proseOf(spacedLetters(0x4E00, 3500, 6), 18000, QStringLiteral("\uFF0C"), 9);
}

inline QString japaneseProse() {
    ProseLetters han(spacedLetters(0x4E00, 2500, 8), 1);
    ProseLetters hiragana(spacedLetters(0x3042, 80, 1), 2);
    ProseLetters katakana(spacedLetters(0x30A2, 80, 1), 3);
    ProseLetters lengths({}, 4);
    QString text;
    while (text.size() < 19800) {
        if (lengths.below(10) == 0) {
            for (int i = 3 + lengths.below(4); i > 0; --i) {
                text += katakana.next();
            }
        } else {
            for (int i = 1 + lengths.below(3); i > 0; --i) {
                text += han.next();
            }
        }
        for (int i = 2 + lengths.below(4); i > 0; --i) {
            text += hiragana.next();
        }
        if (lengths.below(6) == 0) {
            text += lengths.below(2) == 0 ? QStringLiteral("\u3001") : QStringLiteral("\u3002");
        }
    }
    return text.left(19800);
}

inline QString koreanProse() {
    return proseOf(spacedLetters(0xAC00, 2350, 4), 16000, QStringLiteral(" "), 4);
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

// `points` in turn, in words of `length` parted by spaces, to about `units` UTF-16 code units.
inline QString wordsOf(const std::vector<char32_t>& points, int length, qsizetype units = 20000) {
    QString text;
    for (std::size_t i = 0; text.size() < units - 2; ++i) {
        const char32_t c = points[i % points.size()];
        text += QString::fromUcs4(&c, 1);
        if ((i + 1) % static_cast<std::size_t>(length) == 0) {
            text += u' ';
        }
    }
    return text;
}

// `count` characters of `alphabet` drawn in turn by a fixed sequence, as a token or a hash
// spells them.
inline QString tokenOf(QStringView alphabet, int count, quint64 seed) {
    QString token;
    for (int i = 0; i < count; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        token += alphabet[static_cast<qsizetype>((seed >> 33) % static_cast<quint64>(alphabet.size()))];
    }
    return token;
}

// Links as descriptions list them, a few hundred characters each: an issue's comment, a shared
// document, a signed download with its credentials and signature, a sign-in callback with its
// code and state, parted by spaces, to the cap of text.
inline QString longUrls() {
    const QString base64url =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
    const QString hex = QStringLiteral("0123456789abcdef");
    QString text;
    for (quint64 i = 1; text.size() < 19000; ++i) {
        text +=
            QStringLiteral(
                "See https://tracker.example.com/browse/OPS-%1?focusedCommentId=55%1&page=com.example."
                "tracker.issuetabpanels%3Acomment-tabpanel#comment-55%1 and https://docs.example.org/"
                "document/d/%2/edit?usp=sharing&ouid=%3 then https://storage.example.net/exports/2026/12/"
                "report-final-%1.csv?Algorithm=HMAC-SHA256&Credential=%4%2F20261209%2Feu-central-1%2F"
                "storage%2Frequest&Date=20261209T101500Z&Expires=3600&SignedHeaders=host&Signature=%5 "
                "or https://sso.example.com/callback?code=%6&state=%7 ")
                .arg(i)
                .arg(tokenOf(base64url, 44, i), tokenOf(hex, 21, i + 1), tokenOf(hex, 20, i + 2).toUpper(),
                     tokenOf(hex, 64, i + 3), tokenOf(base64url, 300, i + 4), tokenOf(base64url, 120, i + 5));
    }
    return text;
}

// Long words that are no hostile text: German compounds, code identifiers, paths and hashes.
inline QString longWords() {
    return repeatedTo(QStringLiteral(
        "Die Donaudampfschifffahrtsgesellschaftskapitänsmütze und die Rindfleischetikettierungs"
        "überwachungsaufgabenübertragungsgesetzgebung: see AbstractSingletonProxyFactoryBean"
        "ConfigurationPostProcessorRegistry.resolveDependencyInjectionCandidatesForQualifiedTypes() "
        "in src/main/java/com/example/platform/integration/configuration/Registry.java, "
        "max_concurrent_connection_attempts_per_upstream_host_before_circuit_breaker_opens, commit "
        "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08e3b0c44298fc1c149afbf4c8996fb924."
        " "));
}

// Symbols descriptions use, in prose: arrows, mathematics, box drawing, currency, marks of
// measure and typography.
inline QString ordinarySymbols() {
    return repeatedTo(
        QStringLiteral("Build \u2192 test \u21D2 deploy: p \u2264 0.05, \u0394 \u2248 3 %, \u2211 = 1 200 "
                       "\u20AC (\u00B1 2 \u00B0C, "
                       "\u00D7 4, \u00BD h, \u221A2, \u221E, x \u2260 y, A \u2229 B \u2286 C, \u2200 \u2203) "
                       "\u250C\u2500\u2500\u252C\u2500\u2500\u2510 \u2502 a\u2502 b\u2502 "
                       "\u2514\u2500\u2500\u2534\u2500\u2500\u2518 "
                       "\u00A3 \u00A5 \u20B9 \u20BD \u2022 \u2026 \u2014 \u201Cquoted\u201D \u2116 5 \u2103 "
                       "\u2713 \u2717 \u2190 \u2191 "
                       "\u2193 \u25B2 \u25CF \u2606 \u00A7 \u00B6 "));
}

// Text that a desktop's fonts (a colour emoji font, fonts for many scripts) make dear to lay
// out, each at the bounder's cap of text: ordinary reactions, emoji sequences the font forms
// by substitution (modifiers, flags, tag flags, joined sequences), paragraph and line
// separators as text and as references, scripts that cost more to shape than Latin (with the
// desktop's fonts, or with none), Chinese, Japanese and Korean as people write them and as they
// can be made dear (thousands of different letters, a stretch a line may not break, the
// punctuation and forms of their blocks), variation selectors, format controls and bidi
// isolates.
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
        {QStringLiteral("chinese"), repeatedTo(chineseText())},
        {QStringLiteral("japanese"), repeatedTo(japaneseText())},
        {QStringLiteral("chinese-prose"), chineseProse()},
        {QStringLiteral("japanese-prose"), japaneseProse()},
        {QStringLiteral("korean-prose"), koreanProse()},
        {QStringLiteral("different-han-letters"), distinctLetters(0x4E00, 20000, 20000)},
        {QStringLiteral("hangul-without-spaces"), distinctLetters(0xAC00, 11172, 20000)},
        {QStringLiteral("cjk-punctuation"), repeatedTo(QStringLiteral("\u3002\uFF0C\u300C\u300D"))},
        {QStringLiteral("length-marks"), repeatedTo(QStringLiteral("\u30FC"))},
        {QStringLiteral("full-width-letters"), distinctLetters(0xFF21, 26, 20000)},
        {QStringLiteral("thai-with-english"), repeatedTo(thaiWithEnglishTerms() + QStringLiteral(" "))},
        {QStringLiteral("han-variation-selectors"),
         repeatedTo(codePoints({0x845B, 0xE0100, 0x8FBB, 0xE0101}))},
        {QStringLiteral("hieroglyph-format-controls"),
         repeatedTo(codePoints({0x13000, 0x13430, 0x13001, 0x13431, 0x13002}))},
        {QStringLiteral("closed-isolates"), repeatedTo(QStringLiteral("\u2067\u05D0\u2069 "))},
        // What takes no room but makes Qt search the fonts it falls back to where the
        // application's font lacks it, 10,000 of one each with a space after it: the Hangul
        // fillers (drawn by a Korean font, or by none), a reserved code point, a tag.
        {QStringLiteral("hangul-fillers"), QStringLiteral("\u3164 ").repeated(10000)},
        {QStringLiteral("halfwidth-hangul-fillers"), QStringLiteral("\uFFA0 ").repeated(10000)},
        {QStringLiteral("reserved-invisibles"), QStringLiteral("\uFFF0 ").repeated(10000)},
        {QStringLiteral("tags"), (codePoints({0xE0067}) + u' ').repeated(10000)},
        {QStringLiteral("private-use-marks"), repeatedTo(QStringLiteral("\uE000\u0301"), 100000)},
        // One word a line may not break: Qt looks at the rest of it for each line it breaks
        // anywhere, at the cap of text 50 to 70 ms a card, and 600 where each letter is wider
        // than a line. Joined by no-break spaces, word joiners and non-breaking hyphens, of
        // symbols that break as letters do, of script changes.
        {QStringLiteral("unbroken-letters"), repeatedTo(QStringLiteral("a"))},
        {QStringLiteral("unbroken-hex-digits"), repeatedTo(QStringLiteral("0123456789abcdef"))},
        {QStringLiteral("words-joined-by-no-break-spaces"), repeatedTo(QStringLiteral("abcdefghi\u00A0"))},
        {QStringLiteral("words-joined-by-word-joiners"), repeatedTo(QStringLiteral("abcdefghi\u2060"))},
        {QStringLiteral("words-joined-by-non-breaking-hyphens"),
         repeatedTo(QStringLiteral("abcdefghi\u2011"))},
        {QStringLiteral("runs-joined-by-no-break-spaces"), repeatedTo(QStringLiteral("a\u03B1\u00A0"))},
        {QStringLiteral("unbroken-hexagrams"), distinctLetters(0x4DC0, 64, 20000)},
        {QStringLiteral("unbroken-box-drawing"), distinctLetters(0x2500, 128, 20000)},
        {QStringLiteral("unbroken-wide-ligatures"), repeatedTo(QStringLiteral("\uFDFD"))},
        // Symbols only fonts far down the list Qt falls back to draw (musical symbols, 20 Latin
        // letters each), or none does (Ottoman Siyaq numbers, 34): Qt searches the fonts before
        // them for each.
        {QStringLiteral("musical-symbols"), wordsOf(spacedLetters(0x1D100, 39, 1), 8)},
        {QStringLiteral("symbols-no-font-draws"), wordsOf(spacedLetters(0x1ED01, 61, 1), 8)},
        {QStringLiteral("hexagrams"), wordsOf(spacedLetters(0x4DC0, 64, 1), 8)},
        {QStringLiteral("mathematical-alphanumerics"), wordsOf(spacedLetters(0x1D400, 52, 1), 8)},
        // What is no hostile text, and shows whole.
        {QStringLiteral("long-urls"), longUrls()},
        {QStringLiteral("long-words"), longWords()},
        {QStringLiteral("ordinary-symbols"), ordinarySymbols()},
    };
}

// One letter of each script Qt knows past Latin (the first of each, in their order), `count` of
// them at most, each with a space after it: text that makes Qt look up and load a font for nearly
// every letter, where a desktop has fonts for many scripts.
inline QString lettersOfEveryScript(int count = 151) {
    std::map<int, char32_t> first;
    for (char32_t c = 0x80; c < 0x32000; ++c) {
        const QChar::Category category = QChar::category(c);
        if (category < QChar::Letter_Uppercase || category > QChar::Letter_Other) {
            continue;
        }
        if (QChar::script(c) > QChar::Script_Latin) {
            first.emplace(QChar::script(c), c);
        }
    }
    QString text;
    int taken = 0;
    for (const auto& [script, c] : first) {
        if (taken++ >= count) {
            break;
        }
        text += QString::fromUcs4(&c, 1) + u' ';
    }
    return text;
}

// `text` in each of `styles` styles a description may use (plain, bold, italic, both, larger,
// smaller, the sizes of a font's steps and of the headings, code, sub- and superscript, a size in
// pixels), a paragraph each: Qt loads each font a text needs again for each style.
inline QString inStyles(const QString& text, int styles) {
    static const std::vector<std::pair<const char*, const char*>> tags{
        {"", ""},
        {"<b>", "</b>"},
        {"<i>", "</i>"},
        {"<b><i>", "</i></b>"},
        {"<big>", "</big>"},
        {"<small>", "</small>"},
        {"<font size=1>", "</font>"},
        {"<font size=7>", "</font>"},
        {"<h1>", "</h1>"},
        {"<h2>", "</h2>"},
        {"<h3>", "</h3>"},
        {"<h5>", "</h5>"},
        {"<h6>", "</h6>"},
        {"<code>", "</code>"},
        {"<sub>", "</sub>"},
        {"<sup>", "</sup>"},
        {"<span style=\"font-size:21px\">", "</span>"},
        {"<span style=\"font-size:9px\">", "</span>"}};
    QString html;
    for (int i = 0; i < styles && i < static_cast<int>(tags.size()); ++i) {
        html += QStringLiteral("<p>") + QLatin1String(tags[i].first) + text + QLatin1String(tags[i].second) +
                QStringLiteral("</p>");
    }
    return html;
}

// A description of as many colour emoji as one view's budget buys, as a team's reactions.
inline QString budgetFillingEmoji() {
    return QStringLiteral("Release \U0001F680 ") +
           QStringLiteral("\U0001F44D\U0001F3FD\U0001F389\U0001F525 ").repeated(100);
}

// A rocket in each cell of a table of 10 × 30: Qt lays a table's cells out three or four times.
inline QString emojiInTableCells() {
    QString grid = QStringLiteral("<table>");
    for (int row = 0; row < 30; ++row) {
        grid += QStringLiteral("<tr>") + (QStringLiteral("<td>\U0001F680</td>")).repeated(10) +
                QStringLiteral("</tr>");
    }
    return grid + QStringLiteral("</table>");
}

// Ratings and checklists of symbols a text font draws (a star, a check box, a heart with the text
// selector), some 2,000 characters.
inline QString ratingsAndChecklists() {
    return repeatedTo(QStringLiteral("\u2605\u2605\u2605\u2606 \u2610 done \u2764\uFE0E "), 2000);
}

// The family that draws Han here (Droid Sans Fallback, a Noto CJK family, or none: empty).
inline QString hanFamily() {
    const QStringList families = familiesDrawing(QStringLiteral("\u4E2D"));
    return families.isEmpty() || families.front().isEmpty() ? QString() : families.front();
}

// Names of the same kinds, as a task row shows them.
inline std::vector<std::pair<QString, QString>> desktopFontNames() {
    return {
        {QStringLiteral("flags"),
         QStringLiteral("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7\U0001F1EF\U0001F1F5").repeated(25)},
        {QStringLiteral("toned-thumbs"), QStringLiteral("\U0001F44D\U0001F3FD").repeated(100)},
        {QStringLiteral("reactions"), reactions().repeated(10)},
        {QStringLiteral("latin"), QStringLiteral("Fix the importer for large files ").repeated(10)},
        {QStringLiteral("unbroken-letters"), QStringLiteral("a").repeated(300)},
        {QStringLiteral("musical-symbols"), wordsOf(spacedLetters(0x1D100, 39, 1), 8, 300)},
    };
}

} // namespace velmora::test
