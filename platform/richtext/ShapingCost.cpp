#include "platform/richtext/ShapingCost.h"

#include "platform/richtext/CjkFontCoverage.h"
#include "platform/richtext/FontCosts.h"
#include "platform/richtext/LetterMarks.h"
#include "platform/richtext/Pictographs.h"
#include "platform/richtext/WordRuns.h"

#include <QChar>

#include <algorithm>
#include <iterator>

namespace velmora {

namespace {

bool isVariationSelector(char32_t c) {
    // The ideographic ones (U+E0100 to U+E01EF) cost apart, before this is asked.
    return (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0x180B && c <= 0x180D) || c == 0x180F;
}

// The small kana of the Hiragana and Katakana blocks, which a line may not break before.
constexpr char32_t smallKana[] = {0x3041, 0x3043, 0x3045, 0x3047, 0x3049, 0x3063, 0x3083, 0x3085,
                                  0x3087, 0x308E, 0x3095, 0x3096, 0x30A1, 0x30A3, 0x30A5, 0x30A7,
                                  0x30A9, 0x30C3, 0x30E3, 0x30E5, 0x30E7, 0x30EE, 0x30F5, 0x30F6};

// Small kana, and their extension and half-width forms.
bool isSmallKana(char32_t c) {
    return std::binary_search(std::begin(smallKana), std::end(smallKana), c) ||
           (c >= 0x31F0 && c <= 0x31FF) || (c >= 0xFF67 && c <= 0xFF6F);
}

// Whether a line may break before `c` wherever it stands, as before an ideograph or a kana
// letter: what is neither (Hangul, which Qt breaks only at spaces, punctuation, iteration and
// length marks, small kana, forms) continues the stretch before it.
bool startsStretch(char32_t c) {
    if (QChar::category(c) != QChar::Letter_Other || isSmallKana(c)) {
        return false;
    }
    const QChar::Script script = QChar::script(c);
    return script == QChar::Script_Han || script == QChar::Script_Hiragana ||
           script == QChar::Script_Katakana;
}

constexpr std::size_t seenWords = 0x10000 / 64;

static_assert(ShapingCost::unbrokenStretch >= WordRuns::lookedAtEvery,
              "the breaks in a word are looked for before a character past the stretch is counted");

} // namespace

int ShapingCost::costWithoutFont(char32_t c) {
    if (c < 0x80) {
        return -1;
    }
    if (c >= 0xE0100 && c <= 0xE01EF) {
        // An ideographic variation selector: where a CJK font has the sequence, choosing its
        // glyph costs some 10 µs, twice a search of every fallback font (and the Han letter
        // before it costs little then).
        return 48;
    }
    if (isVariationSelector(c)) {
        return 24;
    }
    if (isCombiningMark(c)) {
        return 2;
    }
    if (c == 0x2028 || c == 0x2029) {
        return 16;
    }
    if (takesNoRoom(c)) {
        // Joiners, zero-width spaces, direction marks and bidirectional controls, the soft hyphen,
        // the fillers, the tags: they draw nothing, but Qt looks them up in the fonts as it does
        // a letter, and where the application's font lacks one it searches every font it falls
        // back to (see FontCosts).
        return -1;
    }
    if (QChar::category(c) == QChar::Other_Format) {
        // The format controls Unicode leaves visible: the hieroglyph format controls cost 6 to 12 µs
        // each, and the rest are as rare.
        return 50;
    }
    return -1;
}

FontCosts& ShapingCost::fonts() {
    if (!m_fonts) {
        m_fonts = &FontCosts::ofThisProcess();
    }
    return *m_fonts;
}

bool ShapingCost::seen(char32_t c) const {
    return !m_seen.empty() && (m_seen[c / 64] >> (c % 64) & 1) != 0;
}

int ShapingCost::cjkCost(char32_t c, bool& isNew, int& found) {
    const GlyphCost glyph = fonts().cost(c, &found);
    int cost = glyph.each;
    const QChar::Script script = QChar::script(c);
    // The few hundred kana cost little to load all; Han and Hangul, thousands each, do.
    if ((script == QChar::Script_Han || script == QChar::Script_Hangul) && glyph.first > 0 && c <= 0xFFFF) {
        isNew = !seen(c);
        if (isNew) {
            cost += m_letters < proseLetters ? glyph.first : std::max(glyph.first, int(newGlyph));
        }
    }
    if (startsStretch(c)) {
        m_state.stretch = 0;
    } else {
        ++m_state.stretch;
    }
    return cost;
}

int ShapingCost::cost(char32_t c, int withoutFont, bool startsRun, bool& isNew, int& found) {
    State& state = m_state;
    const bool picture = state.picture;
    const bool joinable = state.joinable;
    const bool joining = state.joining;
    const bool regionOpen = state.regionOpen;
    const bool blackFlag = state.blackFlag;
    const int pictureCost = state.pictureCost;
    state.picture = state.joinable = state.joining = state.regionOpen = false;
    state.blackFlag = blackFlag && c >= LetterMarks::firstFlagTag && c <= LetterMarks::cancelTag;
    if (WordRuns::endsWord(c) || c == 0x2028 || c == 0x2029) {
        state.stretch = 0;
    }
    if (c < 0x80) {
        // A letter of the application's font: none of the pictures, joiners and marks below.
        return fonts().cost(c, &found).each + (startsRun ? 6 : 0);
    }
    if (isRegionalIndicator(c) || isEmojiModifier(c) || isPictograph(c)) {
        const GlyphCost glyph = fonts().cost(c, &found);
        if (glyph.colour) {
            if (isRegionalIndicator(c)) {
                // Two make one flag, which costs half as much again as a picture; a letter alone
                // draws apart.
                state.regionOpen = !regionOpen;
                return regionOpen ? glyph.each / 2 : glyph.each;
            }
            if (isEmojiModifier(c)) {
                state.joinable = true;
                // A skin tone forms one glyph with its picture; after anything else it draws
                // apart, as a swatch that costs half as much again as a picture.
                return picture ? 0 : glyph.each * 3 / 2;
            }
            state.picture = state.joinable = true;
            state.pictureCost = glyph.each;
            state.blackFlag = c == LetterMarks::blackFlag;
            return joining ? glyph.each * 3 / 4 : glyph.each;
        }
        // A text font draws it (a star, a check box, a heart of the application's font): a
        // letter, and what joins it costs as after a letter.
        return glyph.each + (startsRun ? 6 : 0);
    }
    if (c == 0x200D && joinable) {
        state.joining = true;
        return 4;
    }
    if ((c == 0xFE0F || c == 0xFE0E) && joinable) {
        // Which presentation a picture has: part of its glyph.
        state.picture = picture;
        state.joinable = true;
        state.pictureCost = pictureCost;
        return 1;
    }
    if (state.blackFlag) {
        // The tags naming a region's flag form one glyph with it, which costs half as much again
        // as a picture alone.
        state.joinable = true;
        state.pictureCost = pictureCost;
        return pictureCost / 12;
    }
    const int run = startsRun ? 6 : 0;
    if (withoutFont >= 0) {
        return withoutFont + run;
    }
    if (CjkFontCoverage::isCjk(c)) {
        return cjkCost(c, isNew, found) + run;
    }
    return fonts().cost(c, &found).each + run;
}

bool ShapingCost::keepsAscii(bool startsRun, int unbroken) {
    if (m_asciiCost < 0) {
        m_asciiCost = fonts().cost(U'a').each;
    }
    int added = (m_asciiCost + (startsRun ? 6 : 0)) * m_times;
    const int into = std::max(unbroken, m_state.stretch);
    if (into > unbrokenStretch) {
        added += into / unbrokenLook;
    }
    if (m_spent + added > m_budget) {
        return false;
    }
    m_spent += added;
    // Nothing before it joins it, and no font is found for it.
    m_state.picture = m_state.joinable = m_state.joining = m_state.regionOpen = m_state.blackFlag = false;
    return true;
}

bool ShapingCost::keeps(char32_t c, bool startsRun, int unbroken) {
    if (c > 0x20 && c < 0x7F) {
        // Most text is of these: a letter, a digit or a sign of the application's font.
        return keepsAscii(startsRun, unbroken);
    }
    // Finding the font of a character costs what Qt's look-up and load of it do: not begun
    // where even that would not fit, but for the first a text needs, found whatever it costs (a
    // name's budget would never find a font dearer to load than a name is to lay out).
    const int withoutFont = costWithoutFont(c);
    if (c >= 0x80 && withoutFont < 0) {
        const int finding = fonts().findingCost(c);
        if (finding > 0 && m_loaded > 0 && m_loaded - m_firstFound + finding > m_loadingBudget) {
            return false;
        }
    }
    const State before = m_state;
    bool isNew = false;
    int found = 0;
    int added = cost(c, withoutFont, startsRun, isNew, found) * m_times;
    // What finding its font took is spent, whether it fits or not; the first is no part of the
    // budget.
    if (m_loaded == 0) {
        m_firstFound = found;
    }
    m_loaded += found;
    // For each line Qt breaks a word anywhere it looks at the rest of the word: at the widest
    // letters, one to a line, a character costs the more the further into its word it stands.
    const int into = std::max(unbroken, m_state.stretch);
    if (into > unbrokenStretch) {
        added += into / unbrokenLook;
    }
    // Finding its font, once done, is no reason to leave the character out: it is spent, and
    // what is left to find more fonts is less.
    if (m_spent + added > m_budget) {
        m_state = before;
        return false;
    }
    m_spent += added;
    if (isNew) {
        if (m_seen.empty()) {
            m_seen.assign(seenWords, 0);
        }
        m_seen[c / 64] |= std::uint64_t{1} << (c % 64);
        ++m_letters;
    }
    return true;
}

} // namespace velmora
