#pragma once

#include <QTimer>
#include <QWidget>

namespace velmora {

// A small spinning arc that says "working". While not animating it draws nothing but
// keeps its room, so a row does not shift when it fades in and out.
class ActivityIndicator : public QWidget {
    Q_OBJECT

public:
    explicit ActivityIndicator(int side = 16, QWidget* parent = nullptr);

    bool isAnimating() const { return m_animating; }
    void setAnimating(bool animating);

    QSize sizeHint() const override { return QSize(m_side, m_side); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_side;
    bool m_animating = false;
    int m_angle = 0;
    QTimer m_timer;
};

} // namespace velmora
