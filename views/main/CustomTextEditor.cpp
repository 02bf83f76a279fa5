#include "views/main/CustomTextEditor.h"

#include "views/main/Appearance.h"

#include <QEvent>
#include <QPainter>
#include <QPlainTextEdit>

namespace velmora {

namespace {

constexpr char attachedProperty[] = "velmoraCustomTextEditor";

// Paints the outer focus ring. It is a child of the editor's window, on top of the
// window's content, so no container around the editor cuts it off; it draws only
// outside the editor's frame and lets every click through.
class FocusRing : public QWidget {
public:
    FocusRing(CustomTextEditor& owner, QWidget* parent) : QWidget(parent), m_owner(owner) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const QColor color = m_owner.ringColor();
        if (color.alpha() == 0) {
            return;
        }
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal half = CustomTextEditor::ringWidth / 2;
        painter.setPen(QPen(color, CustomTextEditor::ringWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(half, half, -half, -half), 2, 2);
    }

private:
    CustomTextEditor& m_owner;
};

} // namespace

CustomTextEditor* CustomTextEditor::attach(QPlainTextEdit* editor) {
    Q_ASSERT(editor);
    if (auto* existing = of(editor)) {
        return existing;
    }
    return new CustomTextEditor(editor);
}

CustomTextEditor* CustomTextEditor::of(const QPlainTextEdit* editor) {
    if (!editor) {
        return nullptr;
    }
    return qobject_cast<CustomTextEditor*>(editor->property(attachedProperty).value<QObject*>());
}

CustomTextEditor::CustomTextEditor(QPlainTextEdit* editor) : QObject(editor), m_editor(editor) {
    editor->setProperty(attachedProperty, QVariant::fromValue(static_cast<QObject*>(this)));
    editor->installEventFilter(this);
    // A little room between the border and the text, as a text container inset would give.
    editor->document()->setDocumentMargin(2);
    m_focused = editor->hasFocus();
    QWidget* window = editor->window();
    if (window != editor) {
        m_ring = new FocusRing(*this, window);
        // Moving any container between the editor and its window moves the editor too.
        for (QWidget* ancestor = editor->parentWidget(); ancestor && ancestor != window;
             ancestor = ancestor->parentWidget()) {
            ancestor->installEventFilter(this);
        }
        placeRing();
    }
    restyle();
}

QPlainTextEdit* CustomTextEditor::liveEditor() const {
    // qobject_cast follows the dynamic type, which is no longer an editor once its own
    // destructor has run; a static downcast there would be undefined.
    return qobject_cast<QPlainTextEdit*>(m_editor.data());
}

QColor CustomTextEditor::ringColor() const {
    QPlainTextEdit* const editor = liveEditor();
    if (!m_focused || !editor) {
        return QColor(Qt::transparent);
    }
    return Appearance::focusIndicator(editor->palette());
}

void CustomTextEditor::restyle() {
    QPlainTextEdit* const editor = liveEditor();
    if (!editor) {
        return;
    }
    const QPalette& colors = editor->palette();
    const QColor background = Appearance::isDark(colors) ? Appearance::quinary(colors) : QColor(Qt::white);
    const QColor border = m_focused ? Appearance::focusIndicator(colors) : QColor(Qt::gray);
    const QString sheet = QStringLiteral("QPlainTextEdit { background: %1; border: %2px solid %3; "
                                         "font-size: %4px; }")
                              .arg(background.name(QColor::HexArgb))
                              .arg(borderWidth)
                              .arg(border.name(QColor::HexArgb))
                              .arg(fontPixelSize);
    // Applying a style sheet changes the editor's palette, which brings us back here.
    if (sheet != editor->styleSheet()) {
        editor->setStyleSheet(sheet);
    }
    if (m_ring) {
        m_ring->update();
    }
}

void CustomTextEditor::placeRing() {
    QPlainTextEdit* const editor = liveEditor();
    if (!editor || !m_ring) {
        return;
    }
    // The ring surrounds the editor's 2 px padding.
    const int outset = 2 + static_cast<int>(ringWidth);
    const QRect frame(editor->mapTo(m_ring->parentWidget(), QPoint(0, 0)), editor->size());
    m_ring->setGeometry(frame.adjusted(-outset, -outset, outset, outset));
    m_ring->setVisible(editor->isVisible());
    m_ring->raise();
}

bool CustomTextEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_editor.data() && !liveEditor()) {
        return QObject::eventFilter(watched, event);
    }
    if (watched != m_editor.data() && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
        placeRing();
    }
    if (watched == m_editor.data()) {
        switch (event->type()) {
        case QEvent::FocusIn:
        case QEvent::FocusOut: {
            const bool focused = event->type() == QEvent::FocusIn;
            if (focused != m_focused) {
                m_focused = focused;
                restyle();
            }
            break;
        }
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            placeRing();
            break;
        case QEvent::PaletteChange:
            restyle();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace velmora
