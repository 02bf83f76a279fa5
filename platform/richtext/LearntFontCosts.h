#pragma once

#include "platform/richtext/FontCosts.h"

#include <QFont>
#include <QHash>
#include <QRawFont>
#include <QSet>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora {

// The fonts of this process, learnt from Qt and fontconfig as text asks for them: which font Qt
// falls back to for a character (laying it out once, which is when Qt looks the font up and loads
// it), whether that font draws pictures in colour, and whether a script Qt shapes only with a font
// fit for it has one. What a text costs is counted, never timed: its glyphs at the price of their
// script on a desktop's fonts (MeasuredFontCosts), each font found and each font loaded in a style
// at a price of its own. So what a text shows is the same on a quiet machine and beside busy ones,
// the first time as every time after.
class LearntFontCosts final : public FontCosts {
public:
    // On the thread of the QGuiApplication, in its font.
    LearntFontCosts();
    ~LearntFontCosts() override;

    int findingCost(char32_t c) override;
    GlyphCost cost(char32_t c, int* found = nullptr) override;
    int loadingCost(int font, const QFont& style) override;
    int load(int font, const QFont& style, char32_t c) override;
    QString family(int font) const override;

    // A font new to the process: Qt looks it up among those it falls back to and loads it, a
    // couple of milliseconds for most.
    static constexpr int findingPrice = 2000 * unitsPerMicrosecond;
    // A character whose font was found for another: one layout of it.
    static constexpr int lookingPrice = 25 * unitsPerMicrosecond;
    // A font found, loaded in another style: a new engine of a file Qt has open.
    static constexpr int loadingPrice = 500 * unitsPerMicrosecond;
    // A glyph of a font of thousands (Han, Hangul) that Qt loads the first time it lays it out:
    // some 15 µs with Noto Sans CJK's outlines, 20 with Droid Sans Fallback's.
    static constexpr int glyphLoadingPrice = 15 * unitsPerMicrosecond;
    // Qt's check of every family for a letter of a script it shapes only with a font fit for it,
    // where no font installed is: some seventy milliseconds, at each layout and in each style.
    static constexpr int checkOfEveryFamily = 70000 * unitsPerMicrosecond;

private:
    // Which characters of the Basic Multilingual Plane a font has, looked up a block of 256 at a
    // time when a character of the block is first asked about.
    class Coverage {
    public:
        bool has(const QRawFont& font, char32_t c);

    private:
        struct Block {
            std::array<std::uint64_t, 4> bits{};
        };
        std::array<std::unique_ptr<Block>, 256> m_blocks;
    };

    // A font found, or none where no font draws a character (for the script of the letter that
    // found it so).
    struct Font {
        QString family;
        // Kept: what Qt loaded for it stays loaded.
        QRawFont raw;
        Coverage coverage;
        bool colour = false;
        bool drawsNothing = false;
        // No font fit to shape the script is installed (see unfitScript).
        bool unfit = false;
        // Qt finds it after searching most of the fonts it falls back to, for each glyph.
        bool farDown = false;
        QChar::Script script = QChar::Script_Unknown;
        // What loading it in another style is priced at.
        int styled = loadingPrice;
        // The glyphs of the Basic Multilingual Plane priced as loaded, where it has thousands.
        std::vector<std::uint64_t> loadedGlyphs;
    };
    // A style laid out in, kept with its fonts loaded while it is among the last used.
    struct Style {
        QString key;
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
    // The families Qt checks for a character in the time of a Latin letter.
    static constexpr int familiesPerUnit = 8;

    GlyphCost glyphOf(int font, char32_t c);
    // `glyph` of `c` with what loading it costs the first time the process lays it out.
    GlyphCost firstTime(GlyphCost glyph, char32_t c);
    int known(char32_t c);
    int unfitScript(char32_t c);
    int fontOf(char32_t c);
    bool primaryHas(char32_t c);
    // What Qt's search of every family it falls back to costs, for a glyph: by how many there are.
    int searchOfEveryFamily();
    // Whether the fonts of `family` (whose font `raw` is) draw their glyphs as pictures in colour.
    bool drawsInColour(const QString& family, const QRawFont& raw);
    // Counts the families fontconfig lists, and learns which draw in colour, once.
    void listFamilies();
    void see(const QFont& style);
    bool isLoaded(int font, const QFont& style);
    Style& keptStyle(const QFont& style);

    QFont m_base;
    std::vector<Font> m_fonts;
    // The prices of characters asked about lately, by their last eight bits: a text of a script
    // asks about the same few dozen again and again.
    struct Recent {
        char32_t c = 0;
        GlyphCost glyph;
    };
    std::array<Recent, 256> m_recent{};
    QHash<int, int> m_scripts;
    QHash<char32_t, int> m_characters;
    std::vector<Style> m_styles;
    quint64 m_clock = 0;
    int m_primary = -1;
    // The families there are, once counted (by their first names), and all their names, those of
    // fonts that draw in colour apart, case-folded.
    int m_families = -1;
    QSet<QString> m_listedFamilies;
    QSet<QString> m_colourFamilies;
    // The style asked about last, told apart from the next without building its key: a text is
    // asked about one character at a time, all of them in one style.
    QFont m_lastStyle;
    bool m_seenAStyle = false;
    bool m_lastIsBase = false;
    // Where it is kept among m_styles, or -1.
    int m_lastKept = -1;
    QString m_lastKey;
};

} // namespace velmora
