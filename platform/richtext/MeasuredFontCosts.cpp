#include "platform/richtext/MeasuredFontCosts.h"

#include "platform/richtext/CjkFontCoverage.h"
#include "platform/richtext/LetterMarks.h"
#include "platform/richtext/Pictographs.h"

namespace velmora {

// What a letter of `script` costs to shape with a desktop's fonts (the Noto families), measured:
// the scripts listed below by measure, any other (rarer ones, mostly drawn by no font, which costs
// Qt a search of every fallback font for each letter) as a letter no font has.
int MeasuredFontCosts::scriptCost(QChar::Script script) {
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

GlyphCost MeasuredFontCosts::drawnGlyph(char32_t c) {
    if (c < 0x80) {
        return {};
    }
    if (CjkFontCoverage::isCjk(c)) {
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
    return {scriptCost(script), 0, noFont, false};
}

GlyphCost MeasuredFontCosts::cost(char32_t c, int* found) {
    if (found) {
        *found = 0;
    }
    if (c < 0x80) {
        return {};
    }
    if (takesNoRoom(c)) {
        // The Noto Sans of a desktop has the soft hyphen, the joiners, spaces, marks and
        // controls of General Punctuation and the byte-order mark; for the rest (the Hangul
        // fillers, the tags, the reserved ones) Qt searches every fallback font.
        const bool hasIt = c == 0x00AD || (c >= 0x200B && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) ||
                           c == 0xFEFF;
        return {hasIt ? invisible : missingGlyph, 0, noFont, false};
    }
    if (isPictograph(c) || isRegionalIndicator(c)) {
        return {colourGlyph, 0, noFont, true};
    }
    if (CjkFontCoverage::isCjk(c) && !m_cjk.draws(c)) {
        return {missingGlyph, 0, noFont, false};
    }
    return drawnGlyph(c);
}

} // namespace velmora
