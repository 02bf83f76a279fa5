#pragma once

#include <QtGlobal>

#include <cstdint>
#include <vector>

namespace velmora {

class CjkFontCoverage;

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
// - Han, kana and Hangul, and the punctuation, symbols and forms of their blocks, by whether a
//   font Qt falls back to draws them (see CjkFontCoverage). Where none does, as letters no font
//   has. Where one does, what they measure: a Han letter (or a symbol or form) three Latin
//   letters, a kana letter or a Hangul syllable two. A Han letter or a Hangul syllable the text
//   holds for the first time costs more, as Qt loads each glyph new to it, some 10 µs the first
//   time it lays it out at a size: six more for as many different ones as prose holds (a few
//   thousand in 20,000 letters), and what loading it costs for each one after those, so that a
//   text of thousands of different letters costs a first view little more than prose does. Qt
//   breaks Korean only at spaces, and never before CJK punctuation, iteration and length marks
//   or small kana: a stretch of them is one a line may not break (see below). Chinese and Korean
//   prose at the cap of text spend half to four fifths of the budget, Japanese nearly all of it:
//   its script changes from kanji to kana every three characters or so, and each change is a run;
// - a character past the first few dozen of a stretch a line may not break (a word: see
//   WordRuns), a Latin letter more for every 80 before it: for each line Qt breaks such a stretch
//   anywhere it looks at the rest of it, some 3 ns a character, and where each letter is wider
//   than a line (U+FDFD) every letter is a line. 20,000 letters without a break took a card
//   600 ms so, and 50 to 70 at Latin letters; they are cut after some 3,500, while a word of a
//   few hundred characters costs a few hundred letters more;
// - the scripts that cost more to shape than Latin, by what their fonts cost (Tibetan 2 to 3 µs a
//   letter, Burmese 1.2, Javanese 10, Grantha 37), and the symbols above the Basic Multilingual
//   Plane as letters no font draws, as Qt searches the fonts before the few that draw them;
// - variation selectors and format controls that are no marks, 5 to 12 µs; an ideographic
//   variation selector about 10 µs where a CJK font has the sequence;
// - a run of one script and direction started (1.5 µs), a paragraph (4 µs), a mark (0.5 µs).
class ShapingCost {
public:
    // `cjkFonts`: which letters of Han, kana and Hangul the fonts draw; null for those of this
    // process, found when the first such letter is counted.
    explicit ShapingCost(qint64 budget, const CjkFontCoverage* cjkFonts = nullptr)
        : m_budget(budget), m_cjkFonts(cjkFonts) {}

    // Whether `c`, the next character shown, fits in what is left of the budget; `startsRun` when
    // Qt starts a run at it, `unbroken` how far into a stretch a line may not break it stands (see
    // WordRuns). Nothing is counted when it does not fit.
    bool keeps(char32_t c, bool startsRun, int unbroken);
    // What follows starts a new word (a new block, a line break).
    void endWord() { m_state.stretch = 0; }
    qint64 spent() const { return m_spent; }

    // What one picture of a colour emoji font costs.
    static constexpr int colourGlyph = 320;
    // What a letter no font draws costs: Qt searches every fallback font for it.
    static constexpr int missingGlyph = 24;
    // What a letter of Han (or a symbol or form of the blocks), and one of kana or Hangul, costs
    // where a font draws it; what a Han letter or Hangul syllable new to the text costs besides,
    // for the first of them, as many as prose holds, and after those.
    static constexpr int drawnHan = 3;
    static constexpr int drawnKanaOrHangul = 2;
    static constexpr int newLetter = 6;
    static constexpr int proseLetters = 3000;
    static constexpr int newGlyph = 40;
    // The characters of a stretch a line may not break that cost no more than their letters; past
    // them a character costs a Latin letter more for every so many before it in the stretch.
    static constexpr int unbrokenStretch = 64;
    static constexpr int unbrokenLook = 80;
    // What `c` costs as a letter of its script, apart from what it joins (pictures and flags) and
    // from the fonts that draw it (Han, kana and Hangul).
    static int letterCost(char32_t c);

private:
    // What `c` costs after what came before it, and what it leaves for what follows; `isNew` is
    // set when it is a Han letter or Hangul syllable the text holds for the first time.
    int cost(char32_t c, bool startsRun, bool& isNew);
    int cjkCost(char32_t c, bool& isNew);
    bool seen(char32_t c) const;

    qint64 m_budget;
    qint64 m_spent = 0;
    const CjkFontCoverage* m_cjkFonts;
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
        // The CJK characters since the last place a line surely may break.
        int stretch = 0;
    } m_state;
    // The Han letters and Hangul syllables counted so far, one bit each of the Basic
    // Multilingual Plane (empty until the first), and how many.
    std::vector<std::uint64_t> m_seen;
    int m_letters = 0;
};

} // namespace velmora
