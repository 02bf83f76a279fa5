#include "platform/richtext/ShapingCost.h"

#include "platform/richtext/CjkFontCoverage.h"
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

// What a letter of `script` costs to shape, by what its fonts cost on a desktop: the scripts
// listed below by measure, any other (rarer ones, mostly drawn by no font, which costs Qt a
// search of every fallback font for each letter) as a letter no font has.
int scriptCost(QChar::Script script) {
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
        // fonts draw), and the scripts no font here draws: about 5 to 6 µs.
        return ShapingCost::missingGlyph;
    }
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

int ShapingCost::letterCost(char32_t c) {
    if (c < 0x80) {
        return 1;
    }
    if (c >= 0xE0100 && c <= 0xE01EF) {
        // An ideographic variation selector: where a CJK font has the sequence, choosing its
        // glyph costs some 10 µs, twice a search of every fallback font (and the Han letter
        // before it costs little then).
        return 2 * missingGlyph;
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
        // Joiners, zero-width spaces, direction marks and bidirectional controls, the soft hyphen.
        return 4;
    }
    switch (QChar::category(c)) {
    case QChar::Other_Format:
        // The format controls Unicode leaves visible: the hieroglyph format controls cost 6 to 12 µs
        // each, and the rest are as rare.
        return 50;
    case QChar::Other_PrivateUse:
        return 28;
    case QChar::Other_NotAssigned:
        // Newer than Qt's Unicode (its pictures are counted apart): drawn by few fonts, if any.
        return 24;
    default:
        break;
    }
    const QChar::Script script = QChar::script(c);
    if (c >= 0x10000 && script == QChar::Script_Common) {
        // The symbols above the Basic Multilingual Plane (musical, numbers of old ledgers, game
        // pieces...) are drawn by fonts far down the list Qt falls back to, or by none: a search
        // of the fonts before them for each, 10 to 17 µs. The mathematical letters the common
        // fonts draw cost little more than Latin ones.
        return c >= 0x1D400 && c <= 0x1D7FF ? 2 : missingGlyph;
    }
    return scriptCost(script);
}

bool ShapingCost::seen(char32_t c) const {
    return !m_seen.empty() && (m_seen[c / 64] >> (c % 64) & 1) != 0;
}

int ShapingCost::cjkCost(char32_t c, bool& isNew) {
    if (!m_cjkFonts) {
        m_cjkFonts = &CjkFontCoverage::ofThisProcess();
    }
    int cost = missingGlyph;
    if (m_cjkFonts->draws(c)) {
        const QChar::Script script = QChar::script(c);
        const bool kana = script == QChar::Script_Hiragana || script == QChar::Script_Katakana;
        cost = kana || script == QChar::Script_Hangul ? drawnKanaOrHangul : drawnHan;
        // The few hundred kana cost little to load all; Han and Hangul, thousands each, do.
        isNew = !kana && !seen(c);
        if (isNew) {
            cost += m_letters < proseLetters ? newLetter : newGlyph;
        }
    }
    if (startsStretch(c)) {
        m_state.stretch = 0;
    } else {
        ++m_state.stretch;
    }
    return cost;
}

int ShapingCost::cost(char32_t c, bool startsRun, bool& isNew) {
    State& state = m_state;
    const bool picture = state.picture;
    const bool joinable = state.joinable;
    const bool joining = state.joining;
    const bool regionOpen = state.regionOpen;
    const bool blackFlag = state.blackFlag;
    state.picture = state.joinable = state.joining = state.regionOpen = false;
    state.blackFlag = blackFlag && c >= LetterMarks::firstFlagTag && c <= LetterMarks::cancelTag;
    if (WordRuns::endsWord(c) || c == 0x2028 || c == 0x2029) {
        state.stretch = 0;
    }
    if (isRegionalIndicator(c)) {
        // Two make one flag, which costs half as much again as a picture; a letter alone draws
        // apart.
        state.regionOpen = !regionOpen;
        return regionOpen ? colourGlyph / 2 : colourGlyph;
    }
    if (isEmojiModifier(c)) {
        state.joinable = true;
        // A skin tone forms one glyph with its picture; after anything else it draws apart, as a
        // swatch that costs half as much again as a picture.
        return picture ? 0 : colourGlyph * 3 / 2;
    }
    if (isPictograph(c)) {
        state.picture = state.joinable = true;
        state.blackFlag = c == LetterMarks::blackFlag;
        return joining ? colourGlyph * 3 / 4 : colourGlyph;
    }
    if (c == 0x200D && joinable) {
        state.joining = true;
        return 4;
    }
    if ((c == 0xFE0F || c == 0xFE0E) && joinable) {
        // Which presentation a picture has: part of its glyph.
        state.picture = picture;
        state.joinable = true;
        return 1;
    }
    if (state.blackFlag) {
        // The tags naming a region's flag form one glyph with it, which costs half as much again
        // as a picture alone.
        state.joinable = true;
        return colourGlyph / 12;
    }
    const int run = startsRun ? 6 : 0;
    if (CjkFontCoverage::isCjk(c) && !isCombiningMark(c) && !takesNoRoom(c)) {
        return cjkCost(c, isNew) + run;
    }
    return letterCost(c) + run;
}

bool ShapingCost::keeps(char32_t c, bool startsRun, int unbroken) {
    const State before = m_state;
    bool isNew = false;
    int added = cost(c, startsRun, isNew);
    // For each line Qt breaks a word anywhere it looks at the rest of the word: at the widest
    // letters, one to a line, a character costs the more the further into its word it stands.
    const int into = std::max(unbroken, m_state.stretch);
    if (into > unbrokenStretch) {
        added += into / unbrokenLook;
    }
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
