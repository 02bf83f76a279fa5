#pragma once

#include <QString>
#include <QStringView>

namespace velmora {

class FontCosts;

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
    // quiet desktop, as much as 96,000 Latin letters, 8,000 of Tibetan, 4,000 of Han where Qt
    // searches every fallback font for each (and as many as the font that draws them lets
    // through), or 300 pictures of a colour emoji font. Finding the fonts the text needs the first
    // time this process lays them out counts too. Past it the rest is cut.
    qint64 maxShapingCost = 96000;
    // What finding and loading the fonts the text needs may cost where this process has not laid
    // them out yet (in that style), in the same units: a few fonts new to it, each of which Qt
    // looks up and loads in a few milliseconds (a text of a letter of each of 150 scripts cost a
    // view 0.6 s so, in six styles 3.7 s). Past it the rest is cut.
    qint64 maxLoadingCost = 64000;
    // What the fonts cost (see FontCosts): null for those of this process, learnt as the text
    // needs them.
    FontCosts* fonts = nullptr;
    // The largest number a list starts from or an item is given.
    int maxListStart = 9999;
    // The items of one list: past them the list goes on as another, numbered on from it. Qt's HTML
    // parsing grows with the square of the items of one list; lists of this many cost it about
    // what as many paragraphs do (2,000 items a sixth more).
    int maxItemsPerList = 64;
};

// The fragment rebuilt from what it says, so that Qt's HTML parser sees only
// well-formed markup of known elements: unknown elements, images, scripts, style
// sheets, comments and attributes other than plain presentation ones are left out,
// deeper nesting than the limits is flattened, and text past the limits is cut. When
// anything was cut or flattened, a note saying so ends the result. Its direction is its own: the
// overrides (U+202D, U+202E) are left out, and every embedding or isolate it opens ends with the
// element it opens in, at a line break and at a block. An ordered list Qt would number otherwise
// than it says (from a start past 1, split past `maxItemsPerList`) is numbered in its items' text,
// in its numbering type, each number in the margin. The text chooses no font: faces
// and families are left out, and sizes, weights and italics keep a few steps. It reads nothing
// but its arguments and, unless they name them, the fonts of this process (see FontCosts), which
// finding the fonts of a script new to the process loads. `spent`, if given, is what laying the
// result out costs (see ShapingCost), and `loaded` what finding fonts took.
QString boundOutsideHtml(QStringView html, const OutsideHtmlLimits& limits = {}, qint64* spent = nullptr,
                         qint64* loaded = nullptr);

// The notes that end a fragment which was cut or flattened.
QString outsideHtmlShortenedNote();
QString outsideHtmlFlattenedNote();

} // namespace velmora
