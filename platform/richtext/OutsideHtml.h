#pragma once

#include <QString>
#include <QStringView>

namespace velmora {

class CjkFontCoverage;

// How much of an HTML fragment from outside (a tracker's description, release notes, a
// calendar entry) is laid out. Qt's text layout grows steeply
// with nested tables (each level about doubles it) and fails outright on thousands of
// nested elements, so a fragment is bounded before it reaches a QTextDocument.
struct OutsideHtmlLimits {
    // Characters of the fragment looked at; the rest is cut.
    qsizetype maxSource = 512 * 1024;
    // Characters of text kept; the rest is cut.
    qsizetype maxText = 20000;
    // Elements kept; the tags of any further ones are dropped, their text kept.
    int maxElements = 2000;
    // Elements open inside each other; deeper tags are dropped, their text kept.
    int maxDepth = 24;
    // Tables inside tables; deeper table tags are dropped, their text kept.
    int maxTableDepth = 3;
    // The largest colspan or rowspan, and the largest width in pixels.
    int maxSpan = 64;
    int maxPixels = 4000;
    // The largest length that runs down the page (a margin's, a padding's, a cell's
    // height, a table's spacing), in pixels: a few lines. Qt lays out any length as
    // given, and a hundred paragraphs 100,000 px apart took it minutes.
    int maxLength = 48;
    // The cells of the grids all tables of a fragment make, counting those that spans
    // fill and those a short row leaves empty: Qt builds and lays out every one of them.
    int maxTableCells = 512;
    // Combining marks one letter carries, and characters that take no room after it, in scripts
    // whose words carry no more; further ones are left out (see LetterMarks).
    int maxMarks = 4;
    // Runs of one script and direction a word holds (see WordRuns); past them the rest of the
    // word is cut. A word of 128 runs costs Qt no more than one of 8; a phrase of Lao or Khmer
    // with sixty English terms inline holds as many.
    int maxRunsPerWord = 128;
    // What laying the text out may cost, in Latin letters (see ShapingCost): about 24 ms on a
    // quiet desktop, as much as 96,000 Latin letters, 8,000 of Tibetan, 4,000 of Han without a CJK
    // font (and the 20,000 of the cap with one), or 300 pictures of a colour emoji font. Past it
    // the rest is cut.
    qint64 maxShapingCost = 96000;
    // Which letters of Han, kana and Hangul the fonts Qt falls back to draw, which what they cost
    // follows (see ShapingCost): null for those of this process, found when the first such
    // letter is read.
    const CjkFontCoverage* cjkFonts = nullptr;
    // Font families one fragment names; further faces are left out.
    int maxFontFamilies = 4;
    // The largest number a list starts from or an item is given.
    int maxListStart = 9999;
};

// The fragment rebuilt from what it says, so that Qt's HTML parser sees only
// well-formed markup of known elements: unknown elements, images, scripts, style
// sheets, comments and attributes other than plain presentation ones are left out,
// deeper nesting than the limits is flattened, and text past the limits is cut. When
// anything was cut or flattened, a note saying so ends the result. It reads nothing but its
// arguments and, unless they name them, which fonts this process has for Han, kana and Hangul
// (see CjkFontCoverage).
QString boundOutsideHtml(QStringView html, const OutsideHtmlLimits& limits = {});

// The notes that end a fragment which was cut or flattened.
QString outsideHtmlShortenedNote();
QString outsideHtmlFlattenedNote();

} // namespace velmora
