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

void OutsideTextBrowser::changeEvent(QEvent* event) {
    QTextBrowser::changeEvent(event);
    if (event->type() == QEvent::StyleChange) {
        placeScrollBar();
    }
}

void OutsideTextBrowser::resizeEvent(QResizeEvent* event) {
    QTextBrowser::resizeEvent(event);
    placeScrollBar();
}

void OutsideTextBrowser::placeScrollBar() {
    const int extent = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    if (viewportMargins().right() != extent) {
        setViewportMargins(0, 0, extent, 0);
    }
    const QRect text = viewport()->geometry();
    m_scrollBar->setGeometry(text.right() + 1, text.top(), contentsRect().right() - text.right(), text.height());
    m_scrollBar->setPageStep(text.height());
}

} // namespace velmora
