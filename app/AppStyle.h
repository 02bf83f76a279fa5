#pragma once

#include <QProxyStyle>

namespace velmora {

// The style Qt picks for the desktop, with its own drawings of the few standard icons
// the app's windows show: a toolbar's overflow arrows and a search field's clear
// button. Qt takes those from image files whose type it finds by asking every image
// plugin in turn, which loads all of them, and the libraries behind them (TIFF, MNG,
// colour management and more), into every run for two small pictures. It also marks
// a tool button that has the keyboard focus more plainly than the desktop style does.
class AppStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QIcon standardIcon(StandardPixmap standardIcon, const QStyleOption* option = nullptr,
                       const QWidget* widget = nullptr) const override;
    // The desktop's palette with a selection highlight that its text reads on, so the
    // lists Qt draws select as readably as the app's own rows.
    void polish(QPalette& palette) override;
    using QProxyStyle::polish;
    // Tool buttons (the toolbar's, the timer's) that the keyboard reached wear a ring in
    // the accent colour.
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;

    // A dialog's default button (what Return presses) is filled with the accent, its label in
    // the accent's text colour: the desktop style marks it with a frame much like the focus's.
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;

    // Two chevrons pointing the way a toolbar's hidden items lie: right (left in a
    // right-to-left layout) for a horizontal toolbar, down for a vertical one.
    static QIcon extensionIcon(bool vertical, bool rightToLeft, const QColor& color);
    // A cross on a round, muted disc.
    static QIcon clearIcon(const QColor& disc, const QColor& cross);
};

} // namespace velmora
