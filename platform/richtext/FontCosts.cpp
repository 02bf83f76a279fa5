#include "platform/richtext/FontCosts.h"

#include "platform/richtext/CjkFontCoverage.h"
#include "platform/richtext/Pictographs.h"
#include "platform/richtext/ShapingCost.h"

#include <QChar>
#include <QCoreApplication>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QHash>
#include <QRawFont>
#include <QTextLayout>
#include <QThread>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <limits>
#include <memory>
#include <vector>

namespace velmora {

namespace {

// What a letter no font draws costs: Qt searches every fallback font for it, some 5 to 6 µs.
constexpr int missingGlyph = 24;
// One picture of a colour emoji font, some 80 µs.
constexpr int colourGlyph = 320;

// What a letter of `script` costs to shape with a desktop's fonts (the Noto families), measured:
// the scripts listed below by measure, any other (rarer ones, mostly drawn by no font, which costs
// Qt a search of every fallback font for each letter) as a letter no font has.
int measuredScriptCost(QChar::Script script) {
    switch (script) {
    case QChar::Script_Common:
    case QChar::Script_Inherited:
    case QChar::Script_Latin:
    case QChar::Script_Greek:
    case QChar::Script_Cyrillic:
    case QChar::Script_Armenian:
    case QChar::Script_Hebrew:
    case QChar::Script_Thaana:
    case QChar::Script_Tamil:
    case QChar::Script_Thai:
    case QChar::Script_Georgian:
    case QChar::Script_Ethiopic:
    case QChar::Script_Cherokee:
    case QChar::Script_Ogham:
    case QChar::Script_Khmer:
    case QChar::Script_Yi:
        return 1;
    case QChar::Script_Arabic:
    case QChar::Script_Devanagari:
    case QChar::Script_Bengali:
    case QChar::Script_Gurmukhi:
    case QChar::Script_Gujarati:
    case QChar::Script_Oriya:
    case QChar::Script_Telugu:
    case QChar::Script_Kannada:
    case QChar::Script_Malayalam:
    case QChar::Script_Sinhala:
    case QChar::Script_CanadianAboriginal:
    case QChar::Script_OldItalic:
    case QChar::Script_Lisu:
    case QChar::Script_WarangCiti:
    case QChar::Script_Adlam:
        return 2;
    case QChar::Script_Tifinagh:
    case QChar::Script_OlChiki:
    case QChar::Script_HanifiRohingya:
        return 3;
    case QChar::Script_Nko:
    case QChar::Script_SoraSompeng:
    case QChar::Script_OldHungarian:
        return 4;
    case QChar::Script_Lao:
    case QChar::Script_Myanmar:
    case QChar::Script_Avestan:
    case QChar::Script_Marchen:
    case QChar::Script_Newa:
    case QChar::Script_ZanabazarSquare:
        return 6;
    case QChar::Script_Syriac:
    case QChar::Script_Mongolian:
    case QChar::Script_LinearB:
    case QChar::Script_KayahLi:
    case QChar::Script_Chakma:
    case QChar::Script_Takri:
    case QChar::Script_Khojki:
    case QChar::Script_Ahom:
    case QChar::Script_Bhaiksuki:
        return 8;
    case QChar::Script_Tibetan:
    case QChar::Script_Deseret:
    case QChar::Script_Buhid:
    case QChar::Script_Coptic:
    case QChar::Script_NewTaiLue:
    case QChar::Script_SylotiNagri:
    case QChar::Script_Kharoshthi:
    case QChar::Script_Carian:
    case QChar::Script_Cham:
    case QChar::Script_TaiTham:
    case QChar::Script_Bamum:
    case QChar::Script_MeeteiMayek:
    case QChar::Script_Kaithi:
    case QChar::Script_Mandaic:
    case QChar::Script_Sharada:
    case QChar::Script_CaucasianAlbanian:
    case QChar::Script_Siddham:
    case QChar::Script_AnatolianHieroglyphs:
    case QChar::Script_Tangut:
        return 12;
    case QChar::Script_Runic:
    case QChar::Script_Gothic:
    case QChar::Script_Hanunoo:
    case QChar::Script_Limbu:
    case QChar::Script_Cypriot:
    case QChar::Script_Buginese:
    case QChar::Script_OldPersian:
    case QChar::Script_Cuneiform:
    case QChar::Script_Sundanese:
    case QChar::Script_Lycian:
    case QChar::Script_EgyptianHieroglyphs:
    case QChar::Script_ImperialAramaic:
    case QChar::Script_OldSouthArabian:
    case QChar::Script_InscriptionalParthian:
    case QChar::Script_InscriptionalPahlavi:
    case QChar::Script_Brahmi:
    case QChar::Script_MeroiticCursive:
    case QChar::Script_Miao:
    case QChar::Script_PahawhHmong:
    case QChar::Script_LinearA:
    case QChar::Script_Mahajani:
    case QChar::Script_Manichaean:
    case QChar::Script_MendeKikakui:
    case QChar::Script_Modi:
    case QChar::Script_Mro:
    case QChar::Script_Khudawadi:
    case QChar::Script_Tirhuta:
    case QChar::Script_Hatran:
    case QChar::Script_Multani:
        return 16;
    case QChar::Script_Palmyrene:
    case QChar::Script_PauCinHau:
    case QChar::Script_Yezidi:
    case QChar::Script_CyproMinoan:
    case QChar::Script_OldUyghur:
        return 32;
    case QChar::Script_Javanese:
        return 40;
    case QChar::Script_Grantha:
        return 150;
    default:
        // The rest of Han, Hangul and kana (those above the Basic Multilingual Plane, which few
        // fonts draw), and the scripts no font here draws.
        return missingGlyph;
    }
}

// The costs measured on a desktop's fonts, fixed: Han, kana and Hangul drawn by a CJK font or by
// none, pictures by a colour emoji font, every other script by what its Noto font cost.
class MeasuredFontCosts final : public FontCosts {
public:
    explicit MeasuredFontCosts(const CjkFontCoverage& cjk) : m_cjk(cjk) {}

    int findingCost(char32_t) override { return 0; }

    GlyphCost cost(char32_t c, int* found) override {
        if (found) {
            *found = 0;
        }
        if (c < 0x80) {
            return {};
        }
        if (isPictograph(c) || isRegionalIndicator(c)) {
            return {colourGlyph, 0, noFont, true};
        }
        if (CjkFontCoverage::isCjk(c)) {
            if (!m_cjk.draws(c)) {
                return {missingGlyph, 0, noFont, false};
            }
            const QChar::Script script = QChar::script(c);
            // The few hundred kana cost little to load all; Han and Hangul, thousands each, load
            // each letter new to the text.
            if (script == QChar::Script_Hiragana || script == QChar::Script_Katakana) {
                return {2, 0, noFont, false};
            }
            return {script == QChar::Script_Hangul ? 2 : 3,
                    script == QChar::Script_Hangul || script == QChar::Script_Han ? 6 : 0, noFont, false};
        }
        switch (QChar::category(c)) {
        case QChar::Other_PrivateUse:
            return {28, 0, noFont, false};
        case QChar::Other_NotAssigned:
            // Newer than Qt's Unicode (its pictures are counted apart): drawn by few fonts.
            return {missingGlyph, 0, noFont, false};
        default:
            break;
        }
        const QChar::Script script = QChar::script(c);
        if (c >= 0x10000 && script == QChar::Script_Common) {
            // The symbols above the Basic Multilingual Plane are drawn by fonts far down the list
            // Qt falls back to, or by none; the mathematical letters the common fonts draw cost
            // little more than Latin ones.
            return {c >= 0x1D400 && c <= 0x1D7FF ? 2 : missingGlyph, 0, noFont, false};
        }
        return {measuredScriptCost(script), 0, noFont, false};
    }

    int loadingCost(int, const QFont&) override { return 0; }
    int load(int, const QFont&, char32_t) override { return 0; }
    QString family(int) const override { return {}; }

private:
    const CjkFontCoverage& m_cjk;
};

qint64 threadNanoseconds() {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Units from nanoseconds, rounded up.
int unitsOf(qint64 nanoseconds) {
    const qint64 units = (std::max<qint64>(nanoseconds, 0) * FontCosts::unitsPerMicrosecond + 999) / 1000;
    return static_cast<int>(std::min<qint64>(units, std::numeric_limits<int>::max() / 4));
}

// `text` laid out on one line in `font`, as a view lays out a line of it: what that costs Qt,
// which finds and loads the fonts it needs on the way. The layout is returned for its runs.
struct Laid {
    std::unique_ptr<QTextLayout> layout;
    qint64 nanoseconds = 0;
};

Laid layOut(const QString& text, const QFont& font) {
    // As wide as a description's view: what breaking the lines costs is part of what a glyph
    // costs, the more the wider it is.
    constexpr qreal lineWidth = 400;
    Laid laid;
    const qint64 start = threadNanoseconds();
    laid.layout = std::make_unique<QTextLayout>(text, font);
    laid.layout->beginLayout();
    for (QTextLine line = laid.layout->createLine(); line.isValid(); line = laid.layout->createLine()) {
        line.setLineWidth(lineWidth);
    }
    laid.layout->endLayout();
    laid.nanoseconds = threadNanoseconds() - start;
    return laid;
}

qint64 layOutTime(const QString& text, const QFont& font) {
    return layOut(text, font).nanoseconds;
}

// Whether `font` draws its glyphs as pictures in colour: bitmaps (CBDT, sbix) or layers (COLR).
bool drawsInColour(const QRawFont& font) {
    return !font.fontTable("CBDT").isEmpty() || !font.fontTable("sbix").isEmpty() ||
           !font.fontTable("COLR").isEmpty();
}

// The scripts of thousands of letters, each of which Qt loads the first time it lays it out.
bool hasThousandsOfLetters(QChar::Script script) {
    switch (script) {
    case QChar::Script_Han:
    case QChar::Script_Hangul:
    case QChar::Script_Yi:
    case QChar::Script_Tangut:
    case QChar::Script_Nushu:
    case QChar::Script_KhitanSmallScript:
    case QChar::Script_EgyptianHieroglyphs:
    case QChar::Script_Cuneiform:
    case QChar::Script_AnatolianHieroglyphs:
    case QChar::Script_Bamum:
        return true;
    default:
        return false;
    }
}

// The scripts Qt draws only with a font whose substitutions (GSUB) name them, and their tags
// there (the newer Indic ones first). For a letter of one of them, Qt checks the fonts it finds, and
// where none is fit, every family installed before it draws hollow boxes: seventy milliseconds
// and more, in each style anew (Noto Sans Thaana names no script of its own, and so Thaana costs
// that on a desktop of the Noto fonts).
std::vector<QByteArray> openTypeTags(QChar::Script script) {
    switch (script) {
    case QChar::Script_Syriac:
        return {"syrc"};
    case QChar::Script_Thaana:
        return {"thaa"};
    case QChar::Script_Devanagari:
        return {"dev2", "deva"};
    case QChar::Script_Bengali:
        return {"bng2", "beng"};
    case QChar::Script_Gurmukhi:
        return {"gur2", "guru"};
    case QChar::Script_Gujarati:
        return {"gjr2", "gujr"};
    case QChar::Script_Oriya:
        return {"ory2", "orya"};
    case QChar::Script_Tamil:
        return {"tml2", "taml"};
    case QChar::Script_Telugu:
        return {"tel2", "telu"};
    case QChar::Script_Kannada:
        return {"knd2", "knda"};
    case QChar::Script_Malayalam:
        return {"mlm2", "mlym"};
    case QChar::Script_Sinhala:
        return {"sinh"};
    case QChar::Script_Khmer:
        return {"khmr"};
    case QChar::Script_Nko:
        return {"nko "};
    default:
        return {};
    }
}

// Whether the script list of a GSUB table names one of `tags`.
bool namesScript(const QByteArray& gsub, const std::vector<QByteArray>& tags) {
    auto word = [&gsub](qsizetype at) {
        return at + 2 <= gsub.size()
                   ? (static_cast<unsigned char>(gsub[at]) << 8) | static_cast<unsigned char>(gsub[at + 1])
                   : -1;
    };
    const int list = word(4);
    const int count = list < 0 ? -1 : word(list);
    for (int i = 0; i < count; ++i) {
        const qsizetype record = list + 2 + 6 * qsizetype(i);
        if (record + 4 > gsub.size()) {
            return false;
        }
        const QByteArray tag = gsub.mid(record, 4);
        if (std::find(tags.begin(), tags.end(), tag) != tags.end()) {
            return true;
        }
    }
    return false;
}

// Whether a font installed has `c` and is fit for Qt to shape its script (see openTypeTags), told
// from the fonts' own tables (fontconfig lists them, their files are read apart), without asking
// Qt, whose look-up is what would cost.
bool aFontShapes(char32_t c, const std::vector<QByteArray>& tags) {
    FcCharSet* characters = FcCharSetCreate();
    FcCharSetAddChar(characters, static_cast<FcChar32>(c));
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddCharSet(pattern, FC_CHARSET, characters);
    FcObjectSet* objects = FcObjectSetBuild(FC_FILE, nullptr);
    FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
    bool shapes = false;
    // The first few are as good as all: the fonts of a script come in a family or two.
    for (int i = 0; fonts && i < fonts->nfont && i < 16 && !shapes; ++i) {
        FcChar8* file = nullptr;
        if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) != FcResultMatch || !file) {
            continue;
        }
        const QRawFont font(QString::fromLocal8Bit(reinterpret_cast<const char*>(file)), 12);
        shapes = font.isValid() && (namesScript(font.fontTable("GSUB"), tags) ||
                                    !font.fontTable("morx").isEmpty() || !font.fontTable("mort").isEmpty());
    }
    if (fonts) {
        FcFontSetDestroy(fonts);
    }
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    FcCharSetDestroy(characters);
    return shapes;
}

// Which characters of the Basic Multilingual Plane a font has, looked up a block of 256 at a time
// when a character of the block is first asked about: one look at its character map for the block.
class Coverage {
public:
    bool has(const QRawFont& font, char32_t c) {
        if (c > 0xFFFF) {
            return font.supportsCharacter(static_cast<uint>(c));
        }
        std::unique_ptr<Block>& block = m_blocks[c >> 8];
        if (!block) {
            block = std::make_unique<Block>();
            QString characters;
            characters.reserve(256);
            const char16_t first = static_cast<char16_t>(c & 0xFF00);
            for (int i = 0; i < 256; ++i) {
                const char16_t unit = static_cast<char16_t>(first + i);
                // Halves of surrogate pairs are no characters; they are looked at alone.
                characters += QChar::isSurrogate(unit) ? QChar(u' ') : QChar(unit);
            }
            const QList<quint32> glyphs = font.glyphIndexesForString(characters);
            for (qsizetype i = 0; i < glyphs.size() && i < 256; ++i) {
                if (glyphs[i] != 0 && !QChar::isSurrogate(static_cast<char16_t>(first + i))) {
                    block->bits[static_cast<std::size_t>(i) / 64] |= std::uint64_t{1} << (i % 64);
                }
            }
        }
        const unsigned low = c & 0xFF;
        return (block->bits[low / 64] >> (low % 64) & 1) != 0;
    }

private:
    struct Block {
        std::array<std::uint64_t, 4> bits{};
    };
    std::array<std::unique_ptr<Block>, 256> m_blocks;
};

class LearntFontCosts final : public FontCosts {
public:
    LearntFontCosts() {
        m_base = QGuiApplication::font();
        // The font of Latin letters, found and kept first: most text is of it, and what a new
        // style of it costs is what every text in a new style pays at least.
        m_primary = fontOf(U'a');
        if (m_primary >= 0) {
            QFont bold = m_base;
            bold.setBold(!bold.bold());
            m_fonts[static_cast<std::size_t>(m_primary)].styled = load(m_primary, bold, U'a');
        }
        m_fontsFound = 0;
        m_foundSpent = 0;
    }

    int findingCost(char32_t c) override {
        if (c < 0x80 || known(c) != unknown) {
            return 0;
        }
        return findingEstimate();
    }

    GlyphCost cost(char32_t c, int* found) override {
        if (found) {
            *found = 0;
        }
        if (c < 0x80) {
            return m_primary >= 0 ? glyphOf(m_primary, c) : GlyphCost{};
        }
        int font = known(c);
        if (font == unknown) {
            const qint64 start = threadNanoseconds();
            font = unfitScript(c);
            if (font == unknown) {
                font = fontOf(c);
            }
            const int spent = unitsOf(threadNanoseconds() - start);
            m_foundSpent += spent;
            ++m_fontsFound;
            if (found) {
                *found = spent;
            }
        }
        return glyphOf(font, c);
    }

    int loadingCost(int font, const QFont& style) override {
        const int index = font >= 0 ? font : m_primary;
        if (index < 0 || isLoaded(index, style)) {
            return 0;
        }
        return m_fonts[static_cast<std::size_t>(index)].styled;
    }

    int load(int font, const QFont& style, char32_t c) override {
        const int index = font >= 0 ? font : m_primary;
        if (index < 0) {
            return 0;
        }
        const int spent = unitsOf(layOutTime(QString::fromUcs4(&c, 1), style));
        Font& loaded = m_fonts[static_cast<std::size_t>(index)];
        // What a new style costs moves with what the last ones cost, never far below.
        loaded.styled = std::max(spent, (loaded.styled + spent + 1) / 2);
        Style& kept = keptStyle(style);
        kept.fonts.push_back(index);
        return spent;
    }

    QString family(int font) const override {
        return font >= 0 && font < static_cast<int>(m_fonts.size())
                   ? m_fonts[static_cast<std::size_t>(font)].family
                   : QString();
    }

private:
    // A font found: what it costs each time a glyph of it is laid out, and the first time a text
    // holds one, what finding it took, and what loading it in another style takes.
    struct Font {
        QString family;
        // Kept: what Qt loaded for it stays loaded.
        QRawFont raw;
        Coverage coverage;
        int each = 1;
        int first = 0;
        int styled = 0;
        bool colour = false;
        // Where no font has the letters (or Qt found none fit for the script): the search for one
        // costs, for the script of the letter that found it so.
        bool drawsNothing = false;
        QChar::Script script = QChar::Script_Unknown;
    };
    // A style laid out in, kept with its fonts loaded while it is among the last used.
    struct Style {
        QFont font;
        std::vector<int> fonts;
        quint64 used = 0;
    };

    static constexpr int unknown = -3;
    // The styles kept: a text of many styles loads each again, and what is not kept is priced
    // again when it is next used.
    static constexpr int maxStyles = 24;
    // The characters found one by one (symbols, letters their script's font lacks).
    static constexpr int maxCharacters = 16384;

    int findingEstimate() const {
        // What finding a font has cost so far, and no more than most fonts take, a couple of
        // milliseconds: a dear one (a colour emoji font, a Han font of thousands of glyphs) makes
        // the average no price of the next. What it took is spent once it is found.
        constexpr int most = 2000 * unitsPerMicrosecond;
        return m_fontsFound > 0 ? static_cast<int>(std::min<qint64>(m_foundSpent / m_fontsFound, most))
                                : most;
    }

    GlyphCost glyphOf(int font, char32_t) const {
        if (font < 0) {
            return {};
        }
        const Font& found = m_fonts[static_cast<std::size_t>(font)];
        return {found.each, found.first, font, found.colour};
    }

    static bool isLetterOfScript(char32_t c) {
        const QChar::Script script = QChar::script(c);
        return script != QChar::Script_Common && script != QChar::Script_Inherited &&
               script != QChar::Script_Unknown;
    }

    // The font of `c` if it is known without laying anything out, else `unknown`.
    int known(char32_t c) {
        const auto found = m_characters.constFind(c);
        if (found != m_characters.constEnd()) {
            return *found;
        }
        if (isLetterOfScript(c)) {
            const auto script = m_scripts.constFind(QChar::script(c));
            if (script != m_scripts.constEnd()) {
                Font& font = m_fonts[static_cast<std::size_t>(*script)];
                // Where no font draws a letter of the script, none draws the others either.
                if (font.drawsNothing || font.coverage.has(font.raw, c)) {
                    return *script;
                }
            }
            return unknown;
        }
        if (m_primary >= 0) {
            Font& primary = m_fonts[static_cast<std::size_t>(m_primary)];
            if (primary.coverage.has(primary.raw, c)) {
                return m_primary;
            }
        }
        // A picture too is asked about once: the fonts Qt falls back to before the colour emoji
        // font (the symbol fonts, a sans font's faces) draw many of those it has.
        return unknown;
    }

    // For a letter of a script Qt shapes only with a font fit for it, where no font installed is:
    // a font of none, as dear a glyph as Qt's check of every family, so that no text lets Qt make
    // it. Else `unknown`, for Qt to be asked.
    int unfitScript(char32_t c) {
        const QChar::Script script = QChar::script(c);
        const std::vector<QByteArray> tags = openTypeTags(script);
        if (tags.empty() || aFontShapes(c, tags)) {
            return unknown;
        }
        // What Qt's check of the families of a desktop costs, some seventy milliseconds.
        constexpr int checkOfEveryFamily = 70000 * unitsPerMicrosecond;
        const int index = static_cast<int>(m_fonts.size());
        m_fonts.emplace_back();
        Font& unfit = m_fonts.back();
        unfit.drawsNothing = true;
        unfit.script = script;
        unfit.each = checkOfEveryFamily;
        unfit.styled = checkOfEveryFamily;
        m_scripts.insert(script, index);
        return index;
    }

    // Finds the font that draws `c` by laying it out, and learns what it costs if it is new.
    int fontOf(char32_t c) {
        const QString text = QString::fromUcs4(&c, 1);
        const Laid laid = layOut(text, m_base);
        QRawFont raw;
        bool drawn = false;
        for (const QGlyphRun& run : laid.layout->glyphRuns()) {
            const QList<quint32> glyphs = run.glyphIndexes();
            if (glyphs.isEmpty()) {
                continue;
            }
            raw = run.rawFont();
            // Qt draws a hollow box without a font (its box engine has no size) for a script no
            // font qualifies for, and glyph 0 of its first font for a letter none has.
            drawn = glyphs.front() != 0 && raw.isValid() && raw.pixelSize() > 0;
            break;
        }
        const QString family = drawn ? raw.familyName() : QString();
        // What searching every fallback font costs depends on the fonts Qt falls back to for the
        // script: none is found apart for each script.
        const QChar::Script script = QChar::script(c);
        int index = -1;
        for (std::size_t i = 0; i < m_fonts.size(); ++i) {
            if (m_fonts[i].family == family && m_fonts[i].drawsNothing == !drawn &&
                (drawn || m_fonts[i].script == script)) {
                index = static_cast<int>(i);
                break;
            }
        }
        if (index < 0) {
            index = static_cast<int>(m_fonts.size());
            m_fonts.emplace_back();
            Font& font = m_fonts.back();
            font.family = family;
            font.raw = raw;
            font.script = script;
            font.drawsNothing = !drawn;
            font.colour = drawn && drawsInColour(raw);
            measure(font, c, drawn);
            // Loading it in another style costs what finding it did, until that is measured.
            font.styled = unitsOf(laid.nanoseconds);
        }
        // A letter above the Basic Multilingual Plane no font draws (a rare extension of Han) says
        // nothing of its script's other letters.
        const bool telling = drawn || c <= 0xFFFF;
        if (isLetterOfScript(c) && telling && !m_scripts.contains(QChar::script(c))) {
            m_scripts.insert(QChar::script(c), index);
        } else {
            if (m_characters.size() >= maxCharacters) {
                m_characters.clear();
            }
            m_characters.insert(c, index);
        }
        return index;
    }

    // Letters of the script of `c` that `font` draws, from `c` on, each with a mark of the script
    // after it where the script has marks (vowel signs, subjoined letters: what its fonts shape
    // into clusters, and what its text costs): a sample of what text of it holds. A symbol stands
    // for itself.
    std::vector<QString> sampleOf(Font& font, char32_t c, int count, char32_t from) {
        std::vector<QString> sample;
        if (font.colour) {
            // Pictures differ in what decoding them costs: a few of them, spread over the blocks.
            sample.push_back(QString::fromUcs4(&c, 1));
            for (char32_t at = 0x1F300; at < 0x1F700 && static_cast<int>(sample.size()) < 8; at += 53) {
                if (at != c && font.coverage.has(font.raw, at)) {
                    sample.push_back(QString::fromUcs4(&at, 1));
                }
            }
            return sample;
        }
        if (!isLetterOfScript(c) || font.drawsNothing) {
            sample.push_back(QString::fromUcs4(&c, 1));
            return sample;
        }
        const QChar::Script script = QChar::script(c);
        std::vector<char32_t> marks;
        const char32_t low = (c & ~char32_t{0x7F}) >= 0x100 ? (c & ~char32_t{0x7F}) - 0x100 : 0;
        for (char32_t at = low; at < low + 0x300 && marks.size() < 8; ++at) {
            const QChar::Category category = QChar::category(at);
            if (QChar::script(at) == script &&
                (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining) &&
                font.coverage.has(font.raw, at)) {
                marks.push_back(at);
            }
        }
        for (char32_t at = from;
             at < from + 0x2000 && at <= 0x10FFFF && static_cast<int>(sample.size()) < count; ++at) {
            const QChar::Category category = QChar::category(at);
            if (QChar::script(at) == script && category >= QChar::Letter_Uppercase &&
                category <= QChar::Letter_Other && font.coverage.has(font.raw, at)) {
                QString unit = QString::fromUcs4(&at, 1);
                if (!marks.empty()) {
                    unit += QString::fromUcs4(&marks[sample.size() % marks.size()], 1);
                }
                sample.push_back(unit);
            }
        }
        if (sample.empty()) {
            sample.push_back(QString::fromUcs4(&c, 1));
        }
        return sample;
    }

    static QString textOf(const std::vector<QString>& sample, int times) {
        QString text;
        for (int i = 0; i < times; ++i) {
            for (const QString& unit : sample) {
                text += unit;
            }
        }
        return text;
    }

    // What a glyph of `font` costs each time, from the least of a few layouts of a sample and of
    // twice it (so what a layout costs apart from its glyphs falls out), and, where the script has
    // thousands of letters, what a letter new to the layout costs besides.
    void measure(Font& font, char32_t c, bool drawn) {
        const std::vector<QString> sample = sampleOf(font, c, 16, c);
        // Enough glyphs to take a tenth of a millisecond or so, and no more than a few hundred.
        int times = 1;
        qint64 once = layOutTime(textOf(sample, times), m_base);
        while (once < 60000 && static_cast<int>(sample.size()) * times < 256) {
            times *= 2;
            once = layOutTime(textOf(sample, times), m_base);
        }
        const QString single = textOf(sample, times);
        const qsizetype glyphs = static_cast<qsizetype>(sample.size()) * times;
        qint64 least = 0;
        if (once > 400000) {
            // Dear glyphs: what a layout costs apart from them is a few percent; the lesser of
            // two layouts is what they cost.
            least = std::min(once, layOutTime(single, m_base));
        } else {
            // The least of a sample and of twice it, each apart (a layout held up once never
            // makes their difference look small): what a layout costs apart from its glyphs falls
            // out.
            const QString twice = textOf(sample, 2 * times);
            qint64 one = std::numeric_limits<qint64>::max();
            qint64 two = std::numeric_limits<qint64>::max();
            for (int round = 0; round < 3; ++round) {
                one = std::min(one, layOutTime(single, m_base));
                two = std::min(two, layOutTime(twice, m_base));
            }
            least = std::max<qint64>(two - one, 0);
        }
        font.each = std::max(1, unitsOf(least / std::max<qsizetype>(glyphs, 1)));
        if (drawn && hasThousandsOfLetters(QChar::script(c))) {
            // Letters far from those laid out so far, laid out for the first time and again.
            const std::vector<QString> fresh = sampleOf(font, c, 32, c + 0x400);
            if (fresh.size() >= 16) {
                const QString text = textOf(fresh, 1);
                const qint64 first = layOutTime(text, m_base);
                const qint64 again = std::min(layOutTime(text, m_base), layOutTime(text, m_base));
                font.first = unitsOf((first - again) / static_cast<qint64>(fresh.size()));
            }
        }
    }

    bool isLoaded(int font, const QFont& style) {
        const QString key = style.key();
        if (style == m_base) {
            // Every font is found in the application's own font.
            return true;
        }
        const auto kept = m_styles.find(key);
        if (kept == m_styles.end()) {
            return false;
        }
        kept->used = ++m_clock;
        return std::find(kept->fonts.begin(), kept->fonts.end(), font) != kept->fonts.end();
    }

    Style& keptStyle(const QFont& style) {
        const QString key = style.key();
        auto kept = m_styles.find(key);
        if (kept == m_styles.end()) {
            if (m_styles.size() >= maxStyles) {
                // The one used longest ago goes: what it loaded may go too, and is priced again.
                auto oldest = m_styles.begin();
                for (auto it = m_styles.begin(); it != m_styles.end(); ++it) {
                    if (it->used < oldest->used) {
                        oldest = it;
                    }
                }
                m_styles.erase(oldest);
            }
            kept = m_styles.insert(key, Style{style, {}, 0});
        }
        kept->used = ++m_clock;
        return *kept;
    }

    QFont m_base;
    std::vector<Font> m_fonts;
    QHash<int, int> m_scripts;
    QHash<char32_t, int> m_characters;
    QHash<QString, Style> m_styles;
    quint64 m_clock = 0;
    int m_primary = -1;
    // What finding fonts has cost, and how many were found, for the price of the next.
    qint64 m_foundSpent = 0;
    int m_fontsFound = 0;
};

bool onTheFontsThread() {
    // Fonts are Qt GUI's: without its application there are none to ask, and from another thread
    // what is loaded is that thread's, not what the views lay out with.
    const auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    return application && QThread::currentThread() == application->thread();
}

} // namespace

bool loadFont(char32_t c, const QFont& style, qint64& budget, FontCosts& fonts, bool* first) {
    // What takes no room of its own (marks, joiners, selectors) is drawn with its letter.
    if (ShapingCost::costWithoutFont(c) >= 0 || QChar::isSpace(c)) {
        return true;
    }
    // The first font a line needs is loaded whatever it costs, once: else a font dearer to load
    // than the budget would never be drawn.
    const bool free = first && *first;
    const int finding = fonts.findingCost(c);
    if (finding > 0 && finding > budget && !free) {
        return false;
    }
    int found = 0;
    const int font = fonts.cost(c, &found).font;
    budget -= found;
    const int loading = fonts.loadingCost(font, style);
    if (loading > 0) {
        if (loading > budget && !free) {
            return false;
        }
        budget -= fonts.load(font, style, c);
    }
    if (first && (found > 0 || loading > 0)) {
        *first = false;
    }
    return true;
}

qsizetype loadFonts(QStringView text, const QFont& style, qint64& budget, FontCosts& fonts, bool* first) {
    for (qsizetype i = 0; i < text.size();) {
        char32_t c = text[i].unicode();
        qsizetype length = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            length = 2;
        }
        if (!loadFont(c, style, budget, fonts, first)) {
            return i;
        }
        i += length;
    }
    return text.size();
}

namespace {
LearntFontCosts* learnt = nullptr;
} // namespace

FontCosts& FontCosts::measured(bool cjkFontDrawsHan) {
    static MeasuredFontCosts withCjkFont(CjkFontCoverage::all());
    static MeasuredFontCosts withoutCjkFont(CjkFontCoverage::none());
    return cjkFontDrawsHan ? static_cast<FontCosts&>(withCjkFont) : withoutCjkFont;
}

FontCosts& FontCosts::ofThisProcess() {
    if (!onTheFontsThread()) {
        return measured(false);
    }
    // Made on first use and kept while the application is: the fonts it keeps loaded are Qt's, and
    // are let go before the application clears its fonts, so none outlives it.
    if (!learnt) {
        learnt = new LearntFontCosts;
        qAddPostRoutine([] {
            delete learnt;
            learnt = nullptr;
        });
    }
    return *learnt;
}

} // namespace velmora
