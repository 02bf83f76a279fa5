#include "views/main/TimerBlockView.h"

#include "state/TimerViewModel.h"
#include "views/main/Appearance.h"
#include "views/main/PlainText.h"
#include "views/main/SystemSymbol.h"
#include "views/main/TimeEditFieldView.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QStackedLayout>
#include <QToolButton>

namespace velmora {

namespace {
// Reached with Tab (a click leaves the focus where it was); Space and Return press it.
class TimerButton : public QToolButton {
public:
    using QToolButton::QToolButton;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat()) {
            event->accept();
            click();
            return;
        }
        QToolButton::keyPressEvent(event);
    }
};

QToolButton* makeButton(QWidget* parent, const QString& name) {
    auto* button = new TimerButton(parent);
    button->setAutoRaise(true);
    button->setObjectName(name);
    button->setToolTip(name);
    button->setIconSize(QSize(14, 14));
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}
} // namespace

TimerBlockView::TimerBlockView(TimerViewModel& timer, QWidget* parent) : QWidget(parent), m_timer(&timer) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 10, 10, 10);

    // The reference and the clock share one place; only one of them is visible.
    auto* mark = new QWidget(this);
    auto* markStack = new QStackedLayout(mark);
    markStack->setStackingMode(QStackedLayout::StackAll);
    m_reference = new QLabel(mark);
    m_reference->setFont(Appearance::scaledFont(m_reference->font(), 0.8));
    m_reference->setAlignment(Qt::AlignCenter);
    m_clock = new QLabel(mark);
    m_clock->setAlignment(Qt::AlignCenter);
    markStack->addWidget(m_reference);
    markStack->addWidget(m_clock);
    row->addWidget(mark);

    m_timeField = new TimeEditFieldView(timer, this);
    row->addWidget(m_timeField);
    row->addStretch(1);

    m_stop = makeButton(this, QStringLiteral("Stop"));
    m_pause = makeButton(this, QStringLiteral("Pause"));
    m_play = makeButton(this, QStringLiteral("Continue"));
    row->addWidget(m_stop);
    row->addWidget(m_pause);
    row->addWidget(m_play);

    // The buttons take no focus, so a time typed into the field and not yet ended with
    // Return is still only in the field when one is clicked: the field hands it to the
    // timer first, or stopping would open the booking sheet with the time from before.
    connect(m_stop, &QToolButton::clicked, this, [this] {
        m_timeField->commitEdit();
        if (m_timer) {
            m_timer->cancel();
        }
    });
    connect(m_pause, &QToolButton::clicked, this, [this] {
        m_timeField->commitEdit();
        if (m_timer) {
            m_timer->pause();
        }
    });
    connect(m_play, &QToolButton::clicked, this, [this] {
        m_timeField->commitEdit();
        if (m_timer) {
            m_timer->resume();
        }
    });
    connect(&timer, &TimerViewModel::taskChanged, this, &TimerBlockView::refresh);
    connect(&timer, &TimerViewModel::stateChanged, this, &TimerBlockView::refresh);
    updateIcons();
    refresh();
}

bool TimerBlockView::showsClock() const {
    return !m_clock->isHidden();
}

void TimerBlockView::refresh() {
    if (!m_timer) {
        return;
    }
    const auto& task = m_timer->task();
    const bool hasReference = task && task->reference && !task->reference->isEmpty();
    setPlainText(m_reference, hasReference ? *task->reference : QString());
    m_reference->setVisible(hasReference);
    m_clock->setVisible(!hasReference);

    const auto state = m_timer->state();
    m_stop->setVisible(state != TimerViewModel::State::cancelled);
    m_pause->setVisible(state == TimerViewModel::State::active);
    m_play->setVisible(state == TimerViewModel::State::paused);
    QWidget::update();
}

void TimerBlockView::updateIcons() {
    const QColor tertiary = Appearance::tertiary(palette());
    QPalette referencePalette = m_reference->palette();
    referencePalette.setColor(QPalette::WindowText, Appearance::secondary(palette()));
    m_reference->setPalette(referencePalette);
    m_clock->setPixmap(SystemSymbol::icon(SystemSymbol::Name::clock, tertiary).pixmap(QSize(16, 16)));
    m_stop->setIcon(SystemSymbol::icon(SystemSymbol::Name::squareFill, tertiary));
    m_pause->setIcon(SystemSymbol::icon(SystemSymbol::Name::pauseFill, tertiary));
    m_play->setIcon(SystemSymbol::icon(SystemSymbol::Name::playFill, tertiary));
}

QColor TimerBlockView::backgroundColor() const {
    const qreal opacity = Appearance::isDark(palette()) ? 0.5 : 0.2;
    return Appearance::withOpacity(Appearance::tertiary(palette()), opacity);
}

void TimerBlockView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(Appearance::quaternary(palette()), 1));
    painter.setBrush(backgroundColor());
    painter.drawRoundedRect(frame, cornerRadius, cornerRadius);
}

void TimerBlockView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        updateIcons();
    }
    QWidget::changeEvent(event);
}

} // namespace velmora
