#include "views/main/SidebarSplitViewController.h"

#include <algorithm>

namespace velmora {

SidebarSplitViewController::SidebarSplitViewController(QWidget* sidebarView, QWidget* parent)
    : QSplitter(Qt::Horizontal, parent), m_sidebar(sidebarView) {
    setObjectName(QStringLiteral("SidebarSplitViewController"));
    setChildrenCollapsible(false);
    setHandleWidth(1);
    if (!m_sidebar) {
        m_sidebar = new QWidget;
    }
    m_sidebar->setFixedWidth(sidebarWidth);
    addWidget(m_sidebar);
    setCollapsible(0, false);
    setStretchFactor(0, 0);
}

void SidebarSplitViewController::setDetailViewController(QWidget* detail) {
    if (detail == m_detail) {
        return;
    }
    while (count() > 1) {
        QWidget* old = widget(count() - 1);
        old->hide();
        old->setParent(nullptr);
        old->deleteLater();
    }
    m_detail = detail;
    if (detail) {
        detail->setMinimumWidth(m_detailMinimum);
        insertWidget(1, detail);
        setCollapsible(1, false);
        setStretchFactor(1, 1);
        // The sidebar's slot is exactly its column; all the rest is the detail's.
        setSizes({sidebarWidth, std::max(m_detailMinimum, width() - sidebarWidth - handleWidth())});
        detail->show();
    }
    emit detailViewControllerChanged(detail);
}

void SidebarSplitViewController::fitWidth(int width) {
    m_detailMinimum =
        std::clamp(width - sidebarWidth - handleWidth(), 1, static_cast<int>(detailMinimumWidth));
    if (m_detail) {
        m_detail->setMinimumWidth(m_detailMinimum);
    }
}

} // namespace velmora
