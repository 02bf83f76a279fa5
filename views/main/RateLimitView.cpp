#include "views/main/RateLimitView.h"

#include "views/main/Appearance.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora {

namespace {

// The warning sign above the message.
QPixmap warningSign(const QPalette& palette, int side) {
    QPixmap pixmap(QSize(side, side) * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath triangle;
    triangle.moveTo(side / 2.0, 2);
    triangle.lineTo(side - 2, side - 3);
    triangle.lineTo(2, side - 3);
    triangle.closeSubpath();
    painter.fillPath(triangle, Appearance::primary(palette));
    painter.setPen(QPen(palette.color(QPalette::Window), side / 10.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(side / 2.0, side * 0.38), QPointF(side / 2.0, side * 0.62));
    painter.drawPoint(QPointF(side / 2.0, side * 0.76));
    return pixmap;
}

} // namespace

QString RateLimitView::message(std::int64_t delay) {
    return QStringLiteral("You’ve hit a speed bump. Let’s take a break for <b>%1 %2</b> before we go again!")
        .arg(delay)
        .arg(delay == 1 ? QStringLiteral("second") : QStringLiteral("seconds"));
}

RateLimitView::RateLimitView(std::int64_t delay, std::function<void()> retry,
                             std::chrono::milliseconds tickInterval, QWidget* parent)
    : QWidget(parent), m_delay(delay), m_retry(std::move(retry)) {
    setObjectName(QStringLiteral("RateLimitView"));
    auto* outer = new QVBoxLayout(this);
    outer->addStretch(1);
    auto* column = new QVBoxLayout;
    column->setSpacing(10);
    auto* sign = new QLabel(this);
    sign->setPixmap(warningSign(palette(), 40));
    column->addWidget(sign, 0, Qt::AlignHCenter);
    auto* title = new QLabel(tr("Easy there, turbo!"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    title->setFont(titleFont);
    column->addWidget(title, 0, Qt::AlignHCenter);
    m_message = new QLabel(this);
    m_message->setTextFormat(Qt::RichText);
    m_message->setWordWrap(true);
    m_message->setAlignment(Qt::AlignCenter);
    m_message->setFixedWidth(300);
    column->addWidget(m_message, 0, Qt::AlignHCenter);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 20, 0, 0);
    m_changeProvider = new QPushButton(tr("Change provider"), this);
    m_bringMeBack = new QPushButton(tr("Bring me back"), this);
    m_bringMeBack->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(m_changeProvider);
    buttons->addWidget(m_bringMeBack);
    buttons->addStretch(1);
    column->addLayout(buttons);
    outer->addLayout(column);
    outer->addStretch(1);

    m_timer.setInterval(tickInterval);
    connect(&m_timer, &QTimer::timeout, this, &RateLimitView::tick);
    connect(m_changeProvider, &QPushButton::clicked, this, &RateLimitView::changeProvider);
    connect(m_bringMeBack, &QPushButton::clicked, this, [this] {
        if (m_delay <= 0 && m_retry) {
            m_retry();
        }
    });
    refresh();
}

void RateLimitView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_timer.isActive() && m_delay > 0) {
        m_timer.start();
    }
}

void RateLimitView::tick() {
    if (m_delay < 1) {
        m_timer.stop();
        return;
    }
    --m_delay;
    if (m_delay == 0) {
        // Nothing is left to count.
        m_timer.stop();
    }
    refresh();
}

void RateLimitView::refresh() {
    m_message->setText(message(m_delay));
    // A wrapped label of fixed width in a centred column is given one line's height
    // unless it asks for its lines: without this the screen shows a middle line only.
    m_message->setMinimumHeight(m_message->heightForWidth(m_message->width()));
    m_bringMeBack->setEnabled(m_delay <= 0);
}

void RateLimitView::changeProvider() {
    m_changingProvider = !m_changingProvider;
    if (!m_changingProvider || !m_providerSelectorFactory || m_providerSelector) {
        return;
    }
    m_providerSelector = m_providerSelectorFactory(window());
    if (!m_providerSelector) {
        m_changingProvider = false;
        return;
    }
    m_providerSelector->setAttribute(Qt::WA_DeleteOnClose);
    m_providerSelector->setWindowModality(Qt::WindowModal);
    connect(m_providerSelector, &QDialog::finished, this, [this] { m_changingProvider = false; });
    m_providerSelector->open();
}

} // namespace velmora
