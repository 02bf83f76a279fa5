#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <QPlainTextEdit>

namespace velmora {

// The look of every multi-line description input: a white field (a faint fill in
// dark appearance) in the 13 px system font with a hairline border, and a 4 px focus
// ring around it while it has the keyboard focus. The tracker forms build their own
// plain text editors; the booking sheet finds them and hands each to `attach`, which
// styles the editor in place and follows its focus.
class CustomTextEditor : public QObject {
    Q_OBJECT

public:
    static constexpr qreal borderWidth = 0.8;
    static constexpr qreal ringWidth = 4.0;
    static constexpr int fontPixelSize = 13;

    // Styles `editor` and lives as long as it does.
    static CustomTextEditor* attach(QPlainTextEdit* editor);
    // The one attached to `editor`, if any.
    static CustomTextEditor* of(const QPlainTextEdit* editor);

    QPlainTextEdit* editor() const { return liveEditor(); }
    bool isFocused() const { return m_focused; }
    // The ring drawn around the editor (transparent while it is not focused).
    QWidget* focusRing() const { return m_ring; }
    QColor ringColor() const;
    // Puts the ring around the editor where it is now in its window.
    void placeRing();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit CustomTextEditor(QPlainTextEdit* editor);
    void restyle();

    // The editor, or null once it is gone or being destroyed: the filter still sees its
    // events while its destructor runs, when it may no longer be treated as an editor.
    QPlainTextEdit* liveEditor() const;

    QPointer<QObject> m_editor;
    QPointer<QWidget> m_ring;
    bool m_focused = false;
};

} // namespace velmora
