#pragma once

#include "views/settings/SettingsPage.h"

#include <QIcon>
#include <QListWidget>

namespace velmora {

class SettingsViewModel;

// The settings window's page list: one row per page, its selection bound to the route.
class SettingsSidebarView : public QListWidget {
    Q_OBJECT
public:
    explicit SettingsSidebarView(SettingsViewModel& model, QWidget* parent = nullptr);

    // The row icon: the page's symbol in white on a rounded square of its colour.
    static QIcon pageIcon(const SettingsPage& page);

private:
    void selectRoute();

    SettingsViewModel& m_model;
};

} // namespace velmora
