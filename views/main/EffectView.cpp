#include "views/main/EffectView.h"

#include "views/main/Appearance.h"

#include <QEvent>
#include <QPainter>

namespace velmora {

EffectView::EffectView(Material material, BlendingMode blendingMode, bool emphasized, QWidget* parent)
    : QWidget(parent), m_material(material), m_blendingMode(blendingMode), m_emphasized(emphasized) {}

void EffectView::setMaterial(Material material) {
    m_material = material;
    update();
}

void EffectView::setBlendingMode(BlendingMode blendingMode) {
    m_blendingMode = blendingMode;
    update();
}

QColor EffectView::fillColor() const {
    const QPalette& colors = palette();
    QColor base = colors.color(QPalette::Window);
    switch (m_material) {
    case Material::titlebar:
    case Material::headerView:
        base = base.darker(Appearance::isDark(colors) ? 90 : 104);
        break;
    case Material::sidebar:
        base = base.darker(Appearance::isDark(colors) ? 80 : 106);
        break;
    case Material::windowBackground:
        break;
    case Material::underWindowBackground:
        base = base.darker(Appearance::isDark(colors) ? 70 : 110);
        break;
    }
    // Standing for the desktop behind lets more through than a fill within the window.
    qreal opacity = m_blendingMode == BlendingMode::behindWindow ? 0.85 : 0.95;
    if (m_emphasized) {
        opacity = 1.0;
    }
    if (!isActiveWindow()) {
        base = base.lighter(Appearance::isDark(colors) ? 110 : 102);
    }
    return Appearance::withOpacity(base, opacity);
}

void EffectView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), fillColor());
}

void EffectView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange || event->type() == QEvent::PaletteChange) {
        update();
    }
    QWidget::changeEvent(event);
}

} // namespace velmora
