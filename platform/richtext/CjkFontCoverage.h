#pragma once

namespace velmora {

// Which letters of Han, kana, Hangul and Bopomofo, and of the symbols and forms of their blocks, a
// machine's fonts draw, as the measured costs of a desktop's fonts take it (see
// FontCosts::measured): what laying such a letter out costs depends on it a hundredfold. Where no
// font draws it Qt searches every fallback font for it at each layout (about 5 µs a letter), where
// one does it costs a few Latin letters. A process's own fonts are learnt by FontCosts.
class CjkFontCoverage {
public:
    // Draws none of them: as on a machine without such a font, or in a process that has no fonts
    // to ask (no QGuiApplication).
    static const CjkFontCoverage& none();
    // Draws every one of them: as if a font drew them all.
    static const CjkFontCoverage& all();
    // Whether `c` is one of those letters, symbols and forms (of the Basic Multilingual Plane:
    // the rest of Han, in the planes above it, few fonts draw).
    static bool isCjk(char32_t c);
    // Whether `c` is one of those letters and drawn.
    bool draws(char32_t c) const;

private:
    enum class Kind { None, All };
    explicit CjkFontCoverage(Kind kind) : m_kind(kind) {}

    Kind m_kind;
};

} // namespace velmora
