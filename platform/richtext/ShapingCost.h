#pragma once

#include <QtGlobal>

namespace velmora {

// What laying text out costs Qt, counted as text from outside is read in order, in units of what
// a Latin letter costs (about a quarter of a microsecond), so that a budget bounds the time of a
// layout and not only its length. Measured on a desktop's fonts (a colour emoji font, fonts for
// many scripts), where the costs differ by hundreds of times:
// - every picture a colour emoji font draws, about 80 µs: Qt 6.4 decodes the glyph's PNG each
//   time it shapes it. A modifier after its picture forms one glyph with it; two letters of a
//   flag, and a region's flag with its tags, form one at half as much again; a modifier alone
//   draws a swatch at half as much again too; a picture joined to the one before it costs most
//   of a picture of its own, as a chain of them draws apart;
// - a letter no font has (Han, Hangul and kana without a CJK font, private use, scripts newer
//   than the fonts), about 5 µs, Qt searching every fallback font for it;
// - the scripts that cost more to shape than Latin, by what their fonts cost (Tibetan 2 to 3 µs a
//   letter, Burmese 1.2, Javanese 10, Grantha 37);
// - variation selectors and format controls that are no marks, 5 to 12 µs;
// - a run of one script and direction started (1.5 µs), a paragraph (4 µs), a mark (0.5 µs).
class ShapingCost {
public:
    explicit ShapingCost(qint64 budget) : m_budget(budget) {}

    // Whether `c`, the next character shown, fits in what is left of the budget; `startsRun` when
    // Qt starts a run at it (see WordRuns). Nothing is counted when it does not fit.
    bool keeps(char32_t c, bool startsRun);
    qint64 spent() const { return m_spent; }

    // What one picture of a colour emoji font costs.
    static constexpr int colourGlyph = 320;
    // What `c` costs as a letter of its script, apart from what it joins (pictures and flags).
    static int letterCost(char32_t c);

private:
    // What `c` costs after what came before it, and what it leaves for what follows.
    int cost(char32_t c, bool startsRun);

    qint64 m_budget;
    qint64 m_spent = 0;
    // Whether the last character was a picture that no modifier followed yet, a picture (or its
    // modifier or variation selector) a joiner may join to the next, a joiner after such, and a
    // regional indicator waiting for the second letter of its flag.
    bool m_picture = false;
    bool m_joinable = false;
    bool m_joining = false;
    bool m_regionOpen = false;
    bool m_blackFlag = false;
};

} // namespace velmora
