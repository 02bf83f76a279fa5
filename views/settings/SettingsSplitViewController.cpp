#include "views/settings/SettingsSplitViewController.h"

#include "core/storage/UserSettings.h"
#include "views/settings/GeneralSettingsView.h"
#include "views/settings/SettingsForm.h"
#include "views/settings/SettingsSidebarView.h"
#include "views/settings/SettingsViewModel.h"
#include "views/settings/TimeTrackingSettingsView.h"

#include <QHBoxLayout>
#include <QSplitter>
#include <QStackedWidget>

#include <algorithm>

namespace velmora {

SettingsSplitViewController::SettingsSplitViewController(SettingsEnvironment environment, QWidget* parent)
    : QWidget(parent), m_environment(std::move(environment)), m_viewModel(new SettingsViewModel(this)) {
    Q_ASSERT(m_environment.updater != nullptr);
    if (m_environment.settings == nullptr)
        m_environment.settings = &UserSettings::shared();

    // Every route, the first included, is handled on a later turn of the event loop.
    connect(m_viewModel, &SettingsViewModel::routeChanged, this, [this] {
        QMetaObject::invokeMethod(this, &SettingsSplitViewController::updateDetail, Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(this, &SettingsSplitViewController::updateDetail, Qt::QueuedConnection);

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setHandleWidth(1);
    m_sidebar = new SettingsSidebarView(*m_viewModel);
    m_sidebar->setFixedWidth(sidebarWidth);
    m_pages = new QStackedWidget;
    m_pages->setMinimumWidth(detailMinimumWidth);
    m_splitter->addWidget(m_sidebar);
    m_splitter->addWidget(m_pages);
    m_splitter->setStretchFactor(1, 1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_splitter);

    updateDetail();
}

SettingsSplitViewController::~SettingsSplitViewController() = default;

void SettingsSplitViewController::fitWidth(int width) {
    const int list =
        std::clamp(width - detailMinimumWidth, compactSidebarWidth, static_cast<int>(sidebarWidth));
    m_sidebar->setFixedWidth(list);
    m_pages->setMinimumWidth(
        std::clamp(width - list - m_splitter->handleWidth(), 0, static_cast<int>(detailMinimumWidth)));
}

QWidget* SettingsSplitViewController::detail() const {
    return m_pages->currentWidget();
}

void SettingsSplitViewController::updateDetail() {
    if (window() != this)
        window()->setWindowTitle(SettingsPage::rawValue(m_viewModel->route()));
    setDetail(makePage());
}

QWidget* SettingsSplitViewController::makePage() {
    switch (m_viewModel->route()) {
    case SettingsPage::Name::general:
        return new GeneralSettingsView(*m_viewModel, *m_environment.settings, *m_environment.updater,
                                       m_environment.store);
    case SettingsPage::Name::timeTracking:
        return new TimeTrackingSettingsView(*m_viewModel, *m_environment.settings);
    case SettingsPage::Name::accounts:
        if (m_environment.accountsPage)
            return m_environment.accountsPage(*m_viewModel);
        return new SettingsForm(*m_viewModel);
    }
    return new QWidget;
}

void SettingsSplitViewController::setDetail(QWidget* page) {
    // The stack only ever holds the page shown.
    while (m_pages->count() > 0) {
        QWidget* old = m_pages->widget(0);
        m_pages->removeWidget(old);
        old->deleteLater();
    }
    m_pages->addWidget(page);
    m_pages->setCurrentWidget(page);
}

} // namespace velmora
