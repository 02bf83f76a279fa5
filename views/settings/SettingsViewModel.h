#pragma once

#include "views/settings/SettingsPage.h"

#include <QObject>

namespace velmora {

// The settings window's page state: which page shows, and whether the visible page is
// scrolled to its top. Every assignment is announced, also one that keeps the value.
class SettingsViewModel : public QObject {
    Q_OBJECT
public:
    explicit SettingsViewModel(QObject* parent = nullptr) : QObject(parent) {}

    bool scrolledToTop() const { return m_scrolledToTop; }
    void setScrolledToTop(bool value) {
        m_scrolledToTop = value;
        emit scrolledToTopChanged(value);
    }

    SettingsPage::Name route() const { return m_route; }
    void setRoute(SettingsPage::Name route) {
        m_route = route;
        emit routeChanged(route);
    }

signals:
    void scrolledToTopChanged(bool value);
    void routeChanged(SettingsPage::Name route);

private:
    bool m_scrolledToTop = false;
    SettingsPage::Name m_route = SettingsPage::Name::general;
};

} // namespace velmora
