#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>
#include <QWidget>

namespace velmora {

// The running time as shown: one line of plain text, a stop of the Tab chain, framed by
// the sidebar's focus ring while the keyboard is on it. A label would do the drawing,
// but one that takes the focus makes its text a document, laid out again at each of the
// running timer's seconds; this draws the line itself and nothing more.
//
// The text sits inside the contents margins, clear of the ring along the edge. A new
// text repaints the time alone and asks no layout of the window: whoever shows it gives
// it a size that holds the longest time.
class TimeLabel : public QWidget {
    Q_OBJECT

public:
    explicit TimeLabel(QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The focus ring for the label's size and colours, drawn once.
    const QPixmap& focusRing();

    QString m_text;
    QPixmap m_ring;
    QColor m_ringColor;
};

} // namespace velmora
