#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace velmora {

class FontCosts;

// What laying text out costs Qt, counted as text from outside is read in order, in units of what
// a Latin letter costs (about a quarter of a microsecond), so that a budget bounds the time of a
// layout and not only its length. A character that takes room costs what the font Qt falls back
// to for it makes it cost (see FontCosts: learnt per font, from a fraction of a microsecond to
// eighty for a picture of a colour emoji font), and finding that font, the first time a text of
// this process needs it, costs what it takes. Besides:
// - a picture of a colour emoji font is one glyph with the modifier after it; two letters of a
//   flag, and a region's flag with its tags, form one at half as much again; a modifier alone
//   draws a swatch at half as much again too; a picture joined to the one before it costs most
//   of a picture of its own, as a chain of them draws apart. A picture a text font draws (★, ☐,
//   ❤ in the application's font) costs as its letters do;
// - Han, kana and Hangul and the punctuation, symbols and forms of their blocks cost what their
//   font makes them cost, and a Han letter or a Hangul syllable the text holds for the first time
//   costs more, as Qt loads each glyph new to it: what loading one costs with that font, and at
//   least `newGlyph` past the few thousand different letters prose holds. Qt breaks Korean only
//   at spaces, and never before CJK punctuation, iteration and length marks or small kana: a
//   stretch of them is one a line may not break (see below);
// - a character past the first few dozen of a stretch a line may not break (a word: see
//   WordRuns), a Latin letter more for every 80 before it: for each line Qt breaks such a stretch
//   anywhere it looks at the rest of it, some 3 ns a character, and where each letter is wider
//   than a line (U+FDFD) every letter is a line;
// - variation selectors and format controls that are no marks, 5 to 12 µs; an ideographic
//   variation selector about 10 µs where a CJK font has the sequence; what takes no room costs
//   what Qt's look-up of it in the fonts costs: little where the application's font has it, the
//   search of every fallback font where it lacks it (the Hangul fillers, the tags);
// - a run of one script and direction started (1.5 µs), a paragraph (4 µs), a mark (0.5 µs);
// - text in a table's cells as many times as Qt lays its cells out (see setTimes).
class ShapingCost {
public:
    // `budget` bounds what shaping the text costs, `loading` what finding the fonts it needs does
    // (Qt's look-up and load of each, the first time this process lays it out) past the first. `fonts`: what
    // the fonts cost; null for those of this process, asked for when the first character is
    // counted.
    ShapingCost(qint64 budget, qint64 loading, FontCosts* fonts = nullptr)
        : m_budget(budget), m_loadingBudget(loading), m_fonts(fonts) {}

    // Whether `c`, the next character shown, fits in what is left of the budget; `startsRun` when
    // Qt starts a run at it, `unbroken` how far into a stretch a line may not break it stands (see
    // WordRuns). Nothing is counted when it does not fit, but what finding its font took, if that
    // was done.
    bool keeps(char32_t c, bool startsRun, int unbroken);
    // What follows starts a new word (a new block, a line break).
    void endWord() { m_state.stretch = 0; }
    // What follows is laid out `times` times as often as text outside tables: Qt lays a table's
    // cells out for their narrowest and widest and then at their width, each level of tables
    // inside another as often again (300 emoji in a 10 × 30 grid cost a card 80 ms, alone 25).
    void setTimes(int times) { m_times = std::max(times, 1); }
    qint64 spent() const { return m_spent; }
    // What finding fonts took.
    qint64 loaded() const { return m_loaded; }

    // What a Han letter or Hangul syllable new to the text costs at least besides, past as many
    // as prose holds.
    static constexpr int proseLetters = 3000;
    static constexpr int newGlyph = 40;
    // The characters of a stretch a line may not break that cost no more than their letters; past
    // them a character costs a Latin letter more for every so many before it in the stretch.
    static constexpr int unbrokenStretch = 64;
    static constexpr int unbrokenLook = 80;
    // What `c` costs apart from the font that draws it: marks, variation selectors, format
    // controls and separators, or -1 for a character whose font makes its cost (what takes no
    // room among them: Qt looks it up in the fonts as a letter).
    static int costWithoutFont(char32_t c);

private:
    // What `c` costs after what came before it (`withoutFont`: costWithoutFont), and what it
    // leaves for what follows; `isNew` is
    // set when it is a Han letter or Hangul syllable the text holds for the first time, `found`
    // to what finding its font took.
    int cost(char32_t c, int withoutFont, bool startsRun, bool& isNew, int& found);
    int cjkCost(char32_t c, bool& isNew, int& found);
    bool seen(char32_t c) const;
    // `keeps` for an ASCII letter, digit or sign.
    bool keepsAscii(bool startsRun, int unbroken);
    FontCosts& fonts();

    qint64 m_budget;
    qint64 m_spent = 0;
    qint64 m_loadingBudget;
    qint64 m_loaded = 0;
    // What finding the first font took: found whatever it costs, it takes nothing of the budget.
    qint64 m_firstFound = 0;
    FontCosts* m_fonts;
    int m_times = 1;
    // What an ASCII character costs (every one alike), once asked.
    int m_asciiCost = -1;
    // What the last characters leave for the next, restored when the next does not fit.
    struct State {
        // Whether the last character was a picture that no modifier followed yet, a picture (or
        // its modifier or variation selector) a joiner may join to the next, a joiner after such,
        // and a regional indicator waiting for the second letter of its flag.
        bool picture = false;
        bool joinable = false;
        bool joining = false;
        bool regionOpen = false;
        bool blackFlag = false;
        // What the last picture costs, for the tags and modifiers that join it.
        int pictureCost = 0;
        // The CJK characters since the last place a line surely may break.
        int stretch = 0;
    } m_state;
    // The Han letters and Hangul syllables counted so far, one bit each of the Basic
    // Multilingual Plane (empty until the first), and how many.
    std::vector<std::uint64_t> m_seen;
    int m_letters = 0;
};

} // namespace velmora
