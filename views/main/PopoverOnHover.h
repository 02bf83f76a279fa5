#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class QLabel;
class QWidget;

namespace velmora {

// Shows a short text in a small popup next to a widget while the pointer rests on
// it, or while it has the keyboard focus. The popup sits on the side the arrow points
// from: an arrow on its top edge puts it under the widget, on its leading edge to the
// right of it, and so on; where the screen has no room on that side, on the other, and
// always within the screen.
class PopoverOnHover : public QObject {
    Q_OBJECT

public:
    enum class ArrowEdge { top, leading, bottom, trailing };

    // Attaches to `target` and lives as long as it does. Without a width the text
    // takes its own width.
    static PopoverOnHover* attach(QWidget* target, QString text, ArrowEdge arrowEdge,
                                  std::optional<int> width = std::nullopt);

    // The popover attached to `target`, if any.
    static PopoverOnHover* of(const QWidget* target);

    bool isHovering() const { return m_isHovering; }
    const QString& text() const { return m_text; }
    void setText(QString text);
    // The popup while it is shown; null otherwise.
    QWidget* popover() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    PopoverOnHover(QWidget* target, QString text, ArrowEdge arrowEdge, std::optional<int> width);
    void setHovering(bool hovering);
    void setFocused(bool focused);
    void update();
    void place();

    QPointer<QWidget> m_target;
    QString m_text;
    ArrowEdge m_arrowEdge;
    std::optional<int> m_width;
    bool m_isHovering = false;
    bool m_isFocused = false;
    bool m_shown = false;
    QPointer<QLabel> m_popover;
};

} // namespace velmora
