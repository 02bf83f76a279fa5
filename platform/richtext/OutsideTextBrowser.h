#pragma once

#include "platform/richtext/OutsideHtml.h"

#include <QTextBrowser>

class QScrollBar;

namespace velmora {

// A text browser for HTML from outside (a task's description, release notes): its document is an
// OutsideTextDocument, which reads nothing the HTML names and paints the glyphs its layout
// shaped, and the text is laid out once for each width the browser shows it at. Qt lays out a
// browser's text again whenever the width changes, and shaping it is what costs (seconds for a
// description of emoji): so the text is first laid out when the browser is placed at its width,
// not at the size it has before, and the scroll bar shown stands in room kept for it beside the
// text whether it shows or not, so that its coming and going never changes the text's width.
class OutsideTextBrowser : public QTextBrowser {
    Q_OBJECT

public:
    explicit OutsideTextBrowser(QWidget* parent = nullptr);

    // `html`, bounded already with `limits` (finding its fonts took `loaded` of them: see
    // boundOutsideHtml), as the browser's text, the fonts its styles need loaded before it is
    // laid out (see OutsideTextDocument::setBoundedHtml).
    void setBoundedHtml(const QString& html, const OutsideHtmlLimits& limits = {}, qint64 loaded = 0);

    // The scroll bar shown while the text is taller than the browser. Scrolling works through
    // the browser's own vertical scroll bar, hidden, which this one mirrors.
    QScrollBar* shownScrollBar() const { return m_scrollBar; }

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Keeps room for the scroll bar beside the text and places it there.
    void placeScrollBar();
    // Lays the text out at the browser's width if that is new.
    void fitTextWidth();

    QScrollBar* m_scrollBar = nullptr;
    // Whether the browser has been given its size.
    bool m_sized = false;
};

} // namespace velmora
