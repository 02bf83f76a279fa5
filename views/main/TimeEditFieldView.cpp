#include "views/main/TimeEditFieldView.h"

#include "core/time/TimeFormatter.h"
#include "state/ElapsedTicker.h"
#include "state/TimerViewModel.h"
#include "views/main/TimeLabel.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStackedLayout>

#include <algorithm>
#include <cmath>

namespace velmora {

namespace {

// Keys that open the field from the time: Return, Enter, Space and F2, as on a button or
// a list's item.
bool opensField(const QKeyEvent& key) {
    if (key.modifiers() & ~Qt::KeypadModifier) {
        return false;
    }
    switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
    case Qt::Key_F2:
        return true;
    default:
        return false;
    }
}

// A figure or a colon typed on the time starts the field with it, as typing over a cell does.
bool startsTime(const QKeyEvent& key) {
    const QString text = key.text();
    return text.size() == 1 && (text.front().isDigit() || text.front() == QLatin1Char(':')) &&
           !(key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

} // namespace

TimeEditFieldView::TimeEditFieldView(TimerViewModel& timer, QWidget* parent)
    : QWidget(parent), m_timer(&timer) {
    m_stack = new QStackedLayout(this);
    m_stack->setContentsMargins(0, 0, 0, 0);
    m_label = new TimeLabel(this);
    m_label->setCursor(Qt::IBeamCursor);
    // Reached by Tab and opened by Return, Space or F2: a time that only a click can
    // edit is out of a keyboard's reach.
    m_label->setFocusPolicy(Qt::StrongFocus);
    m_label->setAccessibleName(QStringLiteral("Tracked time"));
    m_label->setAccessibleDescription(QStringLiteral("Press Return to change the time"));
    m_label->installEventFilter(this);
    m_field = new QLineEdit(this);
    m_field->setPlaceholderText(placeholder);
    m_field->setFrame(false);
    m_field->installEventFilter(this);
    // Both layers take the room of the wider one, so the block does not jump.
    // The text clear of the focus ring drawn along the edge: its two pixels and a gap of
    // three on either side, hundreds of hours included.
    constexpr int ringClearance = 5;
    const int width =
        m_field->fontMetrics().horizontalAdvance(QStringLiteral("000:00:00")) + 2 * ringClearance;
    m_field->setMinimumWidth(width);
    // The running time changes its text every second: its room is fixed, for the longest
    // time, so a new text is a repaint of the time alone and never a layout of the window.
    m_label->setContentsMargins(ringClearance, 0, ringClearance, 0);
    m_label->setText(QStringLiteral("000:00:00"));
    m_label->setFixedSize(width, std::max(m_label->sizeHint().height(), m_field->sizeHint().height()));
    m_stack->addWidget(m_label);
    m_stack->addWidget(m_field);
    m_stack->setCurrentWidget(m_label);

    connect(m_field, &QLineEdit::returnPressed, this, &TimeEditFieldView::commitEdit);
    // An edit left open while the user was elsewhere is of the time it began on: once that
    // time has gone to another task, or been booked and the timer emptied, it goes too, and
    // nothing typed for it reaches the next task.
    connect(&timer, &TimerViewModel::taskChanged, this, &TimeEditFieldView::cancelEdit);
    // A wake-up for each second the running timer gathers, none while it does not run.
    m_ticker = new ElapsedTicker(
        timer, 1, [this] { refresh(); }, this);
    refresh();
}

QString TimeEditFieldView::elapsedText() const {
    if (!m_timer) {
        return QStringLiteral("00:00");
    }
    return m_timer->formatter().string(m_timer->elapsed()).value_or(QStringLiteral("00:00"));
}

void TimeEditFieldView::refresh() {
    m_label->setText(elapsedText());
}

void TimeEditFieldView::beginEdit() {
    if (!m_timer || m_editing) {
        return;
    }
    m_editing = true;
    m_value = std::round(m_timer->elapsed());
    m_initialValue = m_value;
    m_field->setText(TimeFormatter::format(m_value, TimeFormatter::Style::Long).value_or(QString()));
    m_stack->setCurrentWidget(m_field);
    m_field->setFocus(Qt::OtherFocusReason);
    m_field->selectAll();
}

void TimeEditFieldView::cancelEdit() {
    if (m_editing) {
        endEdit();
    }
}

void TimeEditFieldView::takeText() {
    // Text that is not a time leaves the value as it was.
    if (auto parsed = TimeFormatter::parse(m_field->text())) {
        m_value = *parsed;
    }
}

void TimeEditFieldView::commitEdit() {
    if (!m_editing) {
        return;
    }
    takeText();
    if (m_value != m_initialValue && m_timer) {
        m_timer->setDuration(m_value);
    }
    endEdit();
}

void TimeEditFieldView::endEdit() {
    // Giving up the focus below reports a focus loss; that is this same ending.
    m_ending = true;
    m_editing = false;
    // The keyboard stays where the user was: on the time, for the next edit or Tab.
    if (m_field->hasFocus()) {
        m_label->setFocus(Qt::OtherFocusReason);
    }
    m_stack->setCurrentWidget(m_label);
    m_ending = false;
    refresh();
}

bool TimeEditFieldView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_label && event->type() == QEvent::MouseButtonPress) {
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            beginEdit();
            return true;
        }
    }
    if (watched == m_label && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (opensField(*key)) {
            beginEdit();
            return true;
        }
        if (startsTime(*key)) {
            beginEdit();
            if (m_editing) {
                m_field->setText(key->text());
            }
            return true;
        }
    }
    if (watched == m_field && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        // Nothing typed is taken.
        cancelEdit();
        return true;
    }
    if (watched == m_field && event->type() == QEvent::FocusOut) {
        // Another window taking the keyboard, or the field's own menu, is no leaving: the edit
        // goes on when the user is back, and a time half typed is not taken meanwhile.
        const auto* focus = dynamic_cast<const QFocusEvent*>(event);
        const Qt::FocusReason reason = focus ? focus->reason() : Qt::OtherFocusReason;
        // Leaving ends the edit as Return does, unless the edit is ending already (giving
        // up the focus is part of its end).
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && !m_ending) {
            commitEdit();
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace velmora
