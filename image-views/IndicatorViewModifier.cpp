#include "image-views/IndicatorViewModifier.h"

#include <QEvent>
#include <QWidget>

namespace velmora::imageviews {

IndicatorViewModifier::IndicatorViewModifier(IndicatorStatus* status, Indicator indicator, QWidget* content)
    : QObject(content), m_status(status), m_indicator(std::move(indicator)), m_content(content) {
    content->installEventFilter(this);
    if (status) {
        connect(status, &IndicatorStatus::objectWillChange, this, &IndicatorViewModifier::refresh);
    }
    refresh();
}

void IndicatorViewModifier::refresh() {
    const bool loading = m_status && m_status->isLoading();
    if (loading && !m_view) {
        m_view = m_indicator.makeView(*m_status, m_content);
        if (m_view) {
            centre();
            m_view->raise();
            m_view->show();
        }
    } else if (!loading && m_view) {
        delete m_view.data();
    }
}

void IndicatorViewModifier::centre() {
    if (!m_view) {
        return;
    }
    const QSize size = m_view->size();
    m_view->move((m_content->width() - size.width()) / 2, (m_content->height() - size.height()) / 2);
}

bool IndicatorViewModifier::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_content && event->type() == QEvent::Resize) {
        centre();
    }
    return QObject::eventFilter(watched, event);
}

} // namespace velmora::imageviews
