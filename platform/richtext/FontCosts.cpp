#include "platform/richtext/FontCosts.h"

#include "platform/richtext/CjkFontCoverage.h"
#include "platform/richtext/LearntFontCosts.h"
#include "platform/richtext/MeasuredFontCosts.h"
#include "platform/richtext/ShapingCost.h"

#include <QChar>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QThread>

#include <array>

namespace velmora {

namespace {

bool onTheFontsThread() {
    // Fonts are Qt GUI's: without its application there are none to ask, and from another thread
    // what is loaded is that thread's, not what the views lay out with.
    const auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    return application && QThread::currentThread() == application->thread();
}

LearntFontCosts* learnt = nullptr;

} // namespace

bool loadFont(char32_t c, const QFont& style, qint64& budget, FontCosts& fonts, bool* first) {
    // What takes no room of its own (marks, joiners, selectors) is drawn with its letter.
    if (ShapingCost::costWithoutFont(c) >= 0 || QChar::isSpace(c)) {
        return true;
    }
    // The first font a line needs is loaded whatever it costs, once: else a font dearer to load
    // than the budget would never be drawn.
    const bool free = first && *first;
    const int finding = fonts.findingCost(c);
    if (finding > 0 && finding > budget && !free) {
        return false;
    }
    int found = 0;
    const int font = fonts.cost(c, &found).font;
    budget -= found;
    const int loading = fonts.loadingCost(font, style);
    if (loading > 0) {
        if (loading > budget && !free) {
            return false;
        }
        budget -= fonts.load(font, style, c);
    }
    if (first && (found > 0 || loading > 0)) {
        *first = false;
    }
    return true;
}

qsizetype loadFonts(QStringView text, const QFont& style, qint64& budget, FontCosts& fonts, bool* first) {
    // Every ASCII character is drawn by the application's font: once it is loaded in the style,
    // the rest need no asking. Nor does a character asked about already: a text of a script holds
    // the same few dozen again and again (these are the last asked, by their last eight bits).
    bool asciiLoaded = false;
    std::array<char32_t, 256> loaded{};
    for (qsizetype i = 0; i < text.size();) {
        char32_t c = text[i].unicode();
        if (c < 0x80 ? asciiLoaded : loaded[c & 0xFF] == c) {
            ++i;
            continue;
        }
        qsizetype length = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            length = 2;
        }
        if (!loadFont(c, style, budget, fonts, first)) {
            return i;
        }
        if (c < 0x80) {
            asciiLoaded = asciiLoaded || !QChar::isSpace(c);
        } else if (length == 1) {
            loaded[c & 0xFF] = c;
        }
        i += length;
    }
    return text.size();
}

FontCosts& FontCosts::measured(bool cjkFontDrawsHan) {
    static MeasuredFontCosts withCjkFont(CjkFontCoverage::all());
    static MeasuredFontCosts withoutCjkFont(CjkFontCoverage::none());
    return cjkFontDrawsHan ? static_cast<FontCosts&>(withCjkFont) : withoutCjkFont;
}

FontCosts& FontCosts::ofThisProcess() {
    if (!onTheFontsThread()) {
        return measured(false);
    }
    // Made on first use and kept while the application is: the fonts it keeps loaded are Qt's, and
    // are let go before the application clears its fonts, so none outlives it.
    if (!learnt) {
        learnt = new LearntFontCosts;
        qAddPostRoutine([] {
            delete learnt;
            learnt = nullptr;
        });
    }
    return *learnt;
}

} // namespace velmora
