#pragma once

#include <QFont>
#include <QString>
#include <QtGlobal>

namespace velmora {

// What a character costs Qt to lay out with the font that draws it, in units of what a Latin
// letter costs (about a quarter of a microsecond). The fonts differ by hundreds of times: a Latin
// letter of the application's font a fraction of a microsecond, a letter of Droid Sans Fallback
// (the Han font ghostscript brings to many desktops) five, one that no font draws five to eight
// (Qt searches every fallback font for it), a picture of a colour emoji font eighty (Qt 6.4
// decodes its PNG each time it shapes it).
struct GlyphCost {
    // Each time it is laid out.
    int each = 1;
    // Besides, the first time a text holds it: where a font draws thousands of letters (Han,
    // Hangul), Qt loads each glyph the first time it lays it out.
    int first = 0;
    // The font that draws it (an index of the fonts found), or none.
    int font = -1;
    // Whether that font draws pictures in colour (a colour emoji font): pictures joined into one
    // glyph cost as one, and a modifier or a flag's letter alone draws apart.
    bool colour = false;
    // Whether it is known that no font draws it: Qt draws the box of the text's own font for it,
    // as wide for every such character.
    bool boxed = false;
};

// The costs of the fonts a process lays text out with. What draws a character is learnt from Qt the
// first time a character of its script (or the symbol itself) is asked about, by laying it out:
// that is also when Qt looks the font up and loads it, which costs a few milliseconds a font
// (seventy for a script whose letters Qt checks every family for). So the finding is priced before
// it is done (findingCost), and a text that would make many new fonts load is cut within its
// budget. A font is loaded anew for each style (size, weight, italics) it is laid out in:
// loadingCost() prices that, and load() does it and keeps what Qt loaded for as long as the style
// stays in use here, so that Qt's font cache, which lets unused fonts go after some seconds, never
// makes a later view load them again unpriced. Every price is a count (glyphs by their script and
// their font's kind, fonts found, fonts loaded), never a time taken: what a text shows never
// depends on how busy the machine was when its fonts were first met.
class FontCosts {
public:
    static constexpr int noFont = -1;

    virtual ~FontCosts() = default;

    // The fonts of this process: learnt on the thread of the QGuiApplication as text asks for
    // them. Elsewhere (another thread, or no QGuiApplication), the measured costs of a desktop's
    // fonts without a CJK font, which learn nothing.
    static FontCosts& ofThisProcess();
    // The costs measured on a desktop's fonts (the Noto families, a colour emoji font), with a
    // font that draws Han, kana and Hangul or without one: fixed, for tests and for where there
    // are no fonts to ask. Nothing needs finding or loading.
    static FontCosts& measured(bool cjkFontDrawsHan);

    // What finding what draws `c` costs now: nothing once it is known (or where it needs no
    // font found), else the price of a font found.
    virtual int findingCost(char32_t c) = 0;
    // What `c`, a character that takes room, costs: its font is found first if need be, and
    // `found` (if given) is what that took.
    virtual GlyphCost cost(char32_t c, int* found = nullptr) = 0;

    // What laying `font` out in `style` costs before anything is drawn with it: nothing while it
    // is loaded in that style, else the price of loading it.
    virtual int loadingCost(int font, const QFont& style) = 0;
    // Loads `font` in `style` by laying `c` out in it, keeps it loaded, and says what that is
    // priced at.
    virtual int load(int font, const QFont& style, char32_t c) = 0;

    // The family of `font`, empty for none. For what a test or a benchmark says.
    virtual QString family(int font) const = 0;

    // What a microsecond is worth, in units.
    static constexpr int unitsPerMicrosecond = 4;
};

// Loads the font `c` needs in `style` if that fits in `budget` (or nothing was loaded yet for what
// `budget` pays: `first`, cleared then), which it lessens by what finding and loading it took.
// False when it does not fit.
bool loadFont(char32_t c, const QFont& style, qint64& budget, FontCosts& fonts, bool* first = nullptr);

// Loads the fonts `text` needs in `style` while what that costs fits in `budget`, which it lessens
// by what finding and loading them took (the first whatever it costs, as loadFont, with `first`);
// returns how much of `text` (in code units) the fonts loaded draw: all of it when they fit.
qsizetype loadFonts(QStringView text, const QFont& style, qint64& budget, FontCosts& fonts,
                    bool* first = nullptr);

} // namespace velmora
