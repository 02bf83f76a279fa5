#include "views/main/TimeEditFieldView.h"

#include "core/time/TimeFormatter.h"
#include "state/ElapsedTicker.h"
#include "state/TimerViewModel.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStackedLayout>

#include <algorithm>
#include <cmath>

namespace velmora {

TimeEditFieldView::TimeEditFieldView(TimerViewModel& timer, QWidget* parent)
    : QWidget(parent), m_timer(&timer) {
    m_stack = new QStackedLayout(this);
    m_stack->setContentsMargins(0, 0, 0, 0);
    m_label = new QLabel(this);
    m_label->setCursor(Qt::IBeamCursor);
    m_label->installEventFilter(this);
    m_field = new QLineEdit(this);
    m_field->setPlaceholderText(placeholder);
    m_field->setFrame(false);
    m_field->installEventFilter(this);
    // Both layers take the room of the wider one, so the block does not jump.
    const int width = m_field->fontMetrics().horizontalAdvance(QStringLiteral("000:00:00")) + 6;
    m_field->setMinimumWidth(width);
    // The running time changes its text every second: a label of a fixed size takes a new
    // text with a repaint of itself alone, where one that may resize has the window's
    // layout worked out again each second.
    m_label->setText(QStringLiteral("000:00:00"));
    m_label->setFixedSize(width, std::max(m_label->sizeHint().height(), m_field->sizeHint().height()));
    m_stack->addWidget(m_label);
    m_stack->addWidget(m_field);
    m_stack->setCurrentWidget(m_label);

    connect(m_field, &QLineEdit::returnPressed, this, &TimeEditFieldView::commitEdit);
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
    m_field->setFocus(Qt::MouseFocusReason);
    m_field->selectAll();
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

void TimeEditFieldView::focusChanged(bool focused) {
    if (focused || !m_editing || m_ending) {
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
    m_stack->setCurrentWidget(m_label);
    if (m_field->hasFocus()) {
        m_field->clearFocus();
    }
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
    if (watched == m_field && event->type() == QEvent::FocusOut) {
        focusChanged(false);
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace velmora
