#pragma once

#include <QWidget>

namespace velmora {

// A translucent panel background put behind other content (the settings form, the
// welcome window). The material picks the tint, the blending mode whether it stands
// for the desktop behind the window or for the window's own content; the panel dims
// with its window when that is not active.
class EffectView : public QWidget {
    Q_OBJECT

public:
    enum class Material { titlebar, sidebar, headerView, windowBackground, underWindowBackground };
    enum class BlendingMode { behindWindow, withinWindow };

    EffectView(Material material, BlendingMode blendingMode, bool emphasized, QWidget* parent = nullptr);

    Material material() const { return m_material; }
    void setMaterial(Material material);
    BlendingMode blendingMode() const { return m_blendingMode; }
    void setBlendingMode(BlendingMode blendingMode);
    // Fixed at construction: a later change of the value is not taken over.
    bool isEmphasized() const { return m_emphasized; }

    // The fill drawn now, for the window's current active state.
    QColor fillColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    Material m_material;
    BlendingMode m_blendingMode;
    const bool m_emphasized;
};

} // namespace velmora
