#include "views/main/PopoverOnHover.h"

#include "views/main/ScreenRoom.h"

#include <QEvent>
#include <QLabel>
#include <QScreen>
#include <QWidget>

namespace velmora {

PopoverOnHover* PopoverOnHover::attach(QWidget* target, QString text, ArrowEdge arrowEdge,
                                       std::optional<int> width) {
    Q_ASSERT(target);
    return new PopoverOnHover(target, std::move(text), arrowEdge, width);
}

PopoverOnHover::PopoverOnHover(QWidget* target, QString text, ArrowEdge arrowEdge, std::optional<int> width)
    : QObject(target), m_target(target), m_text(std::move(text)), m_arrowEdge(arrowEdge), m_width(width) {
    target->setAttribute(Qt::WA_Hover);
    target->installEventFilter(this);
}

void PopoverOnHover::setText(QString text) {
    m_text = std::move(text);
    if (m_popover) {
        m_popover->setText(m_text);
        m_popover->adjustSize();
        place();
    }
}

PopoverOnHover* PopoverOnHover::of(const QWidget* target) {
    return target ? target->findChild<PopoverOnHover*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

QWidget* PopoverOnHover::popover() const {
    return m_popover && m_popover->isVisible() ? m_popover.data() : nullptr;
}

bool PopoverOnHover::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::Enter:
        case QEvent::HoverEnter:
            setHovering(true);
            break;
        case QEvent::Leave:
        case QEvent::HoverLeave:
            setHovering(false);
            break;
        case QEvent::FocusIn:
            setFocused(true);
            break;
        case QEvent::FocusOut:
            setFocused(false);
            break;
        case QEvent::Hide:
            m_isFocused = false;
            setHovering(false);
            update();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void PopoverOnHover::setHovering(bool hovering) {
    m_isHovering = hovering;
    update();
}

void PopoverOnHover::setFocused(bool focused) {
    m_isFocused = focused;
    update();
}

void PopoverOnHover::update() {
    const bool shown = m_isHovering || m_isFocused;
    if (m_shown == shown) {
        return;
    }
    m_shown = shown;
    if (!shown) {
        if (m_popover) {
            m_popover->hide();
        }
        return;
    }
    if (!m_popover) {
        // A tool-tip window never takes the focus or the mouse away from the window.
        m_popover = new QLabel(nullptr, Qt::ToolTip | Qt::FramelessWindowHint);
        m_popover->setAttribute(Qt::WA_DeleteOnClose);
        connect(this, &QObject::destroyed, m_popover.data(), &QObject::deleteLater);
        m_popover->setMargin(10);
        m_popover->setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
        m_popover->setFrameShape(QFrame::StyledPanel);
        m_popover->setAutoFillBackground(true);
    }
    m_popover->setText(m_text);
    m_popover->setWordWrap(m_width.has_value());
    if (m_width) {
        m_popover->setFixedWidth(*m_width + 2 * m_popover->margin());
    }
    m_popover->adjustSize();
    place();
    m_popover->show();
}

void PopoverOnHover::place() {
    if (!m_target || !m_popover) {
        return;
    }
    const QRect bounds(m_target->mapToGlobal(QPoint(0, 0)), m_target->size());
    const QSize size = m_popover->sizeHint();
    QPoint at;
    switch (m_arrowEdge) {
    case ArrowEdge::top:
        at = QPoint(bounds.center().x() - size.width() / 2, bounds.bottom() + 4);
        break;
    case ArrowEdge::bottom:
        at = QPoint(bounds.center().x() - size.width() / 2, bounds.top() - size.height() - 4);
        break;
    case ArrowEdge::leading:
        at = QPoint(bounds.right() + 4, bounds.center().y() - size.height() / 2);
        break;
    case ArrowEdge::trailing:
        at = QPoint(bounds.left() - size.width() - 4, bounds.center().y() - size.height() / 2);
        break;
    }
    if (const QScreen* screen = m_target->screen()) {
        const QRect room = screen->availableGeometry();
        // No room on its side (a window at the screen's edge): on the other side of the widget.
        if (at.y() < room.top() && m_arrowEdge == ArrowEdge::bottom) {
            at.setY(bounds.bottom() + 4);
        } else if (at.y() + size.height() > room.bottom() && m_arrowEdge == ArrowEdge::top) {
            at.setY(bounds.top() - size.height() - 4);
        } else if (at.x() + size.width() > room.right() && m_arrowEdge == ArrowEdge::leading) {
            at.setX(bounds.left() - size.width() - 4);
        } else if (at.x() < room.left() && m_arrowEdge == ArrowEdge::trailing) {
            at.setX(bounds.right() + 4);
        }
        at = ScreenRoom::fitted(QRect(at, size), room);
    }
    m_popover->move(at);
}

} // namespace velmora
