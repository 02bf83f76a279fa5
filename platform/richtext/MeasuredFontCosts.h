#pragma once

#include "platform/richtext/FontCosts.h"

#include <QChar>

namespace velmora {

class CjkFontCoverage;

// The price of each character on a desktop's fonts (the Noto families, a colour emoji font), by
// its script, measured once on such a desktop and fixed: Han, kana and Hangul drawn by a CJK font
// or by none, pictures by a colour emoji font, every other script by what its Noto font cost. What
// shows never depends on how busy the machine is when a text is first met. Nothing needs finding
// or loading here; a process's own fonts (LearntFontCosts) price by the same table, knowing from
// Qt which font draws what.
class MeasuredFontCosts final : public FontCosts {
public:
    explicit MeasuredFontCosts(const CjkFontCoverage& cjk) : m_cjk(cjk) {}

    int findingCost(char32_t) override { return 0; }
    GlyphCost cost(char32_t c, int* found) override;
    int loadingCost(int, const QFont&) override { return 0; }
    int load(int, const QFont&, char32_t) override { return 0; }
    QString family(int) const override { return {}; }

    // What a letter no font draws costs: Qt searches every fallback font for it, some 5 to 6 µs.
    static constexpr int missingGlyph = 24;
    // One picture of a colour emoji font, some 80 µs.
    static constexpr int colourGlyph = 320;
    // A character that takes no room where the application's font has it (a joiner, a direction
    // mark): Qt finds it there and searches nothing.
    static constexpr int invisible = 4;

    // What a letter of `script` costs to shape with a desktop's fonts, measured: the scripts
    // listed by measure, any other (rarer ones, mostly drawn by no font) as a letter no font has.
    static int scriptCost(QChar::Script script);
    // What `c` costs drawn by a text font, as the font of its script on a desktop draws it (Han,
    // kana and Hangul by a CJK font): a symbol far down the list of fonts Qt falls back to costs
    // the search of those before it.
    static GlyphCost drawnGlyph(char32_t c);

private:
    const CjkFontCoverage& m_cjk;
};

} // namespace velmora
