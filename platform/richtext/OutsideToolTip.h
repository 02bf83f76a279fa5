#pragma once

#include <QCache>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <memory>

class QTimer;

namespace velmora {

class FontCosts;

// The tooltip of text from outside (a name, an address): the characters it is, bounded as a name is
// (plainName, with a tooltip's length and what laying it out may cost), the fonts it needs loaded
// within a line's budget, laid out once for the width it wraps at and painted from what that
// made. Qt's own tooltip takes text that looks like markup for rich text, and lays its text out
// several times each time it shows, as a label working out its size: a name of 500 rockets took
// it a second a show.
class OutsideToolTip : public QWidget {
    Q_OBJECT

public:
    // Shows `text` near `globalPos` for `widget`, for as long as the mouse stays over it (and in
    // `rect`, of the widget's coordinates, if given); an empty text hides the tooltip.
    static void showText(const QPoint& globalPos, const QString& text, QWidget* widget,
                         const QRect& rect = {});
    static void hideText();
    // What the tooltip shows now (the text bounded), empty while it is hidden.
    static QString text();
    // Makes `widget` show `text` as its tooltip (an empty text shows none), in place of Qt's.
    static void attach(QWidget* widget, const QString& text);
    // The text attached to `widget`.
    static QString attachedText(const QWidget* widget);

    // What the tooltip shows of `text` in `font`: bounded as a name, and cut with an ellipsis where
    // the next font it needs would cost more to load than a line may (the first is loaded whatever
    // it costs, as a line's is).
    static QString shownText(const QString& text, const QFont& font, FontCosts& fonts);

    // The widest the text is laid out, in average characters of the tooltip's font.
    static constexpr int widestInCharacters = 60;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    OutsideToolTip();
    static OutsideToolTip& instance();
    void show(const QPoint& globalPos, const QString& text, QWidget* widget, const QRect& rect);

    struct Laid;
    std::shared_ptr<const Laid> laidOut(const QString& text);

    // The last few shown: showing one again lays nothing out. Kept with the window, so the fonts
    // they were laid out in go with the application.
    QCache<QString, std::shared_ptr<const Laid>> m_kept{16};
    QString m_text;
    std::shared_ptr<const Laid> m_laid;
    QPointer<QWidget> m_widget;
    QRect m_rect;
    QTimer* m_expiry = nullptr;
};

} // namespace velmora
