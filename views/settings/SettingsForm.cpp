#include "views/settings/SettingsForm.h"

#include "introspection/Introspect.h"
#include "introspection/ScrollView.h"
#include "views/main/Appearance.h"
#include "views/settings/SettingsSection.h"
#include "views/settings/SettingsViewModel.h"

#include <QEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace velmora {

// A gradient from black at the top to transparent, hanging below the backdrop's lower edge.
class SettingsForm::ShadowLine : public QWidget {
    Q_OBJECT
    Q_PROPERTY(qreal fade READ fade WRITE setFade)

public:
    explicit ShadowLine(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

    qreal fade() const { return m_fade; }
    void setFade(qreal fade) {
        m_fade = fade;
        update();
    }
    qreal startOpacity = 0.17;

protected:
    void paintEvent(QPaintEvent*) override {
        if (m_fade <= 0)
            return;
        QPainter painter(this);
        QLinearGradient gradient(0, 0, 0, height());
        gradient.setColorAt(0, QColor::fromRgbF(0, 0, 0, startOpacity * m_fade));
        gradient.setColorAt(1, QColor::fromRgbF(0, 0, 0, 0));
        painter.fillRect(rect(), gradient);
    }

private:
    qreal m_fade = 0;
};

SettingsForm::SettingsForm(SettingsViewModel& model, QWidget* parent) : QWidget(parent), m_model(model) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    m_scroll = new QScrollArea(this);
    m_scroll->setWidgetResizable(true);
    // Tab goes from control to control (and row to row), scrolling each into view; a stop
    // on the area itself would show nothing.
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_content = new QWidget;
    m_sections = new QVBoxLayout(m_content);
    // The head of the rows lies this far below the top of the page while they are at the top.
    m_sections->setContentsMargins(20, headMargin, 20, 20);
    m_sections->setSpacing(18);
    m_sections->addStretch(1);
    m_scroll->setWidget(m_content);
    layout->addWidget(m_scroll);

    m_shadowLine = new ShadowLine(this);
    m_fade = new QPropertyAnimation(m_shadowLine, "fade", this);
    m_fade->setDuration(250);
    m_fade->setEasingCurve(QEasingCurve::InOutCubic);

    using namespace introspection;
    introspect(this, scrollView(),
               {PlatformViewVersionPredicate<ScrollViewType>::forQtOnwards(ScrollViewType::qt6_4())},
               [this](QAbstractScrollArea* area) { adjust(area); });

    updateBackdrop(false);
}

SettingsSection* SettingsForm::addSection(const QString& header) {
    auto* section = new SettingsSection(header, m_content);
    m_sections->insertWidget(m_sections->count() - 1, section);
    return section;
}

void SettingsForm::adjust(QAbstractScrollArea* area) {
    // Rows sit on the page's own background; the sections draw their boxes.
    area->setFrameShape(QFrame::NoFrame);
    if (m_scrollArea == area)
        return;
    m_scrollArea = area;
    connect(area->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { applyOffset(offset()); });
    applyOffset(offset());
}

double SettingsForm::offset() const {
    const int scrolled = m_scrollArea ? m_scrollArea->verticalScrollBar()->value() : 0;
    return double(scrolled - headMargin);
}

void SettingsForm::applyOffset(double v) {
    if (v <= -scrolledToTopDistance && !m_model.scrolledToTop())
        m_model.setScrolledToTop(true);
    else if (v > -scrolledToTopDistance && m_model.scrolledToTop())
        m_model.setScrolledToTop(false);
    updateBackdrop(true);
}

bool SettingsForm::backdropShown() const {
    return !m_model.scrolledToTop();
}

int SettingsForm::shadowLineHeight() const {
    if (Appearance::isDark(palette()))
        return 1;
    return window()->isActiveWindow() ? 2 : 1;
}

qreal SettingsForm::shadowLineStartOpacity() const {
    return Appearance::isDark(palette()) ? 1.0 : 0.17;
}

void SettingsForm::updateBackdrop(bool animated) {
    m_shadowLine->startOpacity = shadowLineStartOpacity();
    placeShadowLine();
    const qreal target = backdropShown() ? 1.0 : 0.0;
    if (m_fade->endValue() == target && m_fade->state() == QAbstractAnimation::Running)
        return;
    m_fade->stop();
    if (!animated || qFuzzyCompare(m_shadowLine->fade(), target)) {
        m_shadowLine->setFade(target);
        return;
    }
    m_fade->setStartValue(m_shadowLine->fade());
    m_fade->setEndValue(target);
    m_fade->start();
}

void SettingsForm::placeShadowLine() {
    m_shadowLine->setGeometry(0, 0, width(), shadowLineHeight());
    m_shadowLine->raise();
}

void SettingsForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeShadowLine();
}

void SettingsForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange || event->type() == QEvent::PaletteChange)
        updateBackdrop(false);
}

} // namespace velmora

#include "SettingsForm.moc"
