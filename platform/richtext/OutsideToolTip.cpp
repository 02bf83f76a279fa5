#include "platform/richtext/OutsideToolTip.h"

#include "platform/richtext/FontCosts.h"
#include "platform/richtext/OutsideLines.h"
#include "platform/richtext/OutsideName.h"

#include <QApplication>
#include <QCache>
#include <QHelpEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOption>
#include <QTextLayout>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace velmora {

namespace {

constexpr char attachedProperty[] = "velmora_outsideToolTip";

// Answers the tooltip events of the widgets a text is attached to.
class AttachedToolTips : public QObject {
public:
    static AttachedToolTips& instance() {
        static auto* filter = new AttachedToolTips;
        return *filter;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ToolTip) {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (widget) {
                OutsideToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(),
                                         OutsideToolTip::attachedText(widget), widget);
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

struct OutsideToolTip::Laid {
    // What shows: the text bounded as a tooltip's name.
    QString shown;
    QTextLayout layout;
    QSizeF size;
};

OutsideToolTip::OutsideToolTip() : QWidget(nullptr, Qt::ToolTip | Qt::BypassGraphicsProxyWidget) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setPalette(QToolTip::palette());
    setFont(QToolTip::font());
    setForegroundRole(QPalette::ToolTipText);
    setBackgroundRole(QPalette::ToolTipBase);
    m_expiry = new QTimer(this);
    m_expiry->setSingleShot(true);
    connect(m_expiry, &QTimer::timeout, this, [] { hideText(); });
}

OutsideToolTip& OutsideToolTip::instance() {
    // Made when first shown and kept: it is one window, shown and hidden again. It goes as the
    // application does (Qt leaves a window without parent in place), and with it the fonts it laid
    // its texts out in.
    static QPointer<OutsideToolTip> tip;
    if (!tip) {
        tip = new OutsideToolTip;
        qAddPostRoutine([] { delete tip.data(); });
    }
    return *tip;
}

void OutsideToolTip::showText(const QPoint& globalPos, const QString& text, QWidget* widget,
                              const QRect& rect) {
    if (text.isEmpty()) {
        hideText();
        return;
    }
    instance().show(globalPos, text, widget, rect);
}

void OutsideToolTip::hideText() {
    OutsideToolTip& tip = instance();
    if (!tip.isVisible() && tip.m_text.isEmpty()) {
        return;
    }
    tip.m_expiry->stop();
    tip.hide();
    tip.m_text.clear();
    tip.m_widget = nullptr;
    qApp->removeEventFilter(&tip);
}

QString OutsideToolTip::text() {
    OutsideToolTip& tip = instance();
    return tip.isVisible() && tip.m_laid ? tip.m_laid->shown : QString();
}

void OutsideToolTip::attach(QWidget* widget, const QString& text) {
    widget->setProperty(attachedProperty, text);
    // Qt's own tooltip of the widget, if any, would answer first.
    widget->setToolTip(QString());
    widget->removeEventFilter(&AttachedToolTips::instance());
    widget->installEventFilter(&AttachedToolTips::instance());
}

QString OutsideToolTip::attachedText(const QWidget* widget) {
    return widget ? widget->property(attachedProperty).toString() : QString();
}

QString OutsideToolTip::shownText(const QString& text, const QFont& font, FontCosts& fonts) {
    QString plain = plainName(text, plainToolTipLength, plainToolTipCost);
    if (plain == QString(QChar(0x2026))) {
        plain = OutsideLines::startOfLongFirstCharacter(text);
    }
    // The fonts it needs loaded in the tooltip's font within a line's budget.
    qint64 budget = OutsideLines::loadingBudget;
    bool first = true;
    const qsizetype drawn = loadFonts(plain, font, budget, fonts, &first);
    if (drawn < plain.size()) {
        plain = plain.left(drawn) + QChar(0x2026);
    }
    return plain;
}

std::shared_ptr<const OutsideToolTip::Laid> OutsideToolTip::laidOut(const QString& text) {
    const QString key = font().key() + u'\n' + text;
    if (const auto* found = m_kept.object(key)) {
        return *found;
    }
    auto laid = std::make_shared<Laid>();
    const QString plain = shownText(text, font(), FontCosts::ofThisProcess());
    laid->shown = plain;
    const QFontMetricsF metrics(font());
    const qreal widest = metrics.averageCharWidth() * widestInCharacters;
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    laid->layout.setText(plain);
    laid->layout.setFont(font());
    laid->layout.setTextOption(option);
    laid->layout.setCacheEnabled(true);
    laid->layout.beginLayout();
    qreal height = 0;
    qreal width = 0;
    for (QTextLine line = laid->layout.createLine(); line.isValid(); line = laid->layout.createLine()) {
        line.setLineWidth(widest);
        line.setPosition(QPointF(0, height));
        height += line.height();
        width = std::max(width, line.naturalTextWidth());
    }
    laid->layout.endLayout();
    laid->size = QSizeF(std::ceil(width), std::ceil(height));
    std::shared_ptr<const Laid> made = laid;
    m_kept.insert(key, new std::shared_ptr<const Laid>(made));
    return made;
}

void OutsideToolTip::show(const QPoint& globalPos, const QString& text, QWidget* widget, const QRect& rect) {
    m_widget = widget;
    m_rect = rect;
    if (text != m_text || !m_laid) {
        m_text = text;
        m_laid = laidOut(text);
    }
    const int frame = style()->pixelMetric(QStyle::PM_ToolTipLabelFrameWidth, nullptr, this);
    const int margin = 1 + frame;
    const QSize size = m_laid->size.toSize() + QSize(2 * margin + 2, 2 * margin);
    // Below and right of the pointer, as Qt places its own, and kept on the screen.
    QRect placed(globalPos + QPoint(2, 16), size);
    if (const QScreen* screen = QGuiApplication::screenAt(globalPos)) {
        const QRect available = screen->availableGeometry();
        if (placed.right() > available.right()) {
            placed.moveRight(available.right());
        }
        if (placed.bottom() > available.bottom()) {
            placed.moveBottom(globalPos.y() - 4);
        }
        placed.moveLeft(std::max(placed.left(), available.left()));
        placed.moveTop(std::max(placed.top(), available.top()));
    }
    setGeometry(placed);
    qApp->installEventFilter(this);
    QWidget::show();
    raise();
    update();
    // Shown for ten seconds, and longer for a long text, as Qt's own.
    m_expiry->start(10000 + 40 * std::max(0, static_cast<int>(m_text.size()) - 100));
}

void OutsideToolTip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    style()->drawPrimitive(QStyle::PE_PanelTipLabel, &frame, &painter, this);
    if (m_laid) {
        const int margin = 1 + style()->pixelMetric(QStyle::PM_ToolTipLabelFrameWidth, nullptr, this);
        painter.setPen(palette().color(QPalette::ToolTipText));
        m_laid->layout.draw(&painter, QPointF(margin + 1, margin));
    }
}

bool OutsideToolTip::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Leave:
        if (watched == m_widget) {
            hideText();
        }
        break;
    case QEvent::MouseMove:
        if (m_widget && !m_rect.isNull()) {
            const QPoint at = m_widget->mapFromGlobal(QCursor::pos());
            if (!m_rect.contains(at)) {
                hideText();
            }
        }
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::FocusIn:
    case QEvent::FocusOut:
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
    case QEvent::Close:
        hideText();
        break;
    default:
        break;
    }
    return false;
}

} // namespace velmora
