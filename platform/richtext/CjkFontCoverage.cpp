#include "platform/richtext/CjkFontCoverage.h"

#include <algorithm>
#include <iterator>

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

} // namespace

const CjkFontCoverage& CjkFontCoverage::none() {
    static const CjkFontCoverage coverage(Kind::None);
    return coverage;
}

const CjkFontCoverage& CjkFontCoverage::all() {
    static const CjkFontCoverage coverage(Kind::All);
    return coverage;
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
    return m_kind == Kind::All && isCjk(c);
}

} // namespace velmora
