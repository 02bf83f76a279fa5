#include "platform/richtext/CjkFontCoverage.h"

#include <QChar>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QRawFont>
#include <QTextLayout>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace velmora {

namespace {

struct Block {
    char32_t first;
    char32_t last;
};

// The blocks of Han, kana, Hangul and Bopomofo in the Basic Multilingual Plane, with their
// punctuation, symbols and forms: fonts other than CJK ones draw few of them.
constexpr Block cjkBlocks[] = {
    {0x1100, 0x11FF}, // Hangul jamo
    {0x2E80, 0x2FDF}, // radicals
    {0x2FF0, 0x2FFF}, // ideographic description characters
    {0x3000, 0x33FF}, // symbols and punctuation, kana, Bopomofo, compatibility jamo, kanbun,
                      // strokes, enclosed letters and compatibility forms
    {0x3400, 0x4DBF}, // Han extension A
    {0x4E00, 0x9FFF}, // Han
    {0xA960, 0xA97F}, // Hangul jamo extended A
    {0xAC00, 0xD7FF}, // Hangul syllables and jamo extended B
    {0xF900, 0xFAFF}, // compatibility ideographs
    {0xFE30, 0xFE4F}, // compatibility forms
    {0xFF00, 0xFFEF}, // half-width and full-width forms
};

// The scripts looked at apart, each with a letter laid out to find the font Qt falls back to
// for it. Han stands for what is of no script of its own too (punctuation, symbols, forms):
// such characters take the script of the text around them, which is Han in most.
enum class Group { Han, Kana, Hangul, Bopomofo };

Group groupOf(char32_t c) {
    switch (QChar::script(c)) {
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
        return Group::Kana;
    case QChar::Script_Hangul:
        return Group::Hangul;
    case QChar::Script_Bopomofo:
        return Group::Bopomofo;
    default:
        return Group::Han;
    }
}

// What the font found for one group draws: one bit per code point of the Basic Multilingual
// Plane.
struct Drawn {
    std::vector<std::uint64_t> bits;
    QString family;

    bool has(char32_t c) const { return !bits.empty() && (bits[c / 64] >> (c % 64) & 1) != 0; }
};

// The font that draws `letter` laid out alone in the application's font, or none when no font
// has it (Qt then draws glyph 0 of its first font, the missing glyph).
QRawFont fontDrawing(QChar letter) {
    QTextLayout layout(QString(letter), QGuiApplication::font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QList<quint32> glyphs = run.glyphIndexes();
        if (!glyphs.isEmpty() && glyphs.front() != 0) {
            return run.rawFont();
        }
    }
    return {};
}

Drawn find(Group group, QChar sample) {
    Drawn drawn;
    const QRawFont font = fontDrawing(sample);
    if (!font.isValid()) {
        return drawn;
    }
    drawn.family = font.familyName();
    QString characters;
    for (const Block& block : cjkBlocks) {
        for (char32_t c = block.first; c <= block.last; ++c) {
            if (groupOf(c) == group) {
                characters += QChar(static_cast<char16_t>(c));
            }
        }
    }
    // One look at the font's character map for all of them.
    const QList<quint32> glyphs = font.glyphIndexesForString(characters);
    drawn.bits.assign(0x10000 / 64, 0);
    for (qsizetype i = 0; i < characters.size() && i < glyphs.size(); ++i) {
        if (glyphs[i] != 0) {
            const char32_t c = characters[i].unicode();
            drawn.bits[c / 64] |= std::uint64_t{1} << (c % 64);
        }
    }
    return drawn;
}

// Found the first time each is asked for, and kept for the process.
const Drawn& drawnHere(Group group) {
    switch (group) {
    case Group::Kana: {
        static const Drawn kana = find(Group::Kana, QChar(0x3042));
        return kana;
    }
    case Group::Hangul: {
        static const Drawn hangul = find(Group::Hangul, QChar(0xD55C));
        return hangul;
    }
    case Group::Bopomofo: {
        static const Drawn bopomofo = find(Group::Bopomofo, QChar(0x3105));
        return bopomofo;
    }
    case Group::Han:
        break;
    }
    static const Drawn han = find(Group::Han, QChar(0x4E2D));
    return han;
}

bool haveFonts() {
    // Fonts are Qt GUI's: without its application there are none to ask, and a layout fails.
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

} // namespace

const CjkFontCoverage& CjkFontCoverage::none() {
    static const CjkFontCoverage coverage(Kind::None);
    return coverage;
}

const CjkFontCoverage& CjkFontCoverage::all() {
    static const CjkFontCoverage coverage(Kind::All);
    return coverage;
}

const CjkFontCoverage& CjkFontCoverage::ofThisProcess() {
    static const CjkFontCoverage coverage(Kind::ThisProcess);
    return haveFonts() ? coverage : none();
}

bool CjkFontCoverage::isCjk(char32_t c) {
    if (c < cjkBlocks[0].first || c > std::prev(std::end(cjkBlocks))->last) {
        return false;
    }
    const auto* after =
        std::upper_bound(std::begin(cjkBlocks), std::end(cjkBlocks), c,
                         [](char32_t value, const Block& block) { return value < block.first; });
    return after != std::begin(cjkBlocks) && c <= std::prev(after)->last;
}

bool CjkFontCoverage::draws(char32_t c) const {
    switch (m_kind) {
    case Kind::None:
        return false;
    case Kind::All:
        return isCjk(c);
    case Kind::ThisProcess:
        break;
    }
    return isCjk(c) && haveFonts() && drawnHere(groupOf(c)).has(c);
}

QStringList CjkFontCoverage::families() const {
    QStringList families;
    if (m_kind != Kind::ThisProcess || !haveFonts()) {
        return families;
    }
    for (const Group group : {Group::Han, Group::Kana, Group::Hangul, Group::Bopomofo}) {
        const QString& family = drawnHere(group).family;
        if (!family.isEmpty() && !families.contains(family)) {
            families.append(family);
        }
    }
    return families;
}

} // namespace velmora
