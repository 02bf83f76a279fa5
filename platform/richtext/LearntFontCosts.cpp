#include "platform/richtext/LearntFontCosts.h"

#include "platform/richtext/FontFileTables.h"
#include "platform/richtext/LetterMarks.h"
#include "platform/richtext/MeasuredFontCosts.h"

#include <QChar>
#include <QFile>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QSet>
#include <QTextLayout>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <set>
#include <tuple>

#include <sys/stat.h>

namespace velmora {

namespace {

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

// The most font files whose tables are read to tell whether one shapes a script: the fonts of a
// script come in a family or two, and a folder listed many times over (a link to itself) lists
// the same files again.
constexpr int mostFilesRead = 64;

// Whether a font installed may have `c` and be fit for Qt to shape its script (see openTypeTags),
// told from the fonts' own tables (fontconfig lists them; of each file, a few kilobytes are read)
// without asking Qt, whose look-up is what would cost. Each file is read once however often it is
// listed. False only where every file listed was read and none is fit: past the files read, where
// a folder of fonts claiming every character comes first, what draws the script is learnt as any
// other font is, by laying it out. (Reading the fonts of fewest characters first would ask
// fontconfig for every listed font's characters: 8 to 16 ms a script among 250 such fonts.)
bool aFontShapes(char32_t c, const std::vector<QByteArray>& tags) {
    FcCharSet* characters = FcCharSetCreate();
    FcCharSetAddChar(characters, static_cast<FcChar32>(c));
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddCharSet(pattern, FC_CHARSET, characters);
    FcObjectSet* objects = FcObjectSetBuild(FC_FILE, FC_INDEX, nullptr);
    FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
    bool shapes = false;
    std::set<std::tuple<dev_t, ino_t, int>> read;
    const int listed = fonts ? fonts->nfont : 0;
    int i = 0;
    for (; i < listed && !shapes && static_cast<int>(read.size()) < mostFilesRead; ++i) {
        const FcPattern* font = fonts->fonts[i];
        FcChar8* file = nullptr;
        int index = 0;
        if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch || !file) {
            continue;
        }
        FcPatternGetInteger(font, FC_INDEX, 0, &index);
        // The face of a collection; past it, the instance of a variable font, which shares its
        // tables.
        const int face = index & 0xFFFF;
        struct stat status {};
        if (::stat(reinterpret_cast<const char*>(file), &status) != 0 ||
            !read.emplace(status.st_dev, status.st_ino, face).second) {
            continue;
        }
        FontFileTables tables;
        if (!tables.read(QFile::decodeName(reinterpret_cast<const char*>(file)), face)) {
            continue;
        }
        const std::vector<QByteArray>& scripts = tables.substitutionScripts();
        shapes = tables.has("morx") || tables.has("mort") ||
                 std::any_of(scripts.begin(), scripts.end(), [&tags](const QByteArray& script) {
                     return std::find(tags.begin(), tags.end(), script) != tags.end();
                 });
    }
    shapes = shapes || i < listed;
    if (fonts) {
        FcFontSetDestroy(fonts);
    }
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    FcCharSetDestroy(characters);
    return shapes;
}

// Whether `raw`, a font fontconfig does not list, draws its glyphs as pictures in colour (bitmaps,
// layers), from its own small tables (never the bitmaps themselves, megabytes in a colour emoji
// font).
bool tablesDrawInColour(const QRawFont& raw) {
    return !raw.fontTable("CBLC").isEmpty() || !raw.fontTable("COLR").isEmpty();
}

bool isLetterOfScript(char32_t c) {
    const QChar::Script script = QChar::script(c);
    return script != QChar::Script_Common && script != QChar::Script_Inherited &&
           script != QChar::Script_Unknown;
}

// The font Qt draws `c` with in `font`, laid out alone: glyph 0 of its first font where none has
// it, and a hollow box without a font (its box engine has no size) for a script no font is fit
// for; drawn is false for both.
struct Drawn {
    QRawFont raw;
    bool drawn = false;
};

Drawn drawnWith(char32_t c, const QFont& font) {
    QTextLayout layout(QString::fromUcs4(&c, 1), font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    Drawn found;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QList<quint32> glyphs = run.glyphIndexes();
        if (glyphs.isEmpty()) {
            continue;
        }
        found.raw = run.rawFont();
        found.drawn = glyphs.front() != 0 && found.raw.isValid() && found.raw.pixelSize() > 0;
        break;
    }
    return found;
}

qint64 threadNanoseconds() {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

qint64 layOutTime(const QString& text, const QFont& font) {
    const qint64 start = threadNanoseconds();
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    return threadNanoseconds() - start;
}

// Whether Qt searches most of the fonts it falls back to for `c` before it finds the font that
// draws it (as it does for Han where Droid Sans Fallback draws it, last but a few of 150): laid out
// in `font` in turns with Latin letters, each at the least of a few layouts, its glyphs cost many
// times what its script's price says. Not a time kept: a ratio to Latin letters laid out in the same
// moment (a font near the top of the list costs about its price, one near the end tens of times
// Latin), so a busy machine, which slows both alike, tells the same. A ratio within twice the line
// either way (Han on Droid Sans Fallback is some 28 times Latin, against 16) is taken again over
// more turns, against four times the Latin letters: on a machine busy with other processes that
// wake and sleep, a few short layouts of Latin were each slowed now and then, and the Han of a
// process so started showed other than that of a quiet one.
bool foundFarDown(char32_t c, int price, const QFont& font) {
    constexpr int glyphs = 96;
    const QString text = QString::fromUcs4(&c, 1).repeated(glyphs);
    const QString alphabet = QStringLiteral("abcdefghijklmnopqrstuvwxyz").repeated(16);
    const qint64 line = 4 * qint64(price) + 4;
    auto ratio = [&](int rounds, int latinLength) {
        const QString latin = alphabet.left(latinLength);
        qint64 least = std::numeric_limits<qint64>::max();
        qint64 reference = std::numeric_limits<qint64>::max();
        for (int round = 0; round < rounds; ++round) {
            reference = std::min(reference, layOutTime(latin, font));
            least = std::min(least, layOutTime(text, font));
        }
        return static_cast<double>(least) * latinLength /
               (static_cast<double>(std::max<qint64>(reference, 1)) * glyphs);
    };
    double measured = ratio(3, glyphs);
    if (measured > line / 2.0 && measured < 2.0 * line) {
        measured = ratio(7, 4 * glyphs);
    }
    return measured > static_cast<double>(line);
}

} // namespace

bool LearntFontCosts::Coverage::has(const QRawFont& font, char32_t c) {
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

LearntFontCosts::LearntFontCosts() : m_base(QGuiApplication::font()) {
    m_styles.reserve(maxStyles);
    // The font of Latin letters, found first: most text is of it.
    m_primary = fontOf(U'a');
}

LearntFontCosts::~LearntFontCosts() = default;

int LearntFontCosts::findingCost(char32_t c) {
    return c < 0x80 || m_recent[c & 0xFF].c == c || known(c) != unknown ? 0 : findingPrice;
}

GlyphCost LearntFontCosts::cost(char32_t c, int* found) {
    if (found) {
        *found = 0;
    }
    if (c < 0x80) {
        // What most text is: a Latin letter of the application's font.
        return {1, 0, m_primary, false};
    }
    Recent& recent = m_recent[c & 0xFF];
    if (recent.c == c) {
        return firstTime(recent.glyph, c);
    }
    int font = known(c);
    if (font == unknown) {
        const std::size_t before = m_fonts.size();
        font = unfitScript(c);
        if (font == unknown) {
            font = fontOf(c);
        }
        if (found) {
            *found = m_fonts.size() > before ? findingPrice : lookingPrice;
        }
    }
    // What a character's font is, once found, stays: so does its price.
    recent = {c, glyphOf(font, c)};
    return firstTime(recent.glyph, c);
}

GlyphCost LearntFontCosts::firstTime(GlyphCost glyph, char32_t c) {
    if (glyph.first <= 0 || glyph.font < 0 || c > 0xFFFF) {
        return glyph;
    }
    // Qt loads a glyph of a font of thousands the first time it lays it out, and keeps it: the
    // first text that holds it pays that, later ones do not.
    std::vector<std::uint64_t>& loaded = m_fonts[static_cast<std::size_t>(glyph.font)].loadedGlyphs;
    if (loaded.empty()) {
        loaded.assign(0x10000 / 64, 0);
    }
    std::uint64_t& word = loaded[c / 64];
    const std::uint64_t bit = std::uint64_t{1} << (c % 64);
    if ((word & bit) != 0) {
        glyph.first = 0;
    } else {
        word |= bit;
        glyph.first = glyphLoadingPrice;
    }
    return glyph;
}

int LearntFontCosts::loadingCost(int font, const QFont& style) {
    const int index = font >= 0 ? font : m_primary;
    if (index < 0 || isLoaded(index, style)) {
        return 0;
    }
    return m_fonts[static_cast<std::size_t>(index)].styled;
}

int LearntFontCosts::load(int font, const QFont& style, char32_t c) {
    const int index = font >= 0 ? font : m_primary;
    if (index < 0) {
        return 0;
    }
    // Qt loads it in the style as it lays the character out there; the style, kept, keeps it.
    drawnWith(c, style);
    keptStyle(style).fonts.push_back(index);
    return m_fonts[static_cast<std::size_t>(index)].styled;
}

QString LearntFontCosts::family(int font) const {
    return font >= 0 && font < static_cast<int>(m_fonts.size())
               ? m_fonts[static_cast<std::size_t>(font)].family
               : QString();
}

void LearntFontCosts::listFamilies() {
    if (m_families >= 0) {
        return;
    }
    // One pass over what fontconfig lists, whatever asks first: on a desktop of thousands of font
    // files each pass takes it a millisecond or more, and a process meets a new font now and then.
    FcPattern* pattern = FcPatternCreate();
    FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, FC_COLOR, nullptr);
    FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
    QSet<QString> first;
    for (int i = 0; fonts && i < fonts->nfont; ++i) {
        FcBool colour = FcFalse;
        const bool drawsColour =
            FcPatternGetBool(fonts->fonts[i], FC_COLOR, 0, &colour) == FcResultMatch && colour;
        FcChar8* family = nullptr;
        for (int name = 0;
             FcPatternGetString(fonts->fonts[i], FC_FAMILY, name, &family) == FcResultMatch && family;
             ++name) {
            const QString folded = QString::fromUtf8(reinterpret_cast<const char*>(family)).toCaseFolded();
            if (name == 0) {
                first.insert(folded);
            }
            m_listedFamilies.insert(folded);
            if (drawsColour) {
                m_colourFamilies.insert(folded);
            }
        }
    }
    if (fonts) {
        FcFontSetDestroy(fonts);
    }
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    // Qt falls back to each family once, by its first name, to 255 of them.
    m_families = std::min<int>(static_cast<int>(first.size()), 255);
}

bool LearntFontCosts::drawsInColour(const QString& family, const QRawFont& raw) {
    // As fontconfig learnt when it scanned the fonts of the family; where it lists no such family,
    // from the font's own tables.
    listFamilies();
    const QString folded = family.toCaseFolded();
    return m_listedFamilies.contains(folded) ? m_colourFamilies.contains(folded) : tablesDrawInColour(raw);
}

int LearntFontCosts::searchOfEveryFamily() {
    listFamilies();
    // Each family Qt checks for the character costs it some 30 ns: a Latin letter for every eight.
    return std::max(MeasuredFontCosts::invisible, (m_families + familiesPerUnit - 1) / familiesPerUnit);
}

bool LearntFontCosts::primaryHas(char32_t c) {
    if (m_primary < 0) {
        return false;
    }
    Font& primary = m_fonts[static_cast<std::size_t>(m_primary)];
    return primary.coverage.has(primary.raw, c);
}

GlyphCost LearntFontCosts::glyphOf(int font, char32_t c) {
    if (font < 0) {
        return {};
    }
    const Font& found = m_fonts[static_cast<std::size_t>(font)];
    if (c >= 0x80 && takesNoRoom(c)) {
        // It draws nothing, but where the application's font lacks it Qt searches the fonts it
        // falls back to for it, at each layout, as for a letter: to the end where none has it (the
        // application's font's space stands for it then), or to the font that has it.
        const bool searched =
            !primaryHas(c) && (font == m_primary || found.drawsNothing || found.colour || found.farDown);
        return {searched ? searchOfEveryFamily() : MeasuredFontCosts::invisible, 0, font, false};
    }
    if (found.unfit) {
        return {checkOfEveryFamily, 0, font, false};
    }
    if (found.drawsNothing) {
        return {searchOfEveryFamily(), 0, font, false, !QChar::isMark(c)};
    }
    if (found.colour) {
        return {MeasuredFontCosts::colourGlyph, 0, font, true};
    }
    GlyphCost glyph = MeasuredFontCosts::drawnGlyph(c);
    glyph.font = font;
    if (found.farDown) {
        glyph.each += searchOfEveryFamily();
    }
    return glyph;
}

int LearntFontCosts::known(char32_t c) {
    const auto found = m_characters.constFind(c);
    if (found != m_characters.constEnd()) {
        return *found;
    }
    const bool invisible = takesNoRoom(c);
    if (!invisible && isLetterOfScript(c)) {
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
    if (primaryHas(c)) {
        return m_primary;
    }
    // A picture too is asked about once: the fonts Qt falls back to before the colour emoji
    // font (the symbol fonts, a sans font's faces) draw many of those it has. So is what takes no
    // room that the application's font lacks: the font Qt finds it in is loaded.
    return unknown;
}

int LearntFontCosts::unfitScript(char32_t c) {
    const QChar::Script script = QChar::script(c);
    const std::vector<QByteArray> tags = openTypeTags(script);
    if (tags.empty() || takesNoRoom(c) || aFontShapes(c, tags)) {
        return unknown;
    }
    const int index = static_cast<int>(m_fonts.size());
    m_fonts.emplace_back();
    Font& unfit = m_fonts.back();
    unfit.drawsNothing = true;
    unfit.unfit = true;
    unfit.script = script;
    unfit.styled = checkOfEveryFamily;
    m_scripts.insert(script, index);
    return index;
}

int LearntFontCosts::fontOf(char32_t c) {
    const Drawn drawn = drawnWith(c, m_base);
    const QString family = drawn.drawn ? drawn.raw.familyName() : QString();
    // What searching every fallback font costs depends on the fonts Qt falls back to for the
    // script: none is found apart for each script.
    const QChar::Script script = QChar::script(c);
    int index = -1;
    for (std::size_t i = 0; i < m_fonts.size(); ++i) {
        const Font& font = m_fonts[i];
        if (!font.unfit && font.family == family && font.drawsNothing == !drawn.drawn &&
            (drawn.drawn || font.script == script)) {
            index = static_cast<int>(i);
            break;
        }
    }
    if (index < 0) {
        index = static_cast<int>(m_fonts.size());
        m_fonts.emplace_back();
        Font& font = m_fonts.back();
        font.family = family;
        font.raw = drawn.raw;
        font.script = script;
        font.drawsNothing = !drawn.drawn;
        font.colour = drawn.drawn && drawsInColour(family, drawn.raw);
        font.farDown = drawn.drawn && !font.colour && m_primary >= 0 &&
                       foundFarDown(c, MeasuredFontCosts::drawnGlyph(c).each, m_base);
        // A script Qt shapes only with a fit font, laid out to learn what draws it (past the files
        // read to tell), and drawn with none: each style costs Qt's check of every family.
        if (!drawn.drawn && !takesNoRoom(c) && !openTypeTags(script).empty()) {
            font.unfit = true;
            font.styled = checkOfEveryFamily;
        }
    }
    // A letter above the Basic Multilingual Plane no font draws (a rare extension of Han) says
    // nothing of its script's other letters, nor does what takes no room.
    const bool telling = (drawn.drawn || c <= 0xFFFF) && !takesNoRoom(c);
    if (isLetterOfScript(c) && telling && !m_scripts.contains(script)) {
        m_scripts.insert(script, index);
    } else {
        if (m_characters.size() >= maxCharacters) {
            m_characters.clear();
        }
        m_characters.insert(c, index);
    }
    return index;
}

void LearntFontCosts::see(const QFont& style) {
    if (m_seenAStyle && (style.isCopyOf(m_lastStyle) || style == m_lastStyle)) {
        return;
    }
    m_seenAStyle = true;
    m_lastStyle = style;
    m_lastIsBase = style == m_base;
    m_lastKey = style.key();
    m_lastKept = -1;
    for (std::size_t i = 0; i < m_styles.size(); ++i) {
        if (m_styles[i].key == m_lastKey) {
            m_lastKept = static_cast<int>(i);
            break;
        }
    }
}

bool LearntFontCosts::isLoaded(int font, const QFont& style) {
    see(style);
    if (m_lastIsBase) {
        // Every font is found in the application's own font.
        return true;
    }
    if (m_lastKept < 0) {
        return false;
    }
    Style& kept = m_styles[static_cast<std::size_t>(m_lastKept)];
    kept.used = ++m_clock;
    return std::find(kept.fonts.begin(), kept.fonts.end(), font) != kept.fonts.end();
}

LearntFontCosts::Style& LearntFontCosts::keptStyle(const QFont& style) {
    see(style);
    if (m_lastKept < 0) {
        if (m_styles.size() < maxStyles) {
            m_styles.push_back(Style{m_lastKey, style, {}, 0});
            m_lastKept = static_cast<int>(m_styles.size()) - 1;
        } else {
            // The one used longest ago goes: what it loaded may go too, and is priced again.
            const auto oldest =
                std::min_element(m_styles.begin(), m_styles.end(),
                                 [](const Style& a, const Style& b) { return a.used < b.used; });
            *oldest = Style{m_lastKey, style, {}, 0};
            m_lastKept = static_cast<int>(oldest - m_styles.begin());
        }
    }
    Style& kept = m_styles[static_cast<std::size_t>(m_lastKept)];
    kept.used = ++m_clock;
    return kept;
}

} // namespace velmora
