#include "platform/richtext/OutsideTextBrowser.h"

#include "platform/richtext/OutsideTextDocument.h"

#include <QEvent>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>

namespace velmora {

OutsideTextBrowser::OutsideTextBrowser(QWidget* parent) : QTextBrowser(parent) {
    // The browser's own document would read whatever the HTML names from disk.
    setDocument(new OutsideTextDocument(this));
    // The text's width is the browser's, set here (fitTextWidth) only when it changes: Qt's view
    // lays its text out again at every resize event that does not say what the width was before,
    // and a browser first painted before it is shown gets two of those.
    setLineWrapMode(QTextEdit::FixedPixelWidth);
    // Laid out first when the browser is shown at its width, as Qt's own document of a text view
    // is: text laid out at the width a browser has before it is placed is laid out again at once.
    document()->setPageSize(QSizeF(0, 0));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scrollBar = new QScrollBar(Qt::Vertical, this);
    m_scrollBar->hide();
    QScrollBar* scrolling = verticalScrollBar();
    connect(scrolling, &QScrollBar::rangeChanged, m_scrollBar, [this](int minimum, int maximum) {
        m_scrollBar->setRange(minimum, maximum);
        m_scrollBar->setPageStep(viewport()->height());
        m_scrollBar->setSingleStep(verticalScrollBar()->singleStep());
        m_scrollBar->setVisible(maximum > minimum);
    });
    connect(scrolling, &QScrollBar::valueChanged, m_scrollBar, &QScrollBar::setValue);
    connect(m_scrollBar, &QScrollBar::valueChanged, scrolling, &QScrollBar::setValue);
    placeScrollBar();
}

void OutsideTextBrowser::setBoundedHtml(const QString& html, const OutsideHtmlLimits& limits, qint64 loaded) {
    auto* outside = qobject_cast<OutsideTextDocument*>(document());
    if (!outside) {
        setHtml(html);
        return;
    }
    outside->setBoundedHtml(html, limits, loaded, [this](const QString& text) { setHtml(text); });
}

void OutsideTextBrowser::changeEvent(QEvent* event) {
    if ((event->type() == QEvent::FontChange || event->type() == QEvent::ApplicationFontChange) &&
        document()->defaultFont() == font()) {
        // Qt's text view gives its document its font again at every font change, and the
        // document lays itself out again for it: polishing a browser placed before it was shown
        // announces its font once more, the same, and laid the text out a second time.
        QAbstractScrollArea::changeEvent(event);
        return;
    }
    QTextBrowser::changeEvent(event);
    if (event->type() == QEvent::StyleChange) {
        placeScrollBar();
        fitTextWidth();
    }
}

bool OutsideTextBrowser::event(QEvent* event) {
    if (event->type() == QEvent::Resize && !testAttribute(Qt::WA_WState_Polished)) {
        // Its style first: polished after its first size (a browser painted before it was
        // shown), its frame and margins would change the text's width once more.
        ensurePolished();
    }
    return QTextBrowser::event(event);
}

void OutsideTextBrowser::resizeEvent(QResizeEvent* event) {
    QTextBrowser::resizeEvent(event);
    m_sized = true;
    placeScrollBar();
    fitTextWidth();
}

void OutsideTextBrowser::fitTextWidth() {
    // Not before the browser has its size: the width it has until then is none it shows.
    const int width = viewport()->width();
    if (m_sized && width > 0 && width != lineWrapColumnOrWidth()) {
        setLineWrapColumnOrWidth(width);
    }
}

void OutsideTextBrowser::placeScrollBar() {
    const int extent = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    if (viewportMargins().right() != extent) {
        setViewportMargins(0, 0, extent, 0);
    }
    const QRect text = viewport()->geometry();
    m_scrollBar->setGeometry(text.right() + 1, text.top(), contentsRect().right() - text.right(),
                             text.height());
    m_scrollBar->setPageStep(text.height());
}

} // namespace velmora
