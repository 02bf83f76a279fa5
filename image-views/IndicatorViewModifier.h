#pragma once

#include "image-views/Indicator.h"
#include "image-views/IndicatorStatus.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace velmora::imageviews {

// Lays an indicator over a content widget, centred, while the status says a load runs,
// and takes it away after the notice that follows the end of the load. It lives as a
// child of the content widget.
class IndicatorViewModifier : public QObject {
    Q_OBJECT
public:
    IndicatorViewModifier(IndicatorStatus* status, Indicator indicator, QWidget* content);

    // The indicator widget while one is shown, else null.
    QWidget* indicatorView() const { return m_view; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void centre();

    QPointer<IndicatorStatus> m_status;
    Indicator m_indicator;
    QWidget* m_content;
    QPointer<QWidget> m_view;
};

} // namespace velmora::imageviews
