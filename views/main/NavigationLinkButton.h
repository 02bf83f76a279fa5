#pragma once

#include "views/main/Binding.h"
#include "views/main/SystemSymbol.h"

#include <QAbstractButton>
#include <QRect>
#include <QString>

#include <optional>

class QPainter;
class QPalette;

namespace velmora {

// A selectable row of the sidebar that draws its own selection: a click writes the
// negation of `isActive` through the binding (the sidebar's bindings turn any write
// into "select me"), and a selected row is highlighted in the accent colour with
// white text in the key window, in a neutral grey otherwise.
class NavigationLinkButton : public QAbstractButton {
    Q_OBJECT

public:
    // The label's padding inside the highlight, and the highlight's corner radius.
    static constexpr qreal horizontalPadding = 6.0;
    static constexpr qreal verticalPadding = 5.5;
    static constexpr qreal cornerRadius = 5.0;

    // How a row looks, shared with the project rows the sidebar's list paints.
    struct Look {
        QColor background; // invalid: no highlight
        QColor foreground;
    };
    static Look look(const QPalette& palette, bool isActive, bool windowIsKey);
    // Paints the highlight of `look` over `rect` (with its rounded corners).
    static void paintHighlight(QPainter& painter, const QRectF& rect, const Look& look);
    // Marks the row that has the keyboard focus, over whatever highlight it has.
    // `under`: the highlight the row is painted with.
    static void paintFocusRing(QPainter& painter, const QRectF& rect, const QPalette& palette,
                               const Look& under = {});

    // The label: an optional symbol (drawn in the row's text colour) and a text.
    NavigationLinkButton(Binding<bool> isActive, QString text,
                         std::optional<SystemSymbol::Name> symbol = std::nullopt, QWidget* parent = nullptr);

    bool isActive() const { return m_isActive.get(); }
    // The row's current look, as painted.
    Look currentLook() const;

    QSize sizeHint() const override;

    // Where the highlight is drawn and clicks count: the whole row.
    bool hitButton(const QPoint& pos) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Return chooses the row, as Space does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    Binding<bool> m_isActive;
    std::optional<SystemSymbol::Name> m_symbol;
};

} // namespace velmora
