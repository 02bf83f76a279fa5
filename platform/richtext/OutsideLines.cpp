#include "platform/richtext/OutsideLines.h"

#include "platform/richtext/FontCosts.h"
#include "platform/richtext/OutsideName.h"

#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QTextOption>

#include <algorithm>

namespace velmora {

namespace {

constexpr QChar ellipsis(0x2026);

// What a picture of a colour font is wide in `font`: measured once per font, as measuring each
// picture would shape it, and shaping one decodes it.
qreal pictureAdvance(const QFont& font) {
    static QHash<QString, qreal> advances;
    const QString key = font.key();
    const auto found = advances.constFind(key);
    if (found != advances.constEnd()) {
        return *found;
    }
    if (advances.size() > 64) {
        advances.clear();
    }
    const qreal advance = QFontMetricsF(font).horizontalAdvance(QStringLiteral("\U0001F600"));
    advances.insert(key, advance);
    return advance;
}

} // namespace

OutsideLines::OutsideLines(int count, FontCosts* fonts) : m_lines(count), m_fonts(fonts) {}

FontCosts& OutsideLines::fonts() {
    if (!m_fonts) {
        m_fonts = &FontCosts::ofThisProcess();
    }
    return *m_fonts;
}

QString OutsideLines::cut(const QFont& font, const QString& plain, int width, FontCosts& fonts) {
    width = std::max(0, width);
    const QFontMetricsF metrics(font);
    qint64 budget = loadingBudget;
    bool first = true;
    // Nor does a line lay out more than a code unit for every two pixels, however many marks its
    // letters carry: ordinary text of any script holds far fewer.
    const qsizetype most = width / 2 + 2;
    qsizetype end = 0;
    qreal advance = 0;
    bool stopped = false;
    // One character past the width is kept for the layout to find the cut.
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
            advance += pictureAdvance(font);
        } else if (length == 1) {
            advance += metrics.horizontalAdvance(plain[end]);
        } else {
            advance += metrics.horizontalAdvance(plain.mid(end, length));
        }
        end += length;
    }
    const bool whole = end == plain.size() && !stopped;
    QString shown = plain.left(end);
    if (!whole) {
        // A joiner or a half of a pair joins nothing before the ellipsis.
        while (!shown.isEmpty() && (shown.back() == QChar(0x200D) || shown.back() == QChar(0x200C))) {
            shown.chop(1);
        }
        shown += ellipsis;
    }
    return shown;
}

const OutsideLines::Line& OutsideLines::line(const QFont& font, const QString& text, int width,
                                             Qt::LayoutDirection direction) {
    // A name shows no more than what plainName looks at of it: a name of megabytes is known by
    // that, and whether there is more.
    constexpr qsizetype lookedAt = plainNameLength * 4;
    const QString key = font.key() + u'\n' + QString::number(width) + u'\n' +
                        QString::number(int(direction)) + (text.size() > lookedAt ? u'+' : u'\n') +
                        text.left(lookedAt);
    if (const Line* kept = m_lines.object(key)) {
        return *kept;
    }
    const QString plain = plainName(text, plainNameLength, lineCost, loadingBudget);
    QString shown = cut(font, plain, width, fonts());
    auto* made = new Line;
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
            laid.setLineWidth(std::max(width, 0));
        }
        made->layout.endLayout();
        return laid;
    };
    QTextLine laid = layOut(shown);
    if (laid.isValid() && laid.naturalTextWidth() > width && !shown.isEmpty()) {
        // Laid out, it is wider than the advances said (joined forms, kerning): cut where the
        // layout reaches the width less the ellipsis, and lay that out once more.
        const qreal room = std::max<qreal>(0, width - QFontMetricsF(font).horizontalAdvance(ellipsis));
        int at = laid.xToCursor(room, QTextLine::CursorOnCharacter);
        const QString stem = shown.endsWith(ellipsis) ? shown.chopped(1) : shown;
        at = std::clamp(at, 0, static_cast<int>(stem.size()));
        if (at > 0 && at < stem.size() && stem[at].isLowSurrogate()) {
            --at;
        }
        shown = stem.left(at) + ellipsis;
        laid = layOut(shown);
    }
    made->width = laid.isValid() ? laid.naturalTextWidth() : 0;
    m_lines.insert(key, made);
    return *made;
}

qreal OutsideLines::draw(QPainter& painter, const Line& line, const QRectF& box,
                         Qt::LayoutDirection direction) {
    const QTextLine laid = line.layout.lineAt(0);
    if (laid.isValid()) {
        const qreal top = box.top() + (box.height() - laid.height()) / 2.0;
        const qreal start = direction == Qt::RightToLeft ? box.left() + box.width() - line.width : box.left();
        line.layout.draw(&painter, QPointF(start, top - laid.y()));
    }
    return line.width;
}

} // namespace velmora
