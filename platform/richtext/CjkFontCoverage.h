#pragma once

#include <QStringList>

namespace velmora {

// Which letters of Han, kana, Hangul and Bopomofo, and of the symbols and forms of their blocks,
// the fonts Qt falls back to draw here. What laying such a letter out costs depends on it a
// hundredfold: where no font draws it Qt searches every fallback font for it at each layout
// (about 5 µs a letter), where one does it costs a few Latin letters. A Linux desktop may have
// such a font or not: every Chinese, Japanese or Korean one has, many others have none.
class CjkFontCoverage {
public:
    // Draws none of them: as on a machine without such a font, or in a process that has no fonts
    // to ask (no QGuiApplication).
    static const CjkFontCoverage& none();
    // Draws every one of them: as if a font drew them all.
    static const CjkFontCoverage& all();
    // What the fonts Qt falls back to draw in this process. For each script (Han, with the
    // symbols and forms of the blocks; kana; Hangul; Bopomofo) it is found the first time a
    // character of it is asked about, from any thread, and kept: a letter of the script laid out
    // in the application's font names the font Qt falls back to for it, and a character is drawn
    // when that font has it. Finding it costs a few milliseconds, most of them what Qt spends
    // finding that font when it first lays such a letter out. Nothing is drawn while there is no
    // QGuiApplication, and that is not kept.
    static const CjkFontCoverage& ofThisProcess();

    // Whether `c` is one of those letters, symbols and forms (of the Basic Multilingual Plane:
    // the rest of Han, in the planes above it, few fonts draw).
    static bool isCjk(char32_t c);
    // Whether a font Qt falls back to draws `c`, one of those.
    bool draws(char32_t c) const;
    // The families found drawing them (for what a test or a benchmark says): for this process's,
    // every script is looked at.
    QStringList families() const;

private:
    enum class Kind { None, All, ThisProcess };
    explicit CjkFontCoverage(Kind kind) : m_kind(kind) {}

    Kind m_kind;
};

} // namespace velmora
