#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

namespace velmora::images {

// A small spinning wheel of twelve spokes, the image library's activity indicator.
class ActivitySpinner : public QWidget {
    Q_OBJECT
public:
    enum class ControlSize { Small, Regular };

    explicit ActivitySpinner(QWidget* parent = nullptr);

    ControlSize controlSize() const { return m_controlSize; }
    void setControlSize(ControlSize size);
    QColor color() const { return m_color; }
    void setColor(const QColor& color);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return m_timer.isActive(); }
    int step() const { return m_step; }

    // Resizes the widget to its size hint.
    void sizeToFit() { resize(sizeHint()); }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer m_timer;
    ControlSize m_controlSize = ControlSize::Small;
    QColor m_color = QColor(90, 90, 90);
    int m_step = 0;
};

} // namespace velmora::images
