#include "platform/richtext/OutsideLines.h"

#include "platform/richtext/FontCosts.h"
#include "platform/richtext/OutsideName.h"
#include "platform/richtext/Pictographs.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QHash>
#include <QPainter>
#include <QPointer>
#include <QRawFont>
#include <QTextBoundaryFinder>
#include <QTextOption>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <limits>
#include <vector>

namespace velmora {

namespace {

constexpr QChar ellipsis(0x2026);

// What a picture of a colour font is wide in `font`: measured once per font, as measuring each
// picture would shape it, and shaping one decodes it. Measured on `c`, the first picture a line
// holds, whose font the line needs anyway: a picture it does not hold may send Qt to load a font
// of its own first (on a desktop of many fonts, a couple of milliseconds).
qreal pictureAdvance(const QFont& font, char32_t c) {
    static QHash<QString, qreal> advances;
    const QString key = font.key();
    const auto found = advances.constFind(key);
    if (found != advances.constEnd()) {
        return *found;
    }
    if (advances.size() > 64) {
        advances.clear();
    }
    const qreal advance = QFontMetricsF(font).horizontalAdvance(QString::fromUcs4(&c, 1));
    advances.insert(key, advance);
    return advance;
}

// What the character of `text` at `at` (a letter with its marks, a joined picture, a flag) takes
// alone, by its advances: a colour font's picture is as wide as any.
qreal nextAdvance(const QFont& font, const QString& text, qsizetype at) {
    if (at >= text.size()) {
        return 0;
    }
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    characters.setPosition(static_cast<int>(at));
    const qsizetype next = std::max<qsizetype>(characters.toNextBoundary(), at + 1);
    const char32_t c = QStringView(text).mid(at).toUcs4().value(0);
    if (isPictograph(c) || isRegionalIndicator(c)) {
        return pictureAdvance(font, c);
    }
    return QFontMetricsF(font).horizontalAdvance(text.mid(at, next - at));
}

// What the characters of `line` from its start up to `end` (logical, whatever their direction)
// take of its width, wherever the line shows their glyphs. Qt hands them out as runs of one font,
// each bounded by what the characters take of the run of one script and direction it is part
// of (the runs of one such share it): what they take in all is the union of those.
qreal widthOfStart(const QTextLine& line, qsizetype end) {
    if (end <= 0) {
        return 0;
    }
    std::vector<std::pair<qreal, qreal>> spans;
    for (const QGlyphRun& run : line.glyphRuns(0, static_cast<int>(end))) {
        spans.emplace_back(run.boundingRect().left(), run.boundingRect().right());
    }
    std::sort(spans.begin(), spans.end());
    qreal width = 0;
    qreal reached = -std::numeric_limits<qreal>::infinity();
    for (const auto& [left, right] : spans) {
        width += std::max<qreal>(0, right - std::max(left, reached));
        reached = std::max(reached, right);
    }
    return width;
}

// Whether `text` parts two characters at `at`: a letter and its marks, a joined picture, a flag
// are one.
bool endsCharacter(const QString& text, qsizetype at) {
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    characters.setPosition(static_cast<int>(at));
    return characters.isAtBoundary();
}

bool isJoiner(QChar c) {
    return c == QChar(0x200D) || c == QChar(0x200C);
}

// Where the first character of `plain` ends its first picture (before its first joiner) when it
// joins more pictures than any one emoji is made of (a family of four): no colour font draws them
// as one, and Qt draws them apart, fifty joined women as fifty women. Else 0.
qsizetype firstPartOfJoined(const QString& plain) {
    constexpr qsizetype mostJoinedInOne = 4;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, plain);
    const QStringView first = QStringView(plain).left(characters.toNextBoundary());
    return first.count(QChar(0x200D)) >= mostJoinedInOne ? first.indexOf(QChar(0x200D)) : 0;
}

// How much of `plain` to keep, at most `most` code units, where `line` lays out its start: the
// longest start that ends between two characters of `plain` (never inside a letter with its marks,
// a pair of code units, a joined picture or a flag) and whose glyphs take at most `room`.
qsizetype fitting(const QString& plain, const QTextLine& line, qsizetype most, qreal room) {
    std::vector<qsizetype> ends;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, plain);
    for (qsizetype end = characters.toNextBoundary(); end > 0 && end <= most;
         end = characters.toNextBoundary()) {
        ends.push_back(end);
    }
    // A start is never narrower than a shorter one.
    const auto past = std::partition_point(ends.begin(), ends.end(),
                                           [&](qsizetype end) { return widthOfStart(line, end) <= room; });
    qsizetype end = past == ends.begin() ? 0 : *(past - 1);
    // A joiner joins nothing before the ellipsis.
    while (end > 0 && isJoiner(plain[end - 1])) {
        --end;
    }
    return end;
}

// `stem` ended with the ellipsis, which reads where the text it ends does: after right-to-left
// letters in a left-to-right line, at their left, and after left-to-right ones in a right-to-left
// line, at their right. A mark of the last letter's direction after it makes it part of that
// letter's run; without one it takes the line's direction and stands at the other end of the run,
// beside characters it does not end.
QString withEllipsis(QStringView stem, Qt::LayoutDirection direction) {
    for (qsizetype i = stem.size(); i > 0;) {
        --i;
        char32_t c = stem[i].unicode();
        if (stem[i].isLowSurrogate() && i > 0 && stem[i - 1].isHighSurrogate()) {
            --i;
            c = QChar::surrogateToUcs4(stem[i], stem[i + 1]);
        }
        switch (QChar::direction(c)) {
        case QChar::DirL:
            return stem.toString() + ellipsis +
                   (direction == Qt::RightToLeft ? QString(QChar(0x200E)) : QString());
        case QChar::DirR:
        case QChar::DirAL:
            return stem.toString() + ellipsis +
                   (direction == Qt::RightToLeft ? QString() : QString(QChar(0x200F)));
        default:
            break;
        }
    }
    return stem.toString() + ellipsis;
}

// The direction a name reads in: that of the first letter with one of its own (as a paragraph of
// either direction takes it), else the list's.
Qt::LayoutDirection readingDirection(const QString& name, Qt::LayoutDirection list) {
    for (const char32_t c : QStringView(name).toUcs4()) {
        switch (QChar::direction(c)) {
        case QChar::DirL:
            return Qt::LeftToRight;
        case QChar::DirR:
        case QChar::DirAL:
            return Qt::RightToLeft;
        default:
            break;
        }
    }
    return list;
}

// Whether showing `text` needs a font found that is not yet.
bool findsFonts(QStringView text, FontCosts& fonts) {
    for (const char32_t c : text.toUcs4()) {
        if (c >= 0x80 && fonts.findingCost(c) > 0) {
            return true;
        }
    }
    return false;
}

// How many more lines waiting for their fonts may be laid out anew before the widgets showing them
// are painted again.
int relaidLeft = OutsideLines::relaidPerPaint;

// Has `widget` painted again once the paint under way is done, with lines waiting for their fonts
// laid out anew then: the fonts they loaded within their budgets are loaded by then, and they
// reach further.
void paintAgain(QWidget* widget) {
    static std::vector<QPointer<QWidget>> waiting;
    if (!widget || std::find(waiting.begin(), waiting.end(), widget) != waiting.end()) {
        return;
    }
    waiting.emplace_back(widget);
    if (waiting.size() > 1) {
        return;
    }
    QTimer::singleShot(0, QCoreApplication::instance(), [] {
        relaidLeft = OutsideLines::relaidPerPaint;
        const std::vector<QPointer<QWidget>> painted = std::move(waiting);
        waiting.clear();
        for (const QPointer<QWidget>& each : painted) {
            if (each) {
                each->update();
            }
        }
    });
}

} // namespace

QString OutsideLines::startOfLongFirstCharacter(const QString& text) {
    // No more is looked at than a name's bound does, nor kept than a letter with its marks.
    constexpr qsizetype letterWithMarks = 16;
    const QString head = text.left(plainNameLength * 4);
    const qsizetype part = firstPartOfJoined(head);
    const QString start = plainName(head.left(part > 0 ? part : letterWithMarks));
    return start.endsWith(ellipsis) ? start : start + ellipsis;
}

OutsideLines::OutsideLines(int count, FontCosts* fonts) : m_lines(count), m_fonts(fonts) {}

FontCosts& OutsideLines::fonts() {
    if (!m_fonts) {
        m_fonts = &FontCosts::ofThisProcess();
    }
    return *m_fonts;
}

QString OutsideLines::cut(const QFont& font, const QString& plain, int width, FontCosts& fonts,
                          bool* waiting) {
    width = std::max(0, width);
    const QFontMetricsF metrics(font);
    const qreal ellipsisWidth = metrics.horizontalAdvance(ellipsis);
    qint64 budget = loadingBudget;
    bool first = true;
    // Nor does a line lay out more than a code unit for every two pixels, however many marks its
    // letters carry: ordinary text of any script holds far fewer.
    const qsizetype most = width / 2 + 2;
    qsizetype end = 0;
    // What fits beside the ellipsis.
    qsizetype fits = 0;
    qreal advance = 0;
    bool stopped = false;
    // Whether the last character was a picture of a colour font (or a selector or joiner after
    // one), a joiner after one, and a flag's first letter.
    bool picture = false;
    bool joining = false;
    bool region = false;
    // What a character no font draws takes: the box of the line's font, measured once, as Qt
    // searches every font it falls back to again for each one measured (a row of Korean where
    // no font has Hangul measured its letters at twice what laying them out costs).
    qreal box = -1;
    // One character past the width is looked at, to know whether the name fits whole.
    while (end < plain.size() && end < most && advance <= width) {
        char32_t c = plain[end].unicode();
        qsizetype length = 1;
        if (plain[end].isHighSurrogate() && end + 1 < plain.size() && plain[end + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(plain[end], plain[end + 1]);
            length = 2;
        }
        // The font it needs loaded in the line's font before anything measures it.
        if (!loadFont(c, font, budget, fonts, &first)) {
            stopped = true;
            break;
        }
        const GlyphCost glyph = fonts.cost(c);
        if (glyph.colour) {
            // A skin tone, a picture joined to the one before and a flag's second letter are
            // part of one picture, as the colour font draws them.
            const bool joined =
                (isEmojiModifier(c) && picture) || joining || (isRegionalIndicator(c) && region);
            advance += joined ? 0 : pictureAdvance(font, c);
            region = isRegionalIndicator(c) && !region;
            picture = true;
            joining = false;
        } else {
            if (glyph.boxed && box < 0) {
                box = metrics.horizontalAdvance(plain.mid(end, length));
            }
            advance += glyph.boxed   ? box
                       : length == 1 ? metrics.horizontalAdvance(plain[end])
                                     : metrics.horizontalAdvance(plain.mid(end, length));
            const bool selector = c == 0xFE0F || c == 0xFE0E;
            joining = picture && c == 0x200D;
            picture = picture && (selector || joining);
            region = false;
        }
        end += length;
        if (advance + ellipsisWidth <= width) {
            fits = end;
        }
    }
    if (waiting) {
        *waiting = stopped;
    }
    const bool whole = end == plain.size() && !stopped;
    if (whole) {
        return plain;
    }
    QString shown = plain.left(stopped ? std::min(fits, end) : fits);
    // A joiner joins nothing before the ellipsis.
    while (!shown.isEmpty() && (shown.back() == QChar(0x200D) || shown.back() == QChar(0x200C))) {
        shown.chop(1);
    }
    return shown + ellipsis;
}

std::shared_ptr<const OutsideLines::Line> OutsideLines::line(const QFont& font, const QString& text,
                                                             int width, Qt::LayoutDirection direction) {
    // A name shows no more than what plainName looks at of it: a name of megabytes is known by
    // that, and whether there is more.
    constexpr qsizetype lookedAt = plainNameLength * 4;
    const QString key = font.key() + u'\n' + QString::number(width) + u'\n' +
                        QString::number(int(direction)) + (text.size() > lookedAt ? u'+' : u'\n') +
                        text.left(lookedAt);
    // What the line showed when it was laid out waiting for its fonts.
    QString before;
    if (const std::shared_ptr<const Line>* kept = m_lines.object(key)) {
        if (!(*kept)->waiting || relaidLeft <= 0) {
            return *kept;
        }
        --relaidLeft;
        before = (*kept)->layout.text();
    }
    width = std::max(width, 0);
    QString plain = plainName(text, plainNameLength, lineCost, loadingBudget);
    if (plain == QString(ellipsis)) {
        plain = startOfLongFirstCharacter(text);
    }
    const bool marksAlone = !plain.isEmpty() && QChar::isMark(QStringView(plain).left(2).toUcs4().value(0));
    if (marksAlone) {
        // Marks with no letter before them sit on the dotted circle, as a font draws them alone:
        // else they stand before the line's start, over whatever is drawn there.
        plain.prepend(QChar(0x25CC));
    }
    bool waiting = false;
    QString shown = cut(font, plain, width, fonts(), &waiting);
    auto made = std::make_shared<Line>();
    // The name was cut where finding its fonts ran out of budget (or where laying it out did,
    // which the fonts it has yet to find may cost less), or the line where loading them did.
    made->waiting =
        waiting || (plain.endsWith(ellipsis) && findsFonts(QStringView(text).left(lookedAt), fonts()));
    // Laid out as a paragraph of its own: a Hebrew name with Latin words in it reads from its
    // right in a left-to-right list too.
    direction = readingDirection(plain, direction);
    QTextOption option(Qt::AlignLeft | Qt::AlignAbsolute);
    option.setTextDirection(direction);
    option.setWrapMode(QTextOption::NoWrap);
    auto layOut = [&](const QString& text) {
        made->layout.clearLayout();
        made->layout.setText(text);
        made->layout.setFont(font);
        made->layout.setTextOption(option);
        // The glyphs it shapes are kept, and every paint draws them.
        made->layout.setCacheEnabled(true);
        made->layout.beginLayout();
        QTextLine laid = made->layout.createLine();
        if (laid.isValid()) {
            laid.setLineWidth(width);
        }
        made->layout.endLayout();
        return laid;
    };
    // What the advances keep, and whether it ends with the ellipsis (cut() cuts with one, as
    // plainName does a name too long to look at), which goes where the text it ends reads.
    bool cutShort = shown.endsWith(ellipsis);
    QString stem = cutShort ? shown.chopped(1) : shown;
    QTextLine laid = layOut(cutShort ? withEllipsis(stem, direction) : shown);
    if (cutShort && shown != plain && laid.isValid() &&
        laid.naturalTextWidth() + nextAdvance(font, plain, stem.size()) <= width) {
        // Cut, it leaves room for the next character: joined, the letters take less than their
        // advances alone said (an Arabic name showed a sixth narrower than a Latin one). The
        // advances reach as far past the width as the layout fell short of it (at most twice as
        // far), and the layout cuts what they keep.
        const qreal reach = width * qreal(width) / std::max<qreal>(laid.naturalTextWidth(), 1);
        shown = cut(font, plain, static_cast<int>(std::min<qreal>(reach, 2.0 * width)), fonts(), &waiting);
        made->waiting = made->waiting || waiting;
        cutShort = shown.endsWith(ellipsis);
        stem = cutShort ? shown.chopped(1) : shown;
        laid = layOut(cutShort ? withEllipsis(stem, direction) : shown);
    }
    if (laid.isValid() && !stem.isEmpty() &&
        (laid.naturalTextWidth() > width || (cutShort && !endsCharacter(plain, stem.size())))) {
        // Laid out, it is wider than the advances said (joined forms, kerning), or the advances
        // parted a character: cut it again by what the layout shows, keeping the characters it
        // starts with that fit beside the ellipsis. Their glyphs are found wherever the line puts
        // them: a right-to-left run shows its first characters at its right.
        const qreal room = width - QFontMetricsF(font).horizontalAdvance(ellipsis);
        qsizetype end = fitting(plain, laid, stem.size(), room);
        for (int tries = 0;; ++tries) {
            laid = layOut(withEllipsis(QStringView(stem).left(end), direction));
            const qreal over = laid.isValid() ? laid.naturalTextWidth() - width : 0;
            if (over <= 0 || end == 0 || tries == 2) {
                break;
            }
            // The letter before the cut took another form before the ellipsis than inside the
            // line (an Arabic letter's final form): as much less again.
            end = fitting(plain, laid, end - 1, room - over);
        }
    }
    made->width = laid.isValid() ? laid.naturalTextWidth() : 0;
    if (marksAlone && laid.isValid()) {
        // A mark can still reach back past the circle's start (an enclosing circle, drawn by
        // another font than the circle's on some desktops, by some 9 px): the line starts where
        // its ink does, and is as wide as its ink.
        QRectF ink;
        for (const QGlyphRun& run : made->layout.glyphRuns()) {
            const QRawFont face = run.rawFont();
            const QList<quint32> glyphs = run.glyphIndexes();
            const QList<QPointF> positions = run.positions();
            for (qsizetype i = 0; i < glyphs.size() && i < positions.size(); ++i) {
                ink |= face.boundingRect(glyphs[i]).translated(positions[i]);
            }
        }
        if (ink.left() < 0) {
            laid.setPosition(QPointF(-ink.left(), laid.y()));
            ink.translate(-ink.left(), 0);
        }
        made->width = std::max(made->width + laid.x(), ink.right());
    }
    // Laid out again to no more, it waits no longer: what it lacks is no font to load.
    made->waiting = made->waiting && made->layout.text() != before;
    std::shared_ptr<const Line> line = std::move(made);
    // The cache holds a handle of its own: a line it lets go stays with whoever holds it.
    m_lines.insert(key, new std::shared_ptr<const Line>(line));
    return line;
}

qreal OutsideLines::draw(QPainter& painter, const Line& line, const QRectF& box,
                         Qt::LayoutDirection direction) {
    if (line.waiting) {
        paintAgain(dynamic_cast<QWidget*>(painter.device()));
    }
    const QTextLine laid = line.layout.lineAt(0);
    if (laid.isValid()) {
        const qreal top = box.top() + (box.height() - laid.height()) / 2.0;
        const qreal start = direction == Qt::RightToLeft ? box.left() + box.width() - line.width : box.left();
        line.layout.draw(&painter, QPointF(start, top - laid.y()));
    }
    return line.width;
}

} // namespace velmora
